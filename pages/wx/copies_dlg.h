// CCopiesDlg: the modal "Number of Copies to Print" dialog (template 135).
// The caller sets m_nCopies, shows it with DoModal and reads m_nCopies after
// wxID_OK. OK validates the count (1 to 9999) and keeps the dialog open,
// with a message, while it is not valid.
// Main thread.
#pragma once

#include <wx/dialog.h>

#include <cstdint>
#include <map>

#include "platform/win_types.h"

class CCopiesDlg : public wxDialog {
 public:
  // No owner: the main window owns it.
  explicit CCopiesDlg(wxWindow* owner = nullptr);
  ~CCopiesDlg() override;

  // ShowModal counted as one of our modal dialogs.
  int DoModal();
  HWND handle() const { return handle_; }

  std::uint32_t m_nCopies = 0;

  bool TransferDataToWindow() override;

 private:
  void OnOK(wxCommandEvent& event);
  void OnDeltaPosSpin(wxSpinEvent& event);

  std::map<int, wxWindow*> controls_;
  HWND handle_;
  wxDECLARE_EVENT_TABLE();
};
