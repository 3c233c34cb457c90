// The headless front end's event pump and console message boxes.
// Run: the main thread; Post, WakeChannel, Show and Ask: any thread.
#include "app/headless/headless_loop.h"


#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>

#include "app/headless/console_text.h"
#include "app/shell/close_controller.h"
#include "app/shell/startup.h"
#include "app/state/spooler_state.h"
#include "pages/printer_wait_text.h"
#include "platform/common/text_util.h"

namespace headless {

int ParseAnswer(const std::string& line, UINT style) {
  std::string answer = plat::ToLower(std::string(plat::TrimSpace(line)));
  if (answer.empty()) return plat::DefaultButton(style);
  for (int i = 0; i < plat::ButtonCount(style); ++i) {
    int id = plat::ButtonAt(style, i);
    if (answer == plat::ButtonName(id)) return id;
  }
  return 0;
}

ConsoleMessageBoxes::ConsoleMessageBoxes(FaultPolicy policy)
    : ConsoleMessageBoxes(policy, std::cin, std::cout, plat::StandardInputCanAnswer(), nullptr) {}

ConsoleMessageBoxes::ConsoleMessageBoxes(FaultPolicy policy, std::istream& in,
                                         std::ostream& out, bool someoneCanAnswer,
                                         Waiter waiter)
    : policy_(policy), in_(in), out_(out), waiter_(std::move(waiter)) {
  // Only "ask" reads; with nobody at the other end it never starts to.
  endOfInput_ = policy_.kind != FaultPolicyKind::Ask || !someoneCanAnswer;
}

bool ConsoleMessageBoxes::LastBoxRepeated() {
  // Not under mutex_: a box may be up on another thread, waiting.
  return lastRepeated_.load();
}

void ConsoleMessageBoxes::SetClosing(bool closing) {
  {
    std::lock_guard<std::mutex> lock(closingMutex_);
    closing_ = closing;
  }
  closingChanged_.notify_all();
}

ConsoleMessageBoxes::~ConsoleMessageBoxes() { Write("", true); }

void ConsoleMessageBoxes::Write(const std::string& text, bool flush) {
  std::lock_guard<std::mutex> lock(outMutex_);
  if (heldRepeats_ > 0) {
    out_ << "answered by policy again, " << heldRepeats_
         << (heldRepeats_ == 1 ? " time: " : " times: ") << lastAnswer_ << '\n';
    heldRepeats_ = 0;
  }
  out_ << text;
  if (flush) out_ << std::flush;
}

void ConsoleMessageBoxes::WriteLine(const std::string& line) { Write(line + '\n', true); }

bool ConsoleMessageBoxes::WaitForTimeOut(unsigned seconds) {
  if (waiter_) return waiter_(seconds);
  std::unique_lock<std::mutex> lock(closingMutex_);
  return !closingChanged_.wait_for(lock, std::chrono::seconds(seconds),
                                   [this] { return closing_; });
}

int ConsoleMessageBoxes::Show(HWND, const std::string& text,
                              const std::string& caption, UINT style) {
  return Answer(text, caption, style, nullptr);
}

int ConsoleMessageBoxes::Ask(HWND, const FaultQuestion& question) {
  return Answer(question.text, question.caption, question.style, &question);
}

int ConsoleMessageBoxes::Answer(const std::string& text, const std::string& caption,
                                UINT style, const FaultQuestion* question) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string buttons;
  for (int i = 0; i < plat::ButtonCount(style); ++i) {
    if (i) buttons += ' ';
    buttons += plat::ButtonName(plat::ButtonAt(style, i));
  }
  const std::string box = caption + '\n' + text + '\n' + buttons;
  // With someone to read it, every box is shown whole.
  const bool again = endOfInput_ && box == lastBox_;
  lastBox_ = box;
  lastRepeated_.store(again);
  if (!again) {
    // Texts may carry a printer's reply or a queue record's words: shown
    // escaped, so they can neither drive the terminal nor pass for our lines.
    // Whoever reads a pipe (a print service's backend, a log) must see the
    // fault now, not after the policy's wait.
    Write("--- message box ---\n"
          "caption: " + EscapeControls(caption) + "\n" +
              FormatConsoleText("text: ", text) + "\n"
              "buttons: " + buttons + "\n",
          true);
  }
  while (!endOfInput_) {
    Write("answer? ", true);
    std::string line;
    if (!std::getline(in_, line)) {
      endOfInput_ = true;
      break;
    }
    const int id = ParseAnswer(line, style);
    if (id != 0) {
      Write(std::string("answered: ") + plat::ButtonName(id) + "\n", true);
      return id;
    }
    Write("not a button of this box: " + std::string(plat::TrimSpace(line)) + "\n", false);
  }

