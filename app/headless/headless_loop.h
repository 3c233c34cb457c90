// The headless front end: a main thread that pumps one queue of events
// (posted window messages, command-channel wake-ups, timer ticks) in place of
// a window system, and a message-box sink that asks on standard input.
// HeadlessLoop::Run and everything it dispatches: the main thread. Post,
// WakeChannel and the sinks: any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "app/shell.h"
#include "platform/command_channel.h"
#include "platform/message_box.h"
#include "platform/window_messages.h"
#include "platform/win_types.h"

namespace headless {

// Shows boxes as text on standard output and reads the answer as one line
// of standard input: a button name in any case, or an empty line for the
// default (first) button; at the end of input the default is taken. One box
// at a time, from whatever thread asks, so the main thread stays free to
// serve the command channel while the print thread waits for an answer.
class ConsoleMessageBoxes final : public plat::MessageBoxSink {
 public:
  int Show(HWND owner, const std::string& text, const std::string& caption,
           UINT style) override;

 private:
  std::mutex mutex_;  // one box at a time; protects stdin/stdout use
  bool endOfInput_ = false;
};

// Parses an answer line for a style: the button id, the default for an
// empty line, 0 for a name the box does not offer.
int ParseAnswer(const std::string& line, UINT style);

class HeadlessLoop final : public ShellFrontEnd, public plat::WindowSink {
 public:
  explicit HeadlessLoop(HWND mainWindow);

  // ShellFrontEnd: one timer, driven by the loop on the real clock.
  DWORD SetTimer(DWORD intervalMs) override;
  void KillTimer(DWORD timerId) override;
  bool GetPlacement(WINDOWPLACEMENT&) override { return false; }

  // WindowSink: WM_CLOSE, WM_TIMER and WM_SPOOLER_STOP to the main window
  // are queued; posts
  // to any other window (the job page) have no window to reach.
  bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  void Invalidate(HWND) override {}
  void BringToForeground(HWND) override {}

  // The command channel's listener asks the main thread to serve.
  void WakeChannel();

  // Runs until a WM_CLOSE is confirmed and the document closed, or a
  // WM_SPOOLER_STOP has stopped the spooler with its queue kept.
  void Run(plat::CommandServer& server);

 private:
  using Clock = std::chrono::steady_clock;
  enum class Event { Close, Tick, Channel, Stop };

  HWND mainWindow_;
  std::mutex mutex_;  // protects events_, timerInterval_, nextTick_, timerOn_
  std::condition_variable changed_;
  std::deque<Event> events_;
  bool timerOn_ = false;
  std::chrono::milliseconds timerInterval_{kSchedulerIntervalMs};
  Clock::time_point nextTick_{};
};

// The scheduler interval: 5000 ms, or KELVANE_TIMER_MS when set (tests that
// must not wait for real 5-second ticks).
DWORD SchedulerIntervalFromEnvironment(DWORD requested);

}  // namespace headless
