// Files on Windows: the open with the system's share modes, the file's size
// and position, deleting, and the joining of paths. The system's share modes
// are the sharing protocol itself: "no sharing" is dwShareMode 0 and
// "sharing read and write" is FILE_SHARE_READ | FILE_SHARE_WRITE, so a second
// opener is refused with ERROR_SHARING_VIOLATION by the system, across
// processes, and waits it out in OpenWithRetry. The handle table and the
// retried open are the portable half's (platform/common/files.cpp); the
// system handle lives in a file object of that table (file_object.h).
// Replacing a file is in file_replacement.cpp, editing a held one in place
// in in_place_edits.cpp, the last error and its classes in errors.cpp.
// Any thread.
#include "platform/files.h"

#include <memory>
#include <string>

#include "platform/common/files_shared.h"
#include "platform/errors.h"
#include "platform/win32/file_object.h"
#include "platform/win32/windows_api.h"

namespace plat {

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

bool IsDirectory(const std::string& path) {
  const W32_DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

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

}  // namespace plat
