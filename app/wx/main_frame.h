// CMainFrame: the main window, window class "CVorn95App", caption "Kelvane".
// Carries menu 128, keyboard table 128 and the four-pane status bar, holds
// the view, publishes its handle for the driver, runs the 5-second
// scheduler timer for the shell, and closes or stops only as the shell's
// close controller (app/shell/close_controller.h) decides. Posted messages (WM_CLOSE, WM_TIMER,
// WM_SPOOLER_COMMAND) reach it on the main thread.
// Main thread.
#pragma once

#include <wx/filehistory.h>
#include <wx/frame.h>
#include <wx/timer.h>

#include <functional>

#include "app/shell/close_controller.h"
#include "app/shell/shell.h"
#include "app/wx/wx_windows.h"

class CTamrelDoc;
class CTamrelView;

class CMainFrame : public wxFrame, public ShellFrontEnd, public kwx::MessageTarget {
 public:
  // Creates the window and hands its handle to `openToDriver` once the
  // window can be addressed (the start-up opens the command channel and
  // publishes the handle there); takes the document.
  CMainFrame(CTamrelDoc* document, std::function<void(HWND)> openToDriver);
  ~CMainFrame() override;

  HWND handle() const { return handle_; }
  CTamrelView* view() const { return view_; }
  CTamrelDoc* document() const { return document_; }

  // ShellFrontEnd.
  DWORD SetTimer(DWORD intervalMs) override;
  void KillTimer(DWORD timerId) override;
  bool GetPlacement(WINDOWPLACEMENT& placement) override;
  // Applies a stored placement: the normal rectangle, then the show state.
  void ApplyPlacement(const WINDOWPLACEMENT& placement);

  void OnPostedMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

  // Recent files (manual mode without arguments only).
  void EnableRecentFiles();
  void AddRecentFile(const std::string& path);
  bool recentFilesEnabled() const { return recentEnabled_; }

  // Help > Index and Help > Using Help open the installed manual, found
  // from the program's own folder (InstalledManualPath) and opened by the
  // system (Windows: the text manual in the user's editor; elsewhere: the
  // HTML rendering of the manual page in the browser). Tests put an opener
  // of their own in place of the system's (an empty one restores it).
  static std::string InstalledManualPath();
  static void SetManualOpener(std::function<bool(const std::string& path)> opener);

  // Called once the frame is on its way out (the app stops the channel).
  void SetClosingListener(std::function<void()> listener) {
    closingListener_ = std::move(listener);
  }

 private:
  void BuildMenu();
  void BuildAccelerators();
  void BuildStatusBar();
  void RefreshRecentMenu();
  void LoadRecentFiles();
  void SaveRecentFiles();
  // Hands a close or a stop to the close controller and does what it
  // decides: true when the frame goes.
  bool HandleClose(CloseReason reason);
  // The frame's close: the document closed, queue purged.
  void CloseDocumentAndGo();
  // A stop (WM_SPOOLER_STOP) keeps the queue for the next start: the run is
  // told at once, the teardown follows once no dialog is up.
  void AnnounceStop();
  void FinishStop();

  void OnClose(wxCloseEvent& event);
  void OnTimer(wxTimerEvent& event);
  void OnExit(wxCommandEvent& event);
  void OnHelpIndex(wxCommandEvent& event);
  void OnHelpUsing(wxCommandEvent& event);
  void OpenManual();
  void OnNeutralised(wxCommandEvent& event);
  void OnRecentFile(wxCommandEvent& event);
  void OnMoveOrSize(wxEvent& event);
  void OnIconize(wxIconizeEvent& event);
  void OnIdleIndicators(wxIdleEvent& event);
  // The message pane says what the printer keeps the print thread waiting
  // for, and "Ready" again afterwards.
  void ShowPrinterWait();

  CTamrelDoc* document_;
  CTamrelView* view_ = nullptr;
  HWND handle_;
  wxTimer timer_;
  wxRect normalRect_;
  wxFileHistory history_;
  bool recentEnabled_ = false;
  std::function<void()> closingListener_;
  wxString indicators_[3];
  // What ShowPrinterWait last put in the message pane; the pane is touched
  // only when that changes, so menu help shown there is left alone.
  wxString waitShown_;

  wxDECLARE_EVENT_TABLE();
};
