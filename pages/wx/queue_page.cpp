// CQueuePage (see queue_page.h).
#include "pages/wx/queue_page.h"

#include <wx/dcclient.h>
#include <wx/listctrl.h>

#include "app/state/spooler_state.h"
#include "platform/message_box.h"
#include "platform/window_messages.h"
#include "res/string_ids.h"
#include "res/string_table.h"

namespace {

bool SameRows(const std::vector<QueueRow>& a, const std::vector<QueueRow>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].name != b[i].name || a[i].status != b[i].status) return false;
  return true;
}

}  // namespace

wxBEGIN_EVENT_TABLE(CQueuePage, kwx::CPropertyPage)
  EVT_PAINT(CQueuePage::OnPaint)
  EVT_BUTTON(IDC_DELETE_ALL, CQueuePage::OnDeleteAllJobs)
wxEND_EVENT_TABLE()

CQueuePage::CQueuePage(wxWindow* parent) : kwx::CPropertyPage(parent, IDD_JOB_QUEUE) {}

bool CQueuePage::OnInitDialog() {
  if (auto* list = dynamic_cast<wxListCtrl*>(Control(IDC_JOB_LIST))) {
    list->InsertColumn(0, "Job Name", wxLIST_FORMAT_LEFT, 200);
    list->InsertColumn(1, "Status", wxLIST_FORMAT_LEFT, 150);
  }
  return true;
}

void CQueuePage::OnPaint(wxPaintEvent&) {
  { wxPaintDC dc(this); }
  RebuildList();
}

void CQueuePage::RebuildList() {
  if (!initialised()) return;
  auto* list = dynamic_cast<wxListCtrl*>(Control(IDC_JOB_LIST));
  if (list == nullptr) return;
  const QueueListing listing = ReadQueueListing();
  // The list is refilled only when its contents change: refilling it on
  // every paint would make it paint again, without end.
  if (!SameRows(listing.rows, shown_)) {
    list->Freeze();
    list->DeleteAllItems();
    for (std::size_t row = 0; row < listing.rows.size(); ++row) {
      const long index = list->InsertItem(static_cast<long>(row),
                                          wxString::FromUTF8(listing.rows[row].name.c_str()));
      list->SetItem(index, 1, wxString::FromUTF8(listing.rows[row].status.c_str()));
    }
    list->Thaw();
    shown_ = listing.rows;
  }
  if (listing.read) {
    wxWindow* button = Control(IDC_DELETE_ALL);
    if (button && button->IsEnabled() != listing.printing) button->Enable(listing.printing);
  }
}

void CQueuePage::OnDeleteAllJobs(wxCommandEvent&) {
  HWND mainWnd;
  bool printing;
  {
    SpoolerLock lock;
    mainWnd = g_hMainWnd;
    printing = g_bPrinting != 0;
  }
  const int answer = plat::MessageBox(mainWnd, LoadResString(IDS_DELETE_ALL_WARNING),
                                      LoadResString(IDS_CAPTION_WARNING),
                                      MB_OKCANCEL | MB_SETFOREGROUND);
  if (ShouldCloseForDeleteAll(answer, printing)) plat::PostMessage(mainWnd, WM_CLOSE, 0, 0);
}
