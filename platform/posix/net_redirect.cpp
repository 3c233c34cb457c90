// Network redirection of LPT1..LPT9 to printer shares. The table is the file
// run/netuse, one redirection a line: device, share and the owner's process
// id, separated by tabs. Every change is made while the file is held with
// no sharing and lands by atomic replacement, so processes see each other's
// redirections whole. A redirection whose owner has died is free again: a
// spooler that crashed mid-job must not keep a device taken for good.
// Any thread.
#include "platform/net_redirect.h"

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/port_names.h"

namespace plat {
namespace {

constexpr DWORD kTableLockWaitMs = 1500;

struct Redirection {
  std::string device;  // "LPT3"
  std::string share;
  long pid = 0;
};

std::string TablePath() {
  const std::string dir = RunDirectory();
  return dir.empty() ? std::string() : dir + "/netuse";
}

bool OwnerAlive(long pid) {
  if (pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::vector<Redirection> ParseTable(const std::string& text) {
  std::vector<Redirection> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    auto t1 = line.find('\t');
    if (t1 == std::string::npos) continue;
    auto t2 = line.find('\t', t1 + 1);
    if (t2 == std::string::npos) continue;
    Redirection r;
    r.device = CanonicalPortName(line.substr(0, t1));
    r.share = line.substr(t1 + 1, t2 - t1 - 1);
    try {
      r.pid = std::stol(line.substr(t2 + 1));
    } catch (...) {
      continue;  // a damaged line frees its device rather than block it
    }
    if (LptNumber(r.device) == 0 || r.share.empty()) continue;
    rows.push_back(std::move(r));
  }
  return rows;
}

std::string FormatTable(const std::vector<Redirection>& rows) {
  std::string out;
  for (const auto& r : rows)
    out += r.device + "\t" + r.share + "\t" + std::to_string(r.pid) + "\n";
  return out;
}

// Holds the table with no sharing for the length of one change.
class TableLock {
 public:
  TableLock() : path_(TablePath()) {
    if (path_.empty()) {
      error_ = EACCES;
      return;
    }
    const DWORD start = GetTickCount();
    for (;;) {
      handle_ = OpenFile(path_, Access::ReadWrite, ShareMode::None,
                         Disposition::OpenAlways);
      if (handle_ != INVALID_HANDLE_VALUE) break;
      error_ = GetLastError();
      if (error_ != ERROR_SHARING_VIOLATION_CODE ||
          GetTickCount() - start >= kTableLockWaitMs)
        return;
      PausePolling();
    }
    error_ = 0;
    char buf[4096];
    for (;;) {
      DWORD n = 0;
      if (!ReadFile(handle_, buf, sizeof buf, &n)) {
        error_ = GetLastError();
        return;
      }
      if (n == 0) break;
      text_.append(buf, n);
    }
  }
  ~TableLock() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

  DWORD error() const { return error_; }
  const std::string& text() const { return text_; }
  DWORD Store(const std::vector<Redirection>& rows) {
    const std::string data = FormatTable(rows);
    if (!ReplaceFileContents(handle_, path_, data.data(), data.size()))
      return GetLastError() ? GetLastError() : EIO;
    return 0;
  }

 private:
  std::string path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DWORD error_ = 0;
  std::string text_;
};

bool ValidShare(const std::string& share) {
  if (share.size() < 3 || share[0] != '\\' || share[1] != '\\') return false;
  return share.find_first_of("\t\r\n") == std::string::npos;
}

}  // namespace

DWORD AddConnection(const std::string& localDevice, const std::string& remoteName) {
  if (LptNumber(localDevice) == 0 || !ValidShare(remoteName)) return EINVAL;
  const std::string device = CanonicalPortName(localDevice);
  TableLock table;
  if (table.error()) return table.error();
  std::vector<Redirection> rows;
  for (auto& r : ParseTable(table.text())) {
    if (!OwnerAlive(r.pid)) continue;
    if (r.device == device) return EBUSY;  // taken, by us or another process
    rows.push_back(std::move(r));
  }
  rows.push_back({device, remoteName, static_cast<long>(::getpid())});
  return table.Store(rows);
}

DWORD CancelConnection(const std::string& localDevice, bool force) {
  // Nothing here keeps a redirected device open on its own behalf: the
  // port's own claim keeps a second opener out, so cancelling with and
  // without force are the same.
  (void)force;
  if (LptNumber(localDevice) == 0) return EINVAL;
  const std::string device = CanonicalPortName(localDevice);
  TableLock table;
  if (table.error()) return table.error();
  std::vector<Redirection> rows;
  bool found = false;
  DWORD result = 0;
  for (auto& r : ParseTable(table.text())) {
    if (!OwnerAlive(r.pid)) continue;
    if (r.device == device) {
      if (r.pid != static_cast<long>(::getpid())) {
        result = EACCES;  // another process's redirection is not ours to end
      } else {
        found = true;
        continue;
      }
    }
    rows.push_back(std::move(r));
  }
  if (result) return result;
  if (!found) return ENOENT;
  return table.Store(rows);
}

std::optional<std::string> RedirectedShare(const std::string& localDevice) {
  if (LptNumber(localDevice) == 0) return std::nullopt;
  const std::string path = TablePath();
  if (path.empty()) return std::nullopt;
  std::string text;
  if (!ReadWholeFile(path, text)) return std::nullopt;
  const std::string device = CanonicalPortName(localDevice);
  for (const auto& r : ParseTable(text)) {
    if (r.device == device && OwnerAlive(r.pid)) return r.share;
  }
  return std::nullopt;
}

}  // namespace plat
