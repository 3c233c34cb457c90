// CCurrentJobPage (see current_job_page.h).
#include "pages/wx/current_job_page.h"

#include <wx/button.h>
#include <wx/dcclient.h>
#include <wx/gauge.h>
#include <wx/stattext.h>

#include "app/state/spooler_state.h"
#include "pages/current_job_display.h"
#include "pages/wx/copies_dlg.h"
#include "platform/message_box.h"
#include "res/string_ids.h"
#include "res/string_table.h"

namespace {

// Setting a label that did not change would queue a redraw that paints the
// page again; only real changes touch the control.
void SetTextIfChanged(wxWindow* window, const std::string& text) {
  if (window == nullptr) return;
  const wxString value = wxString::FromUTF8(text.c_str());
  if (window->GetLabel() != value) window->SetLabel(value);
}

void EnableIfChanged(wxWindow* window, bool enable) {
  if (window && window->IsEnabled() != enable) window->Enable(enable);
}

}  // namespace

wxBEGIN_EVENT_TABLE(CCurrentJobPage, kwx::CPropertyPage)
  EVT_PAINT(CCurrentJobPage::OnPaint)
  EVT_BUTTON(IDC_PRINT, CCurrentJobPage::OnPrint)
  EVT_BUTTON(IDC_PAUSE, CCurrentJobPage::OnPause)
  EVT_BUTTON(IDC_CANCEL_PRINT, CCurrentJobPage::OnCancelPrint)
wxEND_EVENT_TABLE()

CCurrentJobPage::CCurrentJobPage(wxWindow* parent)
    : kwx::CPropertyPage(parent, IDD_CURRENT_JOB) {}

CCurrentJobPage::~CCurrentJobPage() {
  SpoolerLock lock;
  if (g_hJobPageWnd == handle()) g_hJobPageWnd = 0;
}

bool CCurrentJobPage::OnInitDialog() {
  if (g_bQueueMode) Control(IDC_PRINT)->Disable();
  {
    // Readers on the print thread take the lock; so does this one store.
    SpoolerLock lock;
    g_hJobPageWnd = handle();
  }
  RefreshFromState();
  return true;
}

void CCurrentJobPage::RefreshFromState() {
  if (!initialised()) return;
  const CurrentJobDisplay d = BuildCurrentJobDisplay(SnapshotCurrentJob());
  SetTextIfChanged(Control(IDC_FILE_NAME), d.fileName);
  SetTextIfChanged(Control(IDC_FILE_SIZE), d.sizeText);
  SetTextIfChanged(Control(IDC_STATUS_LINE), d.statusLine);
  if (auto* gauge = dynamic_cast<wxGauge*>(Control(IDC_PROGRESS))) {
    if (gauge->GetRange() != 100) gauge->SetRange(100);
    if (gauge->GetValue() != d.progress) gauge->SetValue(d.progress);
  }
  EnableIfChanged(Control(IDC_PRINT), d.buttons.print);
  EnableIfChanged(Control(IDC_PAUSE), d.buttons.pause);
  EnableIfChanged(Control(IDC_CANCEL_PRINT), d.buttons.cancelPrint);
}

void CCurrentJobPage::OnPaint(wxPaintEvent&) {
  { wxPaintDC dc(this); }
  RefreshFromState();
}

void CCurrentJobPage::OnTimer() {
  RefreshFromState();
  if (listener_) listener_();
}

void CCurrentJobPage::OnPostedMessage(UINT message, WPARAM, LPARAM) {
  // Any timer id: the scheduler, File/Open and the end of a run all post 0.
  if (message == WM_TIMER) OnTimer();
}

void CCurrentJobPage::OnPrint(wxCommandEvent&) {
  CCopiesDlg dlg(nullptr);
  dlg.m_nCopies = CurrentCopies();
  if (dlg.DoModal() != wxID_OK) return;
  // Refused while an earlier run is still alive (a second press before the
  // new thread marks itself printing); the refresh then shows that run.
  StartManualPrint(dlg.m_nCopies);
  RefreshFromState();
}

void CCurrentJobPage::OnPause(wxCommandEvent&) {
  HWND mainWnd;
  bool printing;
  {
    SpoolerLock lock;
    mainWnd = g_hMainWnd;
    printing = g_bPrinting != 0;
  }
  std::string label;
  if (IsPrintPaused()) {
    label = ResumePrint();
  } else {
    // A press that raced the end of the run must not leave the next run
    // paused before it starts.
    if (!printing) {
      RefreshFromState();
      return;
    }
    const int answer = plat::MessageBox(mainWnd, LoadResString(IDS_PAUSE_WARNING),
                                        LoadResString(IDS_CAPTION_WARNING),
                                        MB_OKCANCEL | MB_SETFOREGROUND);
    if (answer != IDOK) return;
    label = PausePrint();
  }
  SetTextIfChanged(Control(IDC_PAUSE), label);
}

void CCurrentJobPage::OnCancelPrint(wxCommandEvent&) {
  HWND mainWnd;
  {
    SpoolerLock lock;
    mainWnd = g_hMainWnd;
  }
  const int answer = plat::MessageBox(mainWnd, LoadResString(IDS_CANCEL_WARNING),
                                      LoadResString(IDS_CAPTION_WARNING),
                                      MB_OKCANCEL | MB_SETFOREGROUND);
  if (answer != IDOK) return;
  if (CancelPrint()) SetTextIfChanged(Control(IDC_PAUSE), LoadResString(IDS_LABEL_PAUSE));
}
