// CCopiesDlg (see copies_dlg.h).
#include "pages/wx/copies_dlg.h"

#include <wx/app.h>
#include <wx/spinbutt.h>
#include <wx/textctrl.h>

#include "app/wx/wx_windows.h"
#include "pages/settings_model.h"
#include "pages/wx/template_builder.h"
#include "platform/message_box.h"
#include "res/dialog_templates.h"
#include "res/string_ids.h"
#include "res/string_table.h"

namespace {

wxWindow* OwnerOrMainWindow(wxWindow* owner) {
  if (owner) return owner;
  return wxTheApp ? wxTheApp->GetTopWindow() : nullptr;
}

}  // namespace

wxBEGIN_EVENT_TABLE(CCopiesDlg, wxDialog)
  EVT_BUTTON(wxID_OK, CCopiesDlg::OnOK)
  EVT_SPIN(IDC_COPIES_SPIN, CCopiesDlg::OnDeltaPosSpin)
wxEND_EVENT_TABLE()

CCopiesDlg::CCopiesDlg(wxWindow* owner)
    : wxDialog(OwnerOrMainWindow(owner), wxID_ANY,
               wxString::FromUTF8(FindDialogTemplate(IDD_COPIES)->caption),
               wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      handle_(kwx::NextWindowHandle()) {
  const DialogTemplate& dlg = *FindDialogTemplate(IDD_COPIES);
  const kwx::TemplateLayout layout = kwx::PrepareTemplateWindow(this, dlg);
  SetClientSize(layout.ClientSize());
  controls_ = kwx::BuildTemplateControls(this, layout);
  // The first tab stop of the template has the focus: the OK button.
  if (wxWindow* ok = FindWindow(wxID_OK)) ok->SetFocus();
  CentreOnParent();
  if (kwx::WxWindowSink* sink = kwx::WxWindowSink::Instance())
    sink->Register(handle_, this, nullptr);
}

CCopiesDlg::~CCopiesDlg() {
  if (kwx::WxWindowSink* sink = kwx::WxWindowSink::Instance()) sink->Unregister(handle_);
}

int CCopiesDlg::DoModal() {
  kwx::ModalGuard modal;
  return ShowModal();
}

bool CCopiesDlg::TransferDataToWindow() {
  if (auto* edit = dynamic_cast<wxTextCtrl*>(controls_[IDC_COPIES_EDIT]))
    edit->ChangeValue(wxString::Format("%u", static_cast<unsigned>(m_nCopies)));
  return true;
}

void CCopiesDlg::OnOK(wxCommandEvent&) {
  auto* edit = dynamic_cast<wxTextCtrl*>(controls_[IDC_COPIES_EDIT]);
  if (edit == nullptr) return;
  std::uint32_t value = 0;
  const NumberCheck check = ParseBoundedUnsigned(edit->GetValue().ToStdString(),
                                                 kMinCopies, kMaxCopies, &value);
  if (check != NumberCheck::Ok) {
    plat::MessageBox(handle_, ValidationMessage(check, kMinCopies, kMaxCopies),
                     LoadResString(AFX_IDS_APP_TITLE), MB_OK | MB_ICONWARNING);
    edit->SetFocus();
    edit->SelectAll();
    return;
  }
  m_nCopies = value;
  EndModal(wxID_OK);
}

void CCopiesDlg::OnDeltaPosSpin(wxSpinEvent& event) {
  // The up-down control is hidden and disabled; nothing reaches here.
  event.Skip();
}
