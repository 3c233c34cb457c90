// Files on Windows. The system's share modes are the sharing protocol itself:
// "no sharing" is dwShareMode 0 and "sharing read and write" is
// FILE_SHARE_READ | FILE_SHARE_WRITE, so a second opener is refused with
// ERROR_SHARING_VIOLATION by the system, across processes, and waits it out
// in OpenWithRetry. The handle table and the retried open are the portable
// half's (platform/common/files.cpp); the system handle lives in a file
// object of that table.
// Any thread. Each file object guards its system handle with a reader/writer
// lock so that CloseHandle from one thread never closes it under a read or
// write in another.
#include <climits>
#include <functional>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/common/files_shared.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/win32/windows_api.h"

namespace plat {

const DWORD kErrorBadHandle = ERROR_INVALID_HANDLE;
const DWORD kErrorBadAddress = ERROR_NOACCESS;
const DWORD kErrorDiskFull = ERROR_DISK_FULL;

namespace {

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// Runs cleanup calls without letting them overwrite the error being reported.
class KeepLastError {
 public:
  KeepLastError() : error_(GetLastError()) {}
  ~KeepLastError() { SetLastError(error_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD error_;
};

bool IsValid(W32_HANDLE h) { return h != nullptr && h != w32::InvalidHandle(); }

// Writes all of `data`; false with the system's error set.
bool WriteAll(W32_HANDLE h, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const std::size_t left = size - done;
    const W32_DWORD chunk = static_cast<W32_DWORD>(left > (1u << 30) ? (1u << 30) : left);
    W32_DWORD n = 0;
    if (!::WriteFile(h, p + done, chunk, &n, nullptr)) return false;
    if (n == 0) return Fail(ERROR_DISK_FULL);
    done += n;
  }
  return true;
}

class FileObject final : public HandleObject {
 public:
  FileObject(W32_HANDLE handle, Access access, ShareMode share, std::string path)
      : handle_(handle), access_(access), share_(share), path_(std::move(path)) {}
  ~FileObject() override { Close(); }

  bool Read(void* buffer, DWORD size, DWORD* bytesRead) override {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (bytesRead) *bytesRead = 0;
    if (!IsValid(handle_)) return Fail(ERROR_INVALID_HANDLE);
    auto* p = static_cast<char*>(buffer);
    return TransferAll(size, bytesRead, false, [&](DWORD done, DWORD left, DWORD& moved) {
      W32_DWORD n = 0;
      if (!::ReadFile(handle_, p + done, left, &n, nullptr)) return false;
      moved = n;
      return true;
    });
  }

  bool Write(const void* data, DWORD size, DWORD* bytesWritten) override {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (bytesWritten) *bytesWritten = 0;
    if (!IsValid(handle_)) return Fail(ERROR_INVALID_HANDLE);
    const auto* p = static_cast<const char*>(data);
    return TransferAll(size, bytesWritten, true, [&](DWORD done, DWORD left, DWORD& moved) {
      W32_DWORD n = 0;
      if (!::WriteFile(handle_, p + done, left, &n, nullptr)) return false;
      moved = n;
      return true;
    });
  }

  void Close() override {
    std::unique_lock<std::shared_mutex> g(mutex_);
    if (IsValid(handle_)) {
      KeepLastError keep;
      ::CloseHandle(handle_);  // ends our share-mode hold
      handle_ = w32::InvalidHandle();
    }
  }

  DWORD Size() {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (!IsValid(handle_)) {
      Fail(ERROR_INVALID_HANDLE);
      return INVALID_FILE_SIZE;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle_, &size)) return INVALID_FILE_SIZE;
    return static_cast<DWORD>(static_cast<unsigned long long>(size.QuadPart));
  }

  bool Seek(std::uint64_t offset) {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (!IsValid(handle_)) return Fail(ERROR_INVALID_HANDLE);
    if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return Fail(ERROR_INVALID_PARAMETER);
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN) != 0;
  }

  // Runs `fn(handle)` with no read or write of this object in between.
  template <typename Fn>
  bool WithExclusiveHandle(Fn fn) {
    std::unique_lock<std::shared_mutex> g(mutex_);
    if (!IsValid(handle_)) return Fail(ERROR_INVALID_HANDLE);
    return fn(handle_);
  }

