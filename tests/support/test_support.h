// Test support shared by the suites: a temporary KELVANE_HOME, a scripted
// message box sink, a window sink that records posts, and a fake clock guard
// (platform/clock.h). Test threads only.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/window_messages.h"
#include "platform/win_types.h"

namespace kt {

// Errors a fault hook injects, in the numbering of the system the suite runs
// on (errno on POSIX, the system's error codes on Windows), so that the code
// under test sorts them as it would sort the real ones.
#ifdef _WIN32
inline constexpr int kAccessDeniedError = 5;  // ERROR_ACCESS_DENIED
inline constexpr int kDiskFullError = 112;    // ERROR_DISK_FULL
inline constexpr int kDeviceIoError = 1117;   // ERROR_IO_DEVICE
#else
inline constexpr int kAccessDeniedError = 13;  // EACCES
inline constexpr int kDiskFullError = 28;      // ENOSPC
inline constexpr int kDeviceIoError = 5;       // EIO
#endif

// A fresh temporary directory set as KELVANE_HOME for the guard's lifetime
// (removed afterwards), with the shared spooler state reset. On Windows the
// registry and win.ini are the system's, not files in the home: the guard
// also empties the settings key (HKLM\SOFTWARE\VORNA\Kelvane) and the
// handshake section of win.ini at its start and its end, so the suites
// there run one at a time.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Creates the spooler's registry key (as installation does).
  void InstallKey() const;

 private:
  std::string path_;
  std::string oldHome_;
  bool hadHome_ = false;
};

// Writes / reads a whole file (binary); Read returns "" when missing.
void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);

struct RecordedBox {
  HWND owner;
  std::string text;
  std::string caption;
  UINT style;
};

// Records every box and answers from a script; when the script is empty it
// answers with the box's default (first) button.
class ScriptedMessageBoxes : public plat::MessageBoxSink {
 public:
  ScriptedMessageBoxes();   // installs itself
  ~ScriptedMessageBoxes() override;  // restores the default sink
  void Answer(int button);  // appends to the script
  int Show(HWND owner, const std::string& text, const std::string& caption,
           UINT style) override;
  std::vector<RecordedBox> boxes() const;
  std::size_t count() const;

 private:
  mutable std::mutex mutex_;
  std::deque<int> script_;
  std::vector<RecordedBox> boxes_;
};

struct RecordedPost {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// Records posts, invalidations and foreground requests.
class RecordingWindows : public plat::WindowSink {
 public:
  RecordingWindows();   // installs itself
  ~RecordingWindows() override;
  bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  void Invalidate(HWND window) override;
  void BringToForeground(HWND window) override;
  std::vector<RecordedPost> posts() const;
  int CountPosts(HWND window, UINT message) const;
  int invalidations() const;
  int foregrounds() const;

 private:
  mutable std::mutex mutex_;
  std::vector<RecordedPost> posts_;
  int invalidations_ = 0;
  int foregrounds_ = 0;
};

}  // namespace kt

#ifdef _WIN32
// The POSIX environment calls the suites use, where the C runtime has only
// _putenv_s. They change both the runtime's copy, which getenv reads, and
// the process's, which the programs a suite starts inherit.
int setenv(const char* name, const char* value, int overwrite);
int unsetenv(const char* name);
#endif
