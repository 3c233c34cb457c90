// The headless front end's event pump and console message boxes.
// Run: the main thread; Post, WakeChannel and Show: any thread.
#include "app/headless/headless_loop.h"

#include <cctype>
#include <cstdlib>
#include <iostream>

#include "app/headless/console_text.h"
#include "app/spooler_state.h"

namespace headless {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

int ParseAnswer(const std::string& line, UINT style) {
  std::string answer = Lower(Trim(line));
  if (answer.empty()) return plat::DefaultButton(style);
  for (int i = 0; i < plat::ButtonCount(style); ++i) {
    int id = plat::ButtonAt(style, i);
    if (answer == plat::ButtonName(id)) return id;
  }
  return 0;
}

int ConsoleMessageBoxes::Show(HWND, const std::string& text,
                              const std::string& caption, UINT style) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string buttons;
  for (int i = 0; i < plat::ButtonCount(style); ++i) {
    if (i) buttons += ' ';
    buttons += plat::ButtonName(plat::ButtonAt(style, i));
  }
  // Texts may carry a printer's reply or a queue record's words: shown
  // escaped, so they can neither drive the terminal nor pass for our lines.
  std::cout << "--- message box ---\n"
            << "caption: " << EscapeControls(caption) << "\n"
            << FormatConsoleText("text: ", text) << "\n"
            << "buttons: " << buttons << "\n";
  for (;;) {
    int id = 0;
    if (!endOfInput_) {
      std::cout << "answer? " << std::flush;
      std::string line;
      if (std::getline(std::cin, line)) {
        id = ParseAnswer(line, style);
        if (id == 0) {
          std::cout << "not a button of this box: " << Trim(line) << "\n";
          continue;
        }
      } else {
        endOfInput_ = true;
      }
    }
    if (id == 0) id = plat::DefaultButton(style);
    std::cout << "answered: " << plat::ButtonName(id) << std::endl;
    return id;
  }
}

DWORD SchedulerIntervalFromEnvironment(DWORD requested) {
  const char* text = std::getenv("KELVANE_TIMER_MS");
  if (!text || !*text) return requested;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 3600000) return requested;
  return static_cast<DWORD>(value);
}

HeadlessLoop::HeadlessLoop(HWND mainWindow) : mainWindow_(mainWindow) {}

DWORD HeadlessLoop::SetTimer(DWORD intervalMs) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    timerInterval_ = std::chrono::milliseconds(SchedulerIntervalFromEnvironment(intervalMs));
    nextTick_ = Clock::now() + timerInterval_;
    timerOn_ = true;
  }
  changed_.notify_all();
  return 1;
}

void HeadlessLoop::KillTimer(DWORD) {
  std::lock_guard<std::mutex> lock(mutex_);
  timerOn_ = false;
}

bool HeadlessLoop::Post(HWND window, UINT message, WPARAM, LPARAM) {
  if (window == 0 || window != mainWindow_) return false;
  Event event;
  if (message == WM_CLOSE) {
    event = Event::Close;
  } else if (message == WM_TIMER) {
    event = Event::Tick;
  } else if (message == WM_SPOOLER_STOP) {
    event = Event::Stop;
  } else {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  changed_.notify_all();
  return true;
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
          break;
        }
        if (timerOn_ && Clock::now() >= nextTick_) {
          // Like a window timer: ticks that fell due while we were busy
          // collapse into one.
          nextTick_ = Clock::now() + timerInterval_;
          event = Event::Tick;
          break;
        }
        if (timerOn_) {
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
        if (ConfirmQuit()) {
          DocumentClose();
          return;
        }
        break;
      case Event::Stop:
        // Nobody is there to answer the quit question; the queue stays.
        StopKeepingQueue();
        return;
    }
  }
}

}  // namespace headless
