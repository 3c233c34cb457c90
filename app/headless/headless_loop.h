// The headless front end: a main thread that pumps one queue of events
// (posted window messages, command-channel wake-ups, timer ticks) in place of
// a window system, and a message-box sink that asks on standard input.
// HeadlessLoop::Run and everything it dispatches: the main thread. Post,
// WakeChannel and the sinks: any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>

#include "app/headless/fault_policy.h"
#include "app/shell/shell.h"
#include "app/shell/startup.h"
#include "engine/fault_question.h"
#include "platform/command_channel.h"
#include "platform/message_box.h"
#include "platform/startup.h"
#include "platform/win_types.h"
#include "platform/window_messages.h"

namespace headless {

// Shows boxes as text on standard output. Under the "ask" policy, with
// someone at the other end of standard input (a terminal, a pipe or a
// socket), the answer is one line: a button name in any case, or an empty
// line for the default (first) button. With nobody there (end of input,
// /dev/null, a file) and under the other policies the policy answers, and
// says so on standard output ("answered by policy: ..."). One box at a time,
// from whatever thread asks, so the main thread stays free to serve the
// command channel while the print thread waits for an answer.
// A box asked again with the same text while nobody answers is not shown
// again, and the policy's answer to it, when it is the same as before, is
// counted instead of written: the count goes out as one line before the
// next thing written (or when the boxes end), so a fault that persists for
// days costs a line per change of state or answer, not one per try.
// The spooler's questions (FaultQuestion) come as boxes too; only for them
// does the policy answer, on their kind: a plain message box gets no answer
// from it.
class ConsoleMessageBoxes final : public plat::MessageBoxSink, public FaultQuestionSink {
 public:
  // Waits up to `seconds` for the answer's time-out; false when the wait was
  // cut short because the program is closing. Tests replace it.
  using Waiter = std::function<bool(unsigned seconds)>;

  explicit ConsoleMessageBoxes(FaultPolicy policy = {});
  // For tests: the streams, whether someone can answer on `in`, the waiter.
  ConsoleMessageBoxes(FaultPolicy policy, std::istream& in, std::ostream& out,
                      bool someoneCanAnswer, Waiter waiter);
  ~ConsoleMessageBoxes() override;  // writes the count of answers still held

  int Show(HWND owner, const std::string& text, const std::string& caption,
           UINT style) override;
  int Ask(HWND owner, const FaultQuestion& question) override;

  // Any thread: the program is closing (or no longer): a policy wait in
  // progress ends at once and answers as "keep".
  void SetClosing(bool closing);

  // Any thread: one whole line of our own on the boxes' output, never in
  // the middle of a box's lines (a box that waits for its answer does not
  // hold the output up).
  void WriteLine(const std::string& line);

  const FaultPolicy& policy() const { return policy_; }
  // Whether the last box shown was the one before it again, unanswered
  // (then the front end need not tell its consequence again either).
  bool LastBoxRepeated();

 private:
  // One box; `question` (may be null) is what the policy answers on.
  int Answer(const std::string& text, const std::string& caption, UINT style,
             const FaultQuestion* question);
  bool WaitForTimeOut(unsigned seconds);
  void Write(const std::string& text, bool flush);

  FaultPolicy policy_;
  std::istream& in_;
  std::ostream& out_;
  Waiter waiter_;
  std::mutex mutex_;  // one box at a time; protects in_ use and the fields below
  std::mutex outMutex_;  // protects out_ and the two below: every write is whole lines
  std::string lastAnswer_;    // the last policy answer written
  unsigned heldRepeats_ = 0;  // the same answer given since, not yet written
  bool endOfInput_ = false;
  std::string lastBox_;     // caption, text and buttons of the last box shown
  std::atomic<bool> lastRepeated_{false};  // read by the main thread without mutex_
  std::mutex closingMutex_;  // protects closing_
  std::condition_variable closingChanged_;
  bool closing_ = false;
};

// Parses an answer line for a style: the button id, the default for an
// empty line, 0 for a name the box does not offer.
int ParseAnswer(const std::string& line, UINT style);

class HeadlessLoop final : public ShellFrontEnd, public plat::WindowSink {
 public:
  // `boxes` (may be null) is told when a close begins, so a policy wait
  // ends at once; its policy decides what a fault nobody answered leads to.
  // With `windowTimer` (the main window's own, where the system has one)
  // the scheduler's ticks are that timer's WM_TIMER posts; without it, or
  // when it cannot be set, the loop keeps time itself.
  explicit HeadlessLoop(HWND mainWindow, ConsoleMessageBoxes* boxes = nullptr,
                        plat::MainWindowTimer* windowTimer = nullptr);

  // ShellFrontEnd: one timer, driven by the loop on the real clock or by
  // the main window's timer.
  DWORD SetTimer(DWORD intervalMs) override;
  void KillTimer(DWORD timerId) override;
  bool GetPlacement(WINDOWPLACEMENT&) override { return false; }

  // WindowSink: WM_CLOSE, WM_TIMER and WM_SPOOLER_STOP to the main window
  // are queued; posts to any other window (the job page) have no window to
  // reach. WM_CLOSE's wParam says who wants the close (plat::kCloseRunEnded...).
  // WM_SPOOLER_PRINTERWAIT is said at once, on the posting thread, as a
  // state line ("state: out of paper", ... "state: printing"), once per
  // change: a reader learns it while the main thread may be in a question.
  bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  void Invalidate(HWND) override {}
  void BringToForeground(HWND) override {}

  // The command channel's listener asks the main thread to serve.
  void WakeChannel();

  // Runs until a WM_SPOOLER_STOP has stopped the spooler with its queue
  // kept, or a WM_CLOSE is confirmed and the document closed:
  //  - asked for from outside: the quit question, then the close;
  //  - the run is over or the spooler idle: the last look at the queue
  //    first, which may start a run instead;
  //  - a fault nobody answered (the queue is kept): under "retry" the
  //    spooler stays and the next tick comes no sooner than the retry
  //    time-out; otherwise it closes.
  void Run(plat::CommandServer& server);

 private:
  using Clock = std::chrono::steady_clock;
  enum class Event { Close, SelfClose, FaultClose, Tick, Channel, Stop };

  // Hands a close or a stop to the close controller and does what it
  // decides; true when the program is to end (the document closed, or the
  // spooler stopped with its queue kept).
  bool Close(Event event);
  void SayPrinterWait(WPARAM wait, LPARAM dataMoved);
  void WriteLine(const std::string& line);

  HWND mainWindow_;
  ConsoleMessageBoxes* boxes_;
  plat::MainWindowTimer* windowTimer_;
  std::mutex mutex_;  // protects events_, timerInterval_, nextTick_, timerOn_, windowTicks_
  std::condition_variable changed_;
  std::deque<Event> events_;
  bool timerOn_ = false;
  // The ticks come from the main window's timer (then nextTick_ is the
  // earliest one that counts).
  bool windowTicks_ = false;
  std::chrono::milliseconds timerInterval_{kSchedulerIntervalMs};
  Clock::time_point nextTick_{};
  std::mutex waitMutex_;  // protects lastWait_
  WPARAM lastWait_ = 0;   // the printer wait last said (0: none)
};


}  // namespace headless
