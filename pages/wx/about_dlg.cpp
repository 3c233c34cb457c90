// CAboutDlg (see about_dlg.h).
#include "pages/wx/about_dlg.h"

#include "app/wx/wx_windows.h"
#include "pages/wx/template_builder.h"
#include "res/dialog_templates.h"

CAboutDlg::CAboutDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY,
               wxString::FromUTF8(FindDialogTemplate(IDD_ABOUTBOX)->caption),
               wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
  const DialogTemplate& dlg = *FindDialogTemplate(IDD_ABOUTBOX);
  const kwx::TemplateLayout layout = kwx::PrepareTemplateWindow(this, dlg);
  SetClientSize(layout.ClientSize());
  kwx::BuildTemplateControls(this, layout);
  if (wxWindow* ok = FindWindow(wxID_OK)) ok->SetFocus();
  CentreOnParent();
}

int CAboutDlg::DoModal() {
  kwx::ModalGuard modal;
  return ShowModal();
}
