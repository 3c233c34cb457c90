// Removal at start of what a spooler or driver killed mid-work left behind
// (Windows): the temporaries of an interrupted rewrite or prefix, and spool
// files whose driver died before finishing them. There are no socket or
// lock files here (the command channel and the port claims are the
// system's objects, which vanish with their process), so those counts stay 0.
// Main thread.
#include <cctype>
#include <cstdint>
#include <functional>

#include "platform/common/leftover_names.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/leftovers.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    const auto a = static_cast<unsigned char>(text[text.size() - suffix.size() + i]);
    const auto b = static_cast<unsigned char>(suffix[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

std::time_t ToTimeT(const FILETIME& time) {
  // FILETIME counts 100 ns steps from 1601; time_t seconds from 1970.
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  constexpr std::uint64_t kEpochDifference = 116444736000000000ull;
  if (ticks < kEpochDifference) return 0;
  return static_cast<std::time_t>((ticks - kEpochDifference) / 10000000ull);
}

// Calls `visit(name, path, lastWrite)` for every plain file of `dir`; links
// and folders are never ours to remove.
void ForEachFile(const std::string& dir,
                 const std::function<void(const std::string&, const std::string&,
                                          std::time_t)>& visit) {
  WIN32_FIND_DATAA found{};
  W32_HANDLE search = ::FindFirstFileA((dir + "\\*").c_str(), &found);
  if (search == w32::InvalidHandle()) return;
  do {
    const W32_DWORD skip = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                           FILE_ATTRIBUTE_DEVICE;
    if (found.dwFileAttributes & skip) continue;
    const std::string name = found.cFileName;
    visit(name, dir + "\\" + name, ToTimeT(found.ftLastWriteTime));
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
}

// "~tm", one to four hex digits, ".tmp": the system's temporary names, as
// the prefix pass makes them.
bool IsPrefixTemporary(const std::string& name) {
  if (!StartsWith(name, "~tm") || !EndsWithNoCase(name, ".tmp")) return false;
  const std::string digits = name.substr(3, name.size() - 3 - 4);
  return !digits.empty() && digits.size() <= 4 &&
         digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

int RemoveOldTemporaries(const std::string& dir, std::time_t runStart,
                         const std::function<bool(const std::string&)>& isOurs) {
  int removed = 0;
  ForEachFile(dir, [&](const std::string& name, const std::string& path, std::time_t written) {
    if (isOurs(name) && written < runStart && ::DeleteFileA(path.c_str())) ++removed;
  });
  return removed;
}

// The system refuses to open a process id that names no process with
// ERROR_INVALID_PARAMETER; any other refusal (access denied: another
// user's process) means someone runs under it. A process that has ended
// but is still held open by someone has an exit code.
bool IsProcessAlive(unsigned long pid) {
  W32_HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                     static_cast<W32_DWORD>(pid));
  if (!process) return ::GetLastError() != ERROR_INVALID_PARAMETER;
  W32_DWORD code = 0;
  const bool running = !::GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
  ::CloseHandle(process);
  return running;
}

}  // namespace

LeftoversRemoved RemoveLeftovers(const std::string& queueFile, std::time_t runStart,
                                 const std::string& /*ownSocket*/) {
  LeftoversRemoved removed;
  const std::string home = KelvaneHome();
  removed.temporaries += RemoveOldTemporaries(home, runStart, IsSettingsTemporary);
  if (!queueFile.empty()) {
    const std::string dir = DirectoryOf(queueFile);
    const std::string base = queueFile.substr(queueFile.find_last_of("\\/") + 1);
    removed.temporaries += RemoveOldTemporaries(dir, runStart, [&](const std::string& name) {
      return IsRewriteTemporaryOf(name, base);
    });
  }
  const std::string spool = home + "\\spool";
  removed.temporaries += RemoveOldTemporaries(spool, runStart, IsPrefixTemporary);
  // A driver writes a spool file as "KLV~" + six characters + ".part" + its
  // process id until the file is whole; one whose writer is gone never will be.
  ForEachFile(spool, [&](const std::string& name, const std::string& path, std::time_t) {
    const unsigned long writer = UnfinishedSpoolWriter(name);
    if (writer > 0 && !IsProcessAlive(writer) && ::DeleteFileA(path.c_str()))
      ++removed.temporaries;
  });
  return removed;
}

}  // namespace plat
