// Test support (see test_support.h); the temporary home has one body per
// operating system (temp_home_posix.cpp, temp_home_win32.cpp).
// Test threads only.
#include "tests/support/test_support.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "queue/settings_store.h"

namespace kt {

void TempHome::InstallKey() const { plat::RegCreateKey(SettingsKeyPath()); }

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

ScriptedMessageBoxes::ScriptedMessageBoxes() { plat::SetMessageBoxSink(this); }
ScriptedMessageBoxes::~ScriptedMessageBoxes() { plat::SetMessageBoxSink(nullptr); }

void ScriptedMessageBoxes::Answer(int button) {
  std::lock_guard<std::mutex> g(mutex_);
  script_.push_back(button);
}

int ScriptedMessageBoxes::Show(HWND owner, const std::string& text,
                               const std::string& caption, UINT style) {
  std::lock_guard<std::mutex> g(mutex_);
  boxes_.push_back({owner, text, caption, style});
  if (script_.empty()) return plat::DefaultButton(style);
  int answer = script_.front();
  script_.pop_front();
  return answer;
}

std::vector<RecordedBox> ScriptedMessageBoxes::boxes() const {
  std::lock_guard<std::mutex> g(mutex_);
  return boxes_;
}

std::size_t ScriptedMessageBoxes::count() const {
  std::lock_guard<std::mutex> g(mutex_);
  return boxes_.size();
}

RecordingWindows::RecordingWindows() { plat::SetWindowSink(this); }
RecordingWindows::~RecordingWindows() { plat::SetWindowSink(nullptr); }

bool RecordingWindows::Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> g(mutex_);
  posts_.push_back({window, message, wParam, lParam});
  return window != 0;
}

void RecordingWindows::Invalidate(HWND) {
  std::lock_guard<std::mutex> g(mutex_);
  ++invalidations_;
}

void RecordingWindows::BringToForeground(HWND) {
  std::lock_guard<std::mutex> g(mutex_);
  ++foregrounds_;
}

std::vector<RecordedPost> RecordingWindows::posts() const {
  std::lock_guard<std::mutex> g(mutex_);
  return posts_;
}

int RecordingWindows::CountPosts(HWND window, UINT message) const {
  std::lock_guard<std::mutex> g(mutex_);
  int n = 0;
  for (const auto& p : posts_)
    if (p.window == window && p.message == message) ++n;
  return n;
}

int RecordingWindows::invalidations() const {
  std::lock_guard<std::mutex> g(mutex_);
  return invalidations_;
}

int RecordingWindows::foregrounds() const {
  std::lock_guard<std::mutex> g(mutex_);
  return foregrounds_;
}

}  // namespace kt
