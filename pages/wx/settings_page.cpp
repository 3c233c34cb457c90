// CSettingsPage (see settings_page.h).
#include "pages/wx/settings_page.h"

#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/textctrl.h>

#include "app/state/spooler_state.h"
#include "pages/settings_model.h"
#include "platform/message_box.h"
#include "res/string_ids.h"
#include "res/string_table.h"

namespace {

HWND CopyMainWindow() {
  SpoolerLock lock;
  return g_hMainWnd;
}

void ShowSettingsError(HWND owner, const char* text) {
  plat::MessageBox(owner, text, kSettingsErrorCaption, MB_OK | MB_SETFOREGROUND);
}

}  // namespace

wxBEGIN_EVENT_TABLE(CSettingsPage, kwx::CPropertyPage)
  EVT_BUTTON(IDC_APPLY_TIMEOUTS, CSettingsPage::OnApplyTimeouts)
  EVT_CHOICE(IDC_PORT_LIST, CSettingsPage::OnSelChangePort)
wxEND_EVENT_TABLE()

CSettingsPage::CSettingsPage(wxWindow* parent) : kwx::CPropertyPage(parent, IDD_SETTINGS) {}

bool CSettingsPage::OnInitDialog() {
  const HWND mainWnd = CopyMainWindow();
  const SettingsPageInit init = LoadSettingsPage();
  if (init.enumerationFailed) ShowSettingsError(mainWnd, kEnumPortsError);

  if (auto* ports = dynamic_cast<wxChoice*>(Control(IDC_PORT_LIST))) {
    for (const std::string& port : init.ports) ports->Append(wxString::FromUTF8(port.c_str()));
    if (init.portSelection >= 0) ports->SetSelection(init.portSelection);
    ports->Enable(init.portListEnabled);
  }
  if (auto* printers = dynamic_cast<wxComboBox*>(Control(IDC_PRINTER_LIST))) {
    for (const std::string& name : init.printers) printers->Append(wxString::FromUTF8(name.c_str()));
    if (init.printerSelection >= 0) printers->SetSelection(init.printerSelection);
    printers->Disable();
  }
  m_nNotSelectedTimeout = init.notSelectedSeconds;
  m_nRetryTimeout = init.retrySeconds;
  OnSetActive();
  return true;
}

void CSettingsPage::OnSetActive() {
  if (!initialised()) return;
  if (auto* edit = dynamic_cast<wxTextCtrl*>(Control(IDC_DNS_TIMEOUT)))
    edit->ChangeValue(wxString::Format("%u", static_cast<unsigned>(m_nNotSelectedTimeout)));
  if (auto* edit = dynamic_cast<wxTextCtrl*>(Control(IDC_TX_TIMEOUT)))
    edit->ChangeValue(wxString::Format("%u", static_cast<unsigned>(m_nRetryTimeout)));
}

bool CSettingsPage::ExchangeTimeout(int editId, std::uint32_t& member) {
  auto* edit = dynamic_cast<wxTextCtrl*>(Control(editId));
  if (edit == nullptr) return false;
  std::uint32_t value = 0;
  const NumberCheck check = ParseBoundedUnsigned(edit->GetValue().ToStdString(),
                                                 kMinTimeoutSeconds, kMaxTimeoutSeconds, &value);
  if (check != NumberCheck::Ok) {
    plat::MessageBox(handle(), ValidationMessage(check, kMinTimeoutSeconds, kMaxTimeoutSeconds),
                     LoadResString(AFX_IDS_APP_TITLE), MB_OK | MB_ICONWARNING);
    edit->SetFocus();
    edit->SelectAll();
    return false;
  }
  member = value;
  return true;
}

void CSettingsPage::OnApplyTimeouts(wxCommandEvent&) {
  const HWND mainWnd = CopyMainWindow();
  if (!ExchangeTimeout(IDC_DNS_TIMEOUT, m_nNotSelectedTimeout)) return;
  if (!ExchangeTimeout(IDC_TX_TIMEOUT, m_nRetryTimeout)) return;
  if (!SaveTimeouts(m_nNotSelectedTimeout, m_nRetryTimeout))
    ShowSettingsError(mainWnd, kSaveTimeoutError);
}

void CSettingsPage::OnSelChangePort(wxCommandEvent&) {
  const HWND mainWnd = CopyMainWindow();
  auto* ports = dynamic_cast<wxChoice*>(Control(IDC_PORT_LIST));
  if (ports == nullptr || ports->GetSelection() == wxNOT_FOUND) return;
  if (!SavePortSelection(ports->GetStringSelection().ToStdString()))
    ShowSettingsError(mainWnd, kSavePortError);
}
