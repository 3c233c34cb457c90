// The tools' process calls on Windows: GetModuleFileNameA, a spooler
// started with CreateProcessA outside our console and process group that
// inherits only its standard streams, followed through its process handle,
// and the console's events as the stop request.
// A tool's main thread; OnStopEvent runs on the thread the system starts
// for a console event and only calls the tool's `stop`.
#include "platform/process.h"

#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/files.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

void (*g_stop)() = nullptr;  // set before the handler is installed

BOOL WINAPI OnStopEvent(W32_DWORD) {
  if (!g_stop) return FALSE;
  g_stop();
  // Handled: the tool's loop returns and main ends the program in order.
  return TRUE;
}

class OwnedHandle {
 public:
  explicit OwnedHandle(W32_HANDLE h) : h_(h) {}
  ~OwnedHandle() {
    if (valid()) ::CloseHandle(h_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  bool valid() const { return h_ != nullptr && h_ != w32::InvalidHandle(); }
  W32_HANDLE get() const { return h_; }

 private:
  W32_HANDLE h_;
};

W32_HANDLE OpenInheritable(const char* path, W32_DWORD access, W32_DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return ::CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string ProgramDirectory() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const W32_DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(),
                                             static_cast<W32_DWORD>(buffer.size()));
    if (n == 0) return "";
    if (n < buffer.size()) {
      std::string path(buffer.data(), n);
      const std::size_t slash = path.find_last_of("\\/");
      return slash == std::string::npos ? "" : path.substr(0, slash);
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool IsExecutable(const std::string& path) {
  if (path.empty()) return false;
  const W32_DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ExecutableName(const std::string& base) { return base + ".exe"; }

char PathListSeparator() { return ';'; }

StartedProgram StartDetached(const std::string& program,
                             const std::vector<std::string>& args,
                             const std::string& logPath) {
  OwnedHandle in(OpenInheritable("NUL", GENERIC_READ, OPEN_EXISTING));
  OwnedHandle out(OpenInheritable(logPath.c_str(), FILE_APPEND_DATA, OPEN_ALWAYS));
  if (!in.valid() || !out.valid()) return {};

  // Only the two stream handles cross: a handle of ours the spooler kept
  // (the queue file, a socket) would outlive us for minutes.
  W32_HANDLE inherited[] = {in.get(), out.get()};
  SIZE_T attributeSize = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
  std::vector<char> attributeBuffer(attributeSize);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize)) return {};
  const bool listed =
      ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  sizeof inherited, nullptr, nullptr);

  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = in.get();
  startup.StartupInfo.hStdOutput = out.get();
  startup.StartupInfo.hStdError = out.get();
  startup.lpAttributeList = attributes;

  std::string commandLine = JoinCommandLine(program, args);
  std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
  mutableLine.push_back('\0');
  PROCESS_INFORMATION process{};
  const bool started =
      listed && ::CreateProcessA(program.c_str(), mutableLine.data(), nullptr, nullptr, TRUE,
                                 DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP |
                                     EXTENDED_STARTUPINFO_PRESENT,
                                 nullptr, nullptr, &startup.StartupInfo, &process);
  ::DeleteProcThreadAttributeList(attributes);
  if (!started) return {};
  ::CloseHandle(process.hThread);
  // The process handle tells us its end; it does not keep the spooler in
  // any way, and goes with the StartedProgram.
  return StartedProgram(reinterpret_cast<std::intptr_t>(process.hProcess));
}

void StartedProgram::Forget() {
  if (id_ != 0) ::CloseHandle(reinterpret_cast<W32_HANDLE>(id_));
  id_ = 0;
}

ProgramStatus StartedProgram::Poll() {
  if (id_ == 0 || end_.state != ProgramState::Running) return end_;
  const W32_HANDLE process = reinterpret_cast<W32_HANDLE>(id_);
  // Not the exit code alone: STILL_ACTIVE (259) is also a code a program may
  // end with.
  if (::WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return end_;
  W32_DWORD code = 0;
  if (::GetExitCodeProcess(process, &code))
    end_ = {ProgramState::Exited, static_cast<unsigned long>(code)};
  return end_;
}

// The spooler may hold the log for its output meanwhile: it shares it, and
// so do we; FILE_APPEND_DATA writes at the end whoever wrote last.
bool AppendLogLine(const std::string& logPath, const std::string& line) {
  OwnedHandle log(::CreateFileA(logPath.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!log.valid()) return false;
  const std::string text = line + "\r\n";
  W32_DWORD written = 0;
  return ::WriteFile(log.get(), text.data(), static_cast<W32_DWORD>(text.size()), &written,
                     nullptr) &&
         written == text.size();
}

unsigned long CurrentProcessId() { return ::GetCurrentProcessId(); }

std::string DescribeError(DWORD error) {
  char* text = nullptr;
  const W32_DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n > 0 && text ? std::string(text, n) : "";
  if (text) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(error) : message;
}

void OnStopRequest(void (*stop)()) {
  g_stop = stop;
  ::SetConsoleCtrlHandler(OnStopEvent, TRUE);
}

// Files get their folder's access list; there is no mode to narrow.
void RestrictNewFiles() {}

}  // namespace plat
