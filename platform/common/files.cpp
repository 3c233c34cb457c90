// The files layer's portable half: the process-wide handle table, the test
// fault hook, the retried open and the read-edit-replace cycle. The system
// calls (opening, reading, replacing a file) live in each system's body.
// Any thread. The handle table and the hook are guarded by their own
// mutexes; each object guards its own system handle or descriptor.
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/clock.h"
#include "platform/common/files_shared.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace plat {
namespace {

std::mutex g_faultMutex;
FileFaultHook g_faultHook;  // guarded by g_faultMutex; tests only

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<HandleObject> object) {
    std::lock_guard<std::mutex> g(mutex_);
    // Handle numbers are never reused while the process runs (a 64-bit
    // counter does not wrap), so a stale handle cannot reach a newer object.
    HANDLE h = next_;
    next_ += 4;
    objects_.emplace(h, std::move(object));
    return h;
  }

  std::shared_ptr<HandleObject> Find(HANDLE h) {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = objects_.find(h);
    return it == objects_.end() ? nullptr : it->second;
  }

  std::shared_ptr<HandleObject> Remove(HANDLE h) {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = objects_.find(h);
    if (it == objects_.end()) return nullptr;
    auto object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  std::mutex mutex_;  // guards next_ and objects_
  HANDLE next_ = 0x100;
  std::unordered_map<HANDLE, std::shared_ptr<HandleObject>> objects_;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // outlives static destructors
  return *table;
}

}  // namespace

void SetFileFaultHook(FileFaultHook hook) {
  std::lock_guard<std::mutex> g(g_faultMutex);
  g_faultHook = std::move(hook);
}

DWORD InjectedFileFault(FileFault point, const std::string& path) {
  FileFaultHook hook;
  {
    std::lock_guard<std::mutex> g(g_faultMutex);
    if (!g_faultHook) return 0;
    hook = g_faultHook;
  }
  return static_cast<DWORD>(hook(point, path));
}

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object) {
  if (!object) {
    Fail(kErrorInvalidParameter);
    return INVALID_HANDLE_VALUE;
  }
  return Table().Add(std::move(object));
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return Table().Find(h);
}

std::shared_ptr<HandleObject> UnregisterHandle(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return Table().Remove(h);
}

bool ReadFile(HANDLE h, void* buffer, DWORD size, DWORD* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  auto object = LookupHandle(h);
  if (!object) return Fail(kErrorBadHandle);
  if (!buffer && size != 0) return Fail(kErrorBadAddress);
  return object->Read(buffer, size, bytesRead);
}

bool WriteFile(HANDLE h, const void* data, DWORD size, DWORD* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  auto object = LookupHandle(h);
  if (!object) return Fail(kErrorBadHandle);
  if (!data && size != 0) return Fail(kErrorBadAddress);
  return object->Write(data, size, bytesWritten);
}

bool CloseHandle(HANDLE h) {
  auto object = UnregisterHandle(h);
  if (!object) return Fail(kErrorBadHandle);
  object->Close();
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of(kPathSeparators);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
#ifdef _WIN32
  // "C:\x" lives in "C:\", not in "C:" (which is that drive's working folder).
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);
#endif
  return path.substr(0, slash);
}

HANDLE OpenWithRetry(const std::string& path, Access access, ShareMode share,
                     Disposition disposition, DWORD ms, OpenRetry retry) {
  const DWORD start = GetTickCount();
  for (;;) {
    HANDLE h = OpenFile(path, access, share, disposition);
    if (h != INVALID_HANDLE_VALUE) return h;
    const ErrorClass kind = ClassifyError(GetLastError());
    const bool passing =
        kind == ErrorClass::SharingViolation ||
        (retry == OpenRetry::PassingRefusals && kind == ErrorClass::Transient);
    if (!passing) return h;
    if (GetTickCount() - start >= ms) return h;
    PausePolling();
  }
}

bool ReadAllFromHandle(HANDLE h, std::string& out) {
  out.clear();
  char buf[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n)) {
      out.clear();  // half a file must not pass for the whole of it
      return false;
    }
    if (n == 0) return true;
    out.append(buf, n);
  }
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  HANDLE h = OpenWithRetry(path, Access::Read, ShareMode::ReadWrite,
                           Disposition::OpenExisting);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = ReadAllFromHandle(h, out);
  DWORD e = GetLastError();
  CloseHandle(h);
  if (!ok) SetLastError(e);
  return ok;
}

bool UpdateFileContents(
    const std::string& path, Disposition disposition,
    const std::function<bool(const std::string& text, std::string& updated)>& edit) {
  HANDLE h = OpenWithRetry(path, Access::ReadWrite, ShareMode::None, disposition);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::string text;
  bool ok = ReadAllFromHandle(h, text);
  if (ok) {
    std::string updated;
    ok = edit(text, updated);
    if (ok && updated != text)
      ok = ReplaceFileContents(h, path, updated.data(), updated.size());
  }
  DWORD e = GetLastError();
  CloseHandle(h);
  SetLastError(e);
  return ok;
}

}  // namespace plat