  ShareMode share() const { return share_; }
  bool writable() const { return access_ != Access::Read; }
  // The path the file was opened with, for the fault hook.
  const std::string& path() const { return path_; }

 private:
  std::shared_mutex mutex_;  // guards handle_: shared for I/O, exclusive to close
  W32_HANDLE handle_;
  const Access access_;
  const ShareMode share_;
  const std::string path_;
};

// Six characters for a temporary's name. Lower case and digits only: names
// differ on this system only where they differ without regard to case.
std::string RandomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::minstd_rand generator(static_cast<unsigned>(
      ::GetCurrentProcessId() * 2654435761u ^ ::GetTickCount() ^
      std::hash<std::thread::id>{}(std::this_thread::get_id())));
  std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kChars) - 2);
  std::string suffix;
  for (int i = 0; i < 6; ++i) suffix += kChars[pick(generator)];
  return suffix;
}

// Writes `data` to a new file `path` + ".tmp" + six characters, flushed to
// disk and closed, ready to be moved over `path`. False with the error set
// (and nothing left behind) on failure.
bool WriteTemporaryBeside(const std::string& path, const void* data, std::size_t size,
                          std::string& tempName) {
  if (DWORD e = InjectedFileFault(FileFault::CreateTemporary, path)) return Fail(e);
  W32_HANDLE h = w32::InvalidHandle();
  for (int attempt = 0; attempt < 100 && !IsValid(h); ++attempt) {
    tempName = path + ".tmp" + RandomSuffix();
    // CREATE_NEW: never take over a file someone else made under the name.
    h = ::CreateFileA(tempName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!IsValid(h) && ::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (!IsValid(h)) return false;
  auto step = [&](FileFault point) {
    const DWORD injected = InjectedFileFault(point, path);
    if (injected != 0) SetLastError(injected);
    return injected == 0;
  };
  if (!step(FileFault::WriteTemporary) || !WriteAll(h, data, size) ||
      !step(FileFault::SyncTemporary) || !::FlushFileBuffers(h)) {
    KeepLastError keep;
    ::CloseHandle(h);
    ::DeleteFileA(tempName.c_str());
    return false;
  }
  if (!::CloseHandle(h)) {
    KeepLastError keep;
    ::DeleteFileA(tempName.c_str());
    return false;
  }
  return true;
}

// Moves a finished temporary over `target`, replacing it; the temporary is
// removed when the move fails.
bool MoveOver(const std::string& tempName, const std::string& target) {
  if (::MoveFileExA(tempName.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  KeepLastError keep;
  ::DeleteFileA(tempName.c_str());
  return false;
}

// True when `path` names the file `held` is open on. The path is opened
// with no access at all, which no share mode refuses, so our own no-sharing
// hold does not stand in the way.
bool NamesHeldFile(W32_HANDLE held, const std::string& path) {
  W32_HANDLE named = ::CreateFileA(path.c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!IsValid(named)) return false;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  const bool same = ::GetFileInformationByHandle(held, &a) &&
                    ::GetFileInformationByHandle(named, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                    a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  ::CloseHandle(named);
  return same;
}

bool IsDirectory(const std::string& path) {
  const W32_DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

// The system takes '/' too, but writes backslashes; a path of ours that
// mixes both (a record's spool line, a command line) reads as a mistake.
std::string JoinPath(const std::string& folder, const std::string& below) {
  std::string joined = folder;
  if (!joined.empty() && joined.back() != '\\' && joined.back() != '/') joined += '\\';
  for (char c : below) joined += c == '/' ? '\\' : c;
  return joined;
}

// Our moves use MOVEFILE_WRITE_THROUGH, which returns only once the new
// folder entry is on disk, and the system has no flush of a folder apart
// from that; nothing is left to do here.
void SyncDirectory(const std::string&) {}

HANDLE OpenFile(const std::string& path, Access access, ShareMode share,
                Disposition disposition) {
  if (path.empty()) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition == Disposition::CreateAlways && access == Access::Read) {
    Fail(ERROR_INVALID_PARAMETER);  // truncating needs write access
    return INVALID_HANDLE_VALUE;
  }
  W32_DWORD desired = 0;
  switch (access) {
    case Access::Read: desired = GENERIC_READ; break;
    case Access::Write: desired = GENERIC_WRITE; break;
    case Access::ReadWrite: desired = GENERIC_READ | GENERIC_WRITE; break;
  }
  const W32_DWORD shareMode =
      share == ShareMode::None ? 0 : (FILE_SHARE_READ | FILE_SHARE_WRITE);
  W32_DWORD creation = OPEN_EXISTING;
  switch (disposition) {
    case Disposition::OpenExisting: creation = OPEN_EXISTING; break;
    case Disposition::OpenAlways: creation = OPEN_ALWAYS; break;
    // The system truncates only once the share modes have let us in, so a
    // refused open leaves the holder's contents alone.
    case Disposition::CreateAlways: creation = CREATE_ALWAYS; break;
  }
  if (access != Access::Read) {
    if (DWORD e = InjectedFileFault(FileFault::OpenForWriting, path)) {
      Fail(e);
      return INVALID_HANDLE_VALUE;
    }
  }
  W32_HANDLE h = ::CreateFileA(path.c_str(), desired, shareMode, nullptr, creation,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!IsValid(h)) {
    // The system refuses a folder as it refuses a file that is not ours to
    // open; only the first is final whoever asks, so it gets its own code.
    if (::GetLastError() == ERROR_ACCESS_DENIED && IsDirectory(path)) Fail(ERROR_DIRECTORY);
    return INVALID_HANDLE_VALUE;  // otherwise the system's error stands
  }
  // Device names (LPT1, COM1, NUL, pipes) open too; they are the ports'
  // business, not files.
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    Fail(ERROR_BAD_FILE_TYPE);
    return INVALID_HANDLE_VALUE;
  }
  return RegisterHandle(std::make_shared<FileObject>(h, access, share, path));
}

DWORD GetFileSize(HANDLE h) {
  auto object = LookupHandle(h);
  auto* file = dynamic_cast<FileObject*>(object.get());
  if (!file) {
    Fail(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  return file->Size();
}

bool SetFilePointer(HANDLE h, std::uint64_t offset) {
  auto object = LookupHandle(h);
  auto* file = dynamic_cast<FileObject*>(object.get());
  if (!file) return Fail(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
  return file->Seek(offset);
}

// The system refuses to delete a file anyone holds open without
// FILE_SHARE_DELETE, which none of our opens grant: a driver still writing
// a spool file never loses it under its feet.
bool DeleteFile(const std::string& path) {
  if (DWORD e = InjectedFileFault(FileFault::DeleteFile, path)) return Fail(e);
  return ::DeleteFileA(path.c_str()) != 0;
}

namespace {

// The file object behind `h` if it is held with no sharing, else nullptr
// with the last error set.
FileObject* HeldFile(const std::shared_ptr<HandleObject>& object) {
  auto* file = dynamic_cast<FileObject*>(object.get());
  if (!file) {
    Fail(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (file->share() != ShareMode::None) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return file;
}

// False, with the error a test wants this step of an edit in place to fail
// with as the last error, when it wants one.
bool InPlaceStep(FileFault point, const std::string& path) {
  const DWORD injected = InjectedFileFault(point, path);
  if (injected != 0) SetLastError(injected);
  return injected == 0;
}

// Runs `edit(held)` and puts the handle back at the position it had, as
// after a replacement by rename; the edit's error survives.
template <typename Edit>
bool KeepingPosition(W32_HANDLE held, Edit edit) {
  LARGE_INTEGER zero{}, position{};
  if (!::SetFilePointerEx(held, zero, &position, FILE_CURRENT)) return false;
  const bool ok = edit();
  KeepLastError keep;
  ::SetFilePointerEx(held, position, nullptr, FILE_BEGIN);
  return ok;
}

}  // namespace

// A file cannot be renamed over while a handle is open on it, and the
// caller's no-sharing hold is what keeps other writers out between its read
// and this rewrite; so the new contents go through the held handle itself.
// This gives up the whole-or-nothing of a rename on a crash in the middle,
// never the hold: a kill between the write and the cut leaves the new
// contents followed by the old file's tail.
bool ReplaceFileContents(HANDLE h, const std::string& path, const void* data,
                         std::size_t size) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return false;
  if (!data && size != 0) return Fail(kErrorBadAddress);
  const bool writable = file->writable();
  return file->WithExclusiveHandle([&](W32_HANDLE held) {
    if (!NamesHeldFile(held, path)) return Fail(ERROR_INVALID_PARAMETER);
    if (!writable) return Fail(ERROR_ACCESS_DENIED);
    return KeepingPosition(held, [&] {
      LARGE_INTEGER zero{};
      return InPlaceStep(FileFault::RewriteInPlace, path) &&
             ::SetFilePointerEx(held, zero, nullptr, FILE_BEGIN) && WriteAll(held, data, size) &&
             InPlaceStep(FileFault::TruncateInPlace, path) && ::SetEndOfFile(held) &&
             InPlaceStep(FileFault::SyncInPlace, path) && ::FlushFileBuffers(held);
    });
  });
}

// Nothing can be moved over a file that is held open here: the holder is
// told to edit it in place.
WholeReplacement ReplaceFileWhole(HANDLE h, const std::string& path, const void* data,
                                  std::size_t size) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return WholeReplacement::Failed;
  if (!data && size != 0) {
    Fail(kErrorBadAddress);
    return WholeReplacement::Failed;
  }
  const bool named = file->WithExclusiveHandle([&](W32_HANDLE held) {
    return NamesHeldFile(held, path) || Fail(ERROR_INVALID_PARAMETER);
  });
  if (!named) return WholeReplacement::Failed;
  Fail(ERROR_SHARING_VIOLATION);  // the held file itself stands in the way
  return WholeReplacement::NoNewFile;
}

bool OverwriteHeldRange(HANDLE h, std::uint64_t offset, const void* data, std::size_t size) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return false;
  if (!file->writable()) return Fail(ERROR_ACCESS_DENIED);
  if (!data && size != 0) return Fail(kErrorBadAddress);
  return file->WithExclusiveHandle([&](W32_HANDLE held) {
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(held, &length)) return false;
    const auto end = static_cast<std::uint64_t>(length.QuadPart);
    if (offset > end || size > end - offset) return Fail(ERROR_INVALID_PARAMETER);
    return KeepingPosition(held, [&] {
      LARGE_INTEGER at{};
      at.QuadPart = static_cast<LONGLONG>(offset);
      return ::SetFilePointerEx(held, at, nullptr, FILE_BEGIN) &&
             InPlaceStep(FileFault::RewriteInPlace, file->path()) && WriteAll(held, data, size) &&
             InPlaceStep(FileFault::SyncInPlace, file->path()) && ::FlushFileBuffers(held);
    });
  });
}

bool TruncateHeldFile(HANDLE h, std::uint64_t length) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return false;
  if (!file->writable()) return Fail(ERROR_ACCESS_DENIED);
  return file->WithExclusiveHandle([&](W32_HANDLE held) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(held, &size)) return false;
    if (length > static_cast<std::uint64_t>(size.QuadPart)) return Fail(ERROR_INVALID_PARAMETER);
    return KeepingPosition(held, [&] {
      LARGE_INTEGER at{};
      at.QuadPart = static_cast<LONGLONG>(length);
      return ::SetFilePointerEx(held, at, nullptr, FILE_BEGIN) &&
             InPlaceStep(FileFault::TruncateInPlace, file->path()) && ::SetEndOfFile(held) &&
             InPlaceStep(FileFault::SyncInPlace, file->path()) && ::FlushFileBuffers(held);
    });
  });
}

bool WriteFileAtomically(const std::string& path, std::string_view data) {
  if (IsDirectory(path)) return Fail(ERROR_ACCESS_DENIED);
  std::string tempName;
  if (!WriteTemporaryBeside(path, data.data(), data.size(), tempName)) return false;
  return MoveOver(tempName, path);
}

}  // namespace plat
