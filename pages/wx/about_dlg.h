// CAboutDlg: the modal about box (template 100): the program's icon, name,
// version line, notices and the maker's contact lines.
// Main thread.
#pragma once

#include <wx/dialog.h>

class CAboutDlg : public wxDialog {
 public:
  explicit CAboutDlg(wxWindow* parent);
  // ShowModal counted as one of our modal dialogs.
  int DoModal();
};