  // Nobody to answer: the policy does ("ask" as "keep").
  int id = question ? PolicyAnswer(policy_.kind, *question) : 0;
  bool waited = false;
  if (id != 0 && PolicyAnswerWaits(policy_.kind, *question)) {
    waited = true;
    if (!WaitForTimeOut(policy_.retrySeconds)) id = 0;  // closing: keep
  }
  std::string answer = id != 0 ? plat::ButtonName(id) : "none";
  if (waited) answer += " (after " + std::to_string(policy_.retrySeconds) + " s)";
  {
    std::lock_guard<std::mutex> outLock(outMutex_);
    if (again && answer == lastAnswer_) {
      ++heldRepeats_;
      return id;
    }
  }
  WriteLine("answered by policy: " + answer);
  std::lock_guard<std::mutex> outLock(outMutex_);
  lastAnswer_ = answer;
  return id;
}

HeadlessLoop::HeadlessLoop(HWND mainWindow, ConsoleMessageBoxes* boxes,
                           plat::MainWindowTimer* windowTimer)
    : mainWindow_(mainWindow), boxes_(boxes), windowTimer_(windowTimer) {}

DWORD HeadlessLoop::SetTimer(DWORD intervalMs) {
  const DWORD interval = app::SchedulerIntervalFromEnvironment(intervalMs);
  // Asked outside the lock: the window's thread may be posting to us.
  const bool windowTicks = windowTimer_ && windowTimer_->Set(interval);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    timerInterval_ = std::chrono::milliseconds(interval);
    windowTicks_ = windowTicks;
    nextTick_ = windowTicks ? Clock::now() : Clock::now() + timerInterval_;
    timerOn_ = true;
  }
  changed_.notify_all();
  return 1;
}

void HeadlessLoop::KillTimer(DWORD) {
  bool windowTicks = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    timerOn_ = false;
    windowTicks = windowTicks_;
  }
  if (windowTicks) windowTimer_->Kill();
}

bool HeadlessLoop::Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == 0 || window != mainWindow_) return false;
  Event event;
  if (message == WM_CLOSE) {
    event = wParam == plat::kCloseRunEnded          ? Event::SelfClose
            : wParam == plat::kCloseFaultUnanswered ? Event::FaultClose
                                                    : Event::Close;
  } else if (message == WM_TIMER) {
    event = Event::Tick;
  } else if (message == WM_SPOOLER_STOP) {
    event = Event::Stop;
  } else if (message == WM_SPOOLER_PRINTERWAIT) {
    SayPrinterWait(wParam, lParam);
    return true;
  } else {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Like a window timer: ticks that fell due while we were busy collapse
    // into one.
    if (event == Event::Tick && windowTicks_ &&
        std::find(events_.begin(), events_.end(), Event::Tick) != events_.end())
      return true;
    events_.push_back(event);
  }
  changed_.notify_all();
  return true;
}

void HeadlessLoop::WriteLine(const std::string& line) {
  if (boxes_) {
    boxes_->WriteLine(line);
  } else {
    std::cout << line << std::endl;
  }
}

