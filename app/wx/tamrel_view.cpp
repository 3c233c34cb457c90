// CTamrelView (see tamrel_view.h).
#include "app/wx/tamrel_view.h"

#include <wx/dcclient.h>

#include "app/wx/main_frame.h"
#include "app/wx/sheet_frame.h"
#include "platform/window_messages.h"
#include "queue/settings_store.h"

BOOL g_bShowSheetPending = 1;

wxBEGIN_EVENT_TABLE(CTamrelView, wxWindow)
  EVT_PAINT(CTamrelView::OnPaint)
wxEND_EVENT_TABLE()

CTamrelView::CTamrelView(CMainFrame* frame)
    : wxWindow(frame, wxID_ANY), frame_(frame), handle_(kwx::NextWindowHandle()) {
  if (kwx::WxWindowSink* sink = kwx::WxWindowSink::Instance())
    sink->Register(handle_, this, this);
}

CTamrelView::~CTamrelView() {
  if (kwx::WxWindowSink* sink = kwx::WxWindowSink::Instance()) sink->Unregister(handle_);
}

void CTamrelView::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  if (!g_bShowSheetPending) return;
  g_bShowSheetPending = 0;
  plat::PostMessage(handle_, WM_SPOOLER_SHOWSHEET, 0, 0);
}

void CTamrelView::OnPostedMessage(UINT message, WPARAM, LPARAM) {
  if (message == WM_SPOOLER_SHOWSHEET) OnShowSheet();
}

LRESULT CTamrelView::OnShowSheet() {
  sheetFrame_ = CSheetFrame::Create(frame_);
  if (sheetFrame_ == nullptr) return 0;  // runs on without a sheet

  WINDOWPLACEMENT placement{};
  placement.length = sizeof(placement);
  DWORD size = sizeof(placement);
  bool minimizeAtEnd = false;
  if (ReadRegBinary("Window Placement", &placement, &size) && size == sizeof(placement)) {
    if (placement.showCmd == SW_MINIMIZE || placement.showCmd == SW_SHOWMINIMIZED) {
      // Restored first, so the sheet is centred over the normal window.
      placement.showCmd = SW_SHOW;
      frame_->ApplyPlacement(placement);
      minimizeAtEnd = true;
    } else {
      frame_->ApplyPlacement(placement);
    }
  }
  sheetFrame_->CentreOnParent();
  if (!sheetFrame_->IsShown()) sheetFrame_->Show();
  sheetPlaced_ = true;
  if (minimizeAtEnd) {
    placement.showCmd = SW_MINIMIZE;
    frame_->ApplyPlacement(placement);
  }
  return 0;
}

void CTamrelView::FollowMainWindow(bool minimised) {
  if (sheetFrame_ == nullptr) return;
  if (minimised) {
    sheetFrame_->Hide();
  } else if (sheetPlaced_) {
    if (!sheetFrame_->IsShown()) sheetFrame_->Show();
    sheetFrame_->Raise();
  }
}
