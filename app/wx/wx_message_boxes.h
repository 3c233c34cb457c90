// Message boxes of the desktop program, always shown by the main thread:
// the system's own boxes where the system has them (Windows), elsewhere a
// small dialog with the caption, icon, text and exactly the buttons of the
// style (OK; OK/Cancel; Abort/Retry/Ignore; Yes/No/Cancel; Yes/No;
// Retry/Cancel). A box asked for by another thread (the print thread) is
// handed to the main thread and the asking thread waits for the answer; the
// main thread keeps running its loop meanwhile.
// CMessageBoxDlg: main thread. WxMessageBoxes::Show: any thread;
// AbandonPending: main thread.
#pragma once

#include <wx/dialog.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "platform/win_types.h"

namespace kwx {

// wx button id for a box result (IDOK -> wxID_OK ...) and back.
int WxIdForResult(int result);
int ResultForWxId(int wxId);
// The answer that gives up: Cancel, else Abort, else No, else the default.
int RefusingButton(UINT style);

class CMessageBoxDlg : public wxDialog {
 public:
  CMessageBoxDlg(wxWindow* parent, const std::string& text,
                 const std::string& caption, UINT style);

  // Whether Escape and the close box answer a box of `style`: yes when it
  // has Cancel (they mean Cancel) or only one button; a box without Cancel
  // (Abort/Retry/Ignore) ignores them.
  static bool EscapeAnswers(UINT style);
  // Ends the box with its refusing answer (the program is being stopped
  // from outside and nobody will answer).
  void Refuse();

 private:
  void OnButton(wxCommandEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void OnCloseBox(wxCloseEvent& event);
  UINT style_;
  wxDECLARE_EVENT_TABLE();
};

class WxMessageBoxes final : public plat::MessageBoxSink {
 public:
  // Installed by the application's front-end binding.
  WxMessageBoxes();
  ~WxMessageBoxes() override;  // answers what waits

  int Show(HWND owner, const std::string& text, const std::string& caption,
           UINT style) override;

  // The program is closing: every box that another thread still waits for
  // is answered with its refusing button, and later ones are answered so
  // at once, so no thread stays blocked on a loop that will not run again.
  void AbandonPending();
  // True while a box for another thread is on the screen.
  bool ShowingForOtherThread() const;

 private:
  struct Request {
    UINT style = MB_OK;
    int answer = 0;
    bool done = false;
  };
  int ShowHere(HWND owner, const std::string& text, const std::string& caption,
               UINT style);
  int ShowSystemBox(plat::MessageBoxSink& system, wxWindow* parent, const std::string& text,
                    const std::string& caption, UINT style);
  void Complete(const std::shared_ptr<Request>& request, int answer);

  mutable std::mutex mutex_;  // protects pending_, closing_, showingOther_
  std::condition_variable answered_;
  std::vector<std::shared_ptr<Request>> pending_;
  bool closing_ = false;
  int showingOther_ = 0;
};

}  // namespace kwx