void HeadlessLoop::SayPrinterWait(WPARAM wait, LPARAM dataMoved) {
  std::lock_guard<std::mutex> lock(waitMutex_);
  if (wait == lastWait_) return;
  const bool afterWait = lastWait_ != 0;
  lastWait_ = wait;
  // "printing" only answers a wait we said; a wait ended by a fault code or
  // a stop is followed by its box or by nothing.
  if (wait == 0 && !afterWait) return;
  const std::string line = PrinterStateLine(static_cast<PrinterWait>(wait), dataMoved != 0);
  if (!line.empty()) WriteLine(line);
}

void HeadlessLoop::WakeChannel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(Event::Channel);
  }
  changed_.notify_all();
}

void HeadlessLoop::Run(plat::CommandServer& server) {
  for (;;) {
    Event event;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        if (!events_.empty()) {
          event = events_.front();
          events_.pop_front();
          // The window's ticks count only while the timer is on and no
          // retry holds them back.
          if (event == Event::Tick && windowTicks_ &&
              (!timerOn_ || Clock::now() < nextTick_))
            continue;
          break;
        }
        if (timerOn_ && !windowTicks_ && Clock::now() >= nextTick_) {
          // Like a window timer: ticks that fell due while we were busy
          // collapse into one.
          nextTick_ = Clock::now() + timerInterval_;
          event = Event::Tick;
          break;
        }
        if (timerOn_ && !windowTicks_) {
          changed_.wait_until(lock, nextTick_);
        } else {
          changed_.wait(lock);
        }
      }
    }
    switch (event) {
      case Event::Channel:
        server.ServePending();
        break;
      case Event::Tick:
        SchedulerTick();
        break;
      case Event::Close:
      case Event::SelfClose:
      case Event::FaultClose:
      case Event::Stop:
        if (Close(event)) return;
        break;
    }
  }
}

bool HeadlessLoop::Close(Event event) {
  const CloseReason reason = event == Event::Stop        ? CloseReason::Stop
                             : event == Event::SelfClose  ? CloseReason::RunEnded
                             : event == Event::FaultClose ? CloseReason::FaultUnanswered
                                                          : CloseReason::Requested;
  CloseCircumstances now;
  if (boxes_ && boxes_->policy().kind == FaultPolicyKind::Retry)
    now.unansweredFault = UnansweredFault::Retries;
  // No dialog of ours runs a loop of its own here: a question blocks this
  // thread, and what arrives meanwhile waits in the queue.
  switch (RequestClose(reason, now)) {
    case CloseDecision::RetryLater: {
      // The queue is kept; the scheduler takes the job again, but not before
      // the retry time-out: a port that stays shut costs a line per try.
      const unsigned seconds = boxes_->policy().retrySeconds;
      if (!boxes_->LastBoxRepeated()) {
        WriteLine("no answer: the queue is kept; trying again in " + std::to_string(seconds) +
                  " s");
      }
      std::lock_guard<std::mutex> lock(mutex_);
      const Clock::time_point earliest = Clock::now() + std::chrono::seconds(seconds);
      if (nextTick_ < earliest) nextTick_ = earliest;
      return false;
    }
    case CloseDecision::Stop:
    case CloseDecision::StopUnderDialogs:
    case CloseDecision::FinishStop:
      // Nobody is there to answer the quit question; the queue stays. A
      // policy that waits for its time-out answers at once: the stop
      // waits for the print thread, which waits for that answer.
      if (boxes_) boxes_->SetClosing(true);
      StopKeepingQueue();
      return true;
    case CloseDecision::Ask:
      if (reason == CloseReason::FaultUnanswered) {
        WriteLine("no answer: the queue is kept; closing");
      }
      // A policy that waits for its time-out must not hold up a close asked
      // for from outside. (The spooler's own close comes when no run is
      // left to wait.)
      if (boxes_ && reason != CloseReason::RunEnded) boxes_->SetClosing(true);
      if (AskQuitQuestion() == CloseDecision::Close) {
        DocumentClose();
        return true;
      }
      if (boxes_) boxes_->SetClosing(false);
      return false;
    case CloseDecision::Close:
      DocumentClose();
      return true;
    case CloseDecision::Refuse:
    case CloseDecision::Defer:
      return false;
  }
  return false;
}

}  // namespace headless
