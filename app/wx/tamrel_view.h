// CTamrelView: fills the main window and draws nothing. The first time it
// paints it posts WM_SPOOLER_SHOWSHEET to itself; the handler opens the
// sheet frame centred over the main window and restores the main window's
// saved placement.
// Main thread.
#pragma once

#include <wx/window.h>

#include "app/wx/wx_windows.h"
#include "platform/win_types.h"

class CMainFrame;
class CSheetFrame;

// The sheet has not been requested yet (main thread only, no lock).
extern BOOL g_bShowSheetPending;

class CTamrelView : public wxWindow, public kwx::MessageTarget {
 public:
  explicit CTamrelView(CMainFrame* frame);
  ~CTamrelView() override;

  HWND handle() const { return handle_; }
  CSheetFrame* sheetFrame() const { return sheetFrame_; }
  // The main window was minimised or restored: the sheet goes and comes
  // back with it, in front of it.
  void FollowMainWindow(bool minimised);
  void OnPostedMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void OnPaint(wxPaintEvent& event);
  LRESULT OnShowSheet();

  CMainFrame* frame_;
  CSheetFrame* sheetFrame_ = nullptr;
  // The show-sheet step has placed and shown the sheet; until then a
  // restore of the main window (the placement being applied) shows nothing.
  bool sheetPlaced_ = false;
  HWND handle_;
  wxDECLARE_EVENT_TABLE();
};
