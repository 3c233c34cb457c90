// CSheetFrame and CPropSheet (see sheet_frame.h).
#include "app/wx/sheet_frame.h"

#include "app/state/spooler_state.h"
#include "pages/wx/current_job_page.h"
#include "pages/wx/queue_page.h"
#include "pages/wx/settings_page.h"

wxBEGIN_EVENT_TABLE(CPropSheet, wxNotebook)
  EVT_NOTEBOOK_PAGE_CHANGING(wxID_ANY, CPropSheet::OnPageChanging)
  EVT_NOTEBOOK_PAGE_CHANGED(wxID_ANY, CPropSheet::OnPageChanged)
wxEND_EVENT_TABLE()

CPropSheet::CPropSheet(wxWindow* parent)
    : wxNotebook(parent, wxID_ANY, wxPoint(0, 0), wxDefaultSize) {
  jobPage_ = new CCurrentJobPage(this);
  pages_.push_back(jobPage_);
  // The mode is fixed before any window exists; no lock needed to read it.
  if (g_bQueueMode) {
    queuePage_ = new CQueuePage(this);
    pages_.push_back(queuePage_);
  }
  settingsPage_ = new CSettingsPage(this);
  pages_.push_back(settingsPage_);
  for (kwx::CPropertyPage* page : pages_) AddPage(page, page->caption(), page == jobPage_);
  // The first page exists with the sheet, so g_hJobPageWnd is valid once
  // the sheet shows.
  jobPage_->EnsureInitialised();
  jobPage_->SetRefreshListener([this] {
    // The queue list follows the job page's refreshes while it is in view.
    if (queuePage_ && GetCurrentPage() == queuePage_) queuePage_->RebuildList();
  });
}

kwx::CPropertyPage* CPropSheet::PageAt(size_t index) const {
  return index < pages_.size() ? pages_[index] : nullptr;
}

wxSize CPropSheet::SheetSize() const {
  wxSize largest;
  for (kwx::CPropertyPage* page : pages_) largest.IncTo(page->GetMinSize());
  return CalcSizeFromPage(largest);
}

void CPropSheet::OnPageChanging(wxBookCtrlEvent& event) {
  const int old = event.GetOldSelection();
  if (old != wxNOT_FOUND) {
    kwx::CPropertyPage* page = PageAt(static_cast<size_t>(old));
    if (page && page->initialised() && !page->OnKillActive()) {
      event.Veto();
      return;
    }
  }
  event.Skip();
}

void CPropSheet::OnPageChanged(wxBookCtrlEvent& event) {
  event.Skip();
  const int selection = event.GetSelection();
  if (selection == wxNOT_FOUND) return;
  kwx::CPropertyPage* page = PageAt(static_cast<size_t>(selection));
  if (page == nullptr) return;
  page->EnsureInitialised();
  page->OnSetActive();
}

wxBEGIN_EVENT_TABLE(CSheetFrame, wxMiniFrame)
  EVT_ACTIVATE(CSheetFrame::OnActivate)
  EVT_SET_FOCUS(CSheetFrame::OnSetFocus)
wxEND_EVENT_TABLE()

CSheetFrame::CSheetFrame(wxWindow* owner) {
  // Made here rather than by the base's constructor, so that the window is
  // created with this class's style. An explicit first size: a mini frame
  // made at zero size stays unsized on some toolkits; it is fitted to the
  // sheet right after. The mini frame floats on its parent, the main frame.
  wxMiniFrame::Create(owner, wxID_ANY, "Kelvane", wxDefaultPosition, wxSize(300, 200), wxCAPTION);
}

#ifdef __WXMSW__
WXDWORD CSheetFrame::MSWGetStyle(long flags, WXDWORD* exstyle) const {
  return wxMiniFrame::MSWGetStyle(flags, exstyle) | WS_POPUP;
}
#endif

CSheetFrame* CSheetFrame::Create(wxWindow* owner) {
  auto* frame = new CSheetFrame(owner);
  if (!frame->BuildSheet()) {
    frame->Destroy();
    return nullptr;
  }
  return frame;
}

bool CSheetFrame::BuildSheet() {
  sheet_ = new CPropSheet(this);
  const wxSize size = sheet_->SheetSize();
  if (size.x <= 0 || size.y <= 0) return false;
  SetClientSize(size);
  sheet_->SetSize(wxRect(wxPoint(0, 0), size));
  return true;
}

void CSheetFrame::OnActivate(wxActivateEvent& event) {
  event.Skip();
  // The sheet tracks activation too (focus on its current page).
  if (sheet_ && event.GetActive()) {
    if (wxWindow* page = sheet_->GetCurrentPage()) page->SetFocus();
  }
}

void CSheetFrame::OnSetFocus(wxFocusEvent& event) {
  event.Skip();
  if (sheet_) sheet_->SetFocus();
}
