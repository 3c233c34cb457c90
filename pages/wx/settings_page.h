// CSettingsPage: the Settings page (template 133): the port (saved at once
// when chosen, read-only in queue mode), the two port time-outs in seconds
// (saved with Apply) and the printer (always disabled).
// Main thread.
#pragma once

#include <cstdint>

#include "pages/wx/property_page.h"

class CSettingsPage : public kwx::CPropertyPage {
 public:
  explicit CSettingsPage(wxWindow* parent);

  void OnSetActive() override;
  // Leaving the page never validates or stores anything.
  bool OnKillActive() override { return true; }

  std::uint32_t m_nNotSelectedTimeout = 0;
  std::uint32_t m_nRetryTimeout = 0;

 protected:
  bool OnInitDialog() override;

 private:
  void OnApplyTimeouts(wxCommandEvent& event);
  void OnSelChangePort(wxCommandEvent& event);
  // Reads one edit into `member`; on failure shows the message, puts the
  // focus on the edit and returns false.
  bool ExchangeTimeout(int editId, std::uint32_t& member);

  wxDECLARE_EVENT_TABLE();
};
