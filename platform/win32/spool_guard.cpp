// The driver's guard over spool files not yet named by a record, on
// Windows: a console control handler, files made with CREATE_NEW and a move
// that replaces nothing.
// Driver process, main thread; OnControl runs on the thread the system
// starts for a console event and takes the table's lock, which HoldSignals
// keeps until Commit or RemoveAll: an event during the append waits for it.
#include "platform/spool_guard.h"

#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/spool_names.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

std::mutex g_mutex;  // guards g_held; held from HoldSignals to Commit
std::vector<std::string> g_held;
bool g_holding = false;  // HoldSignals took g_mutex (main thread only)

void RemoveHeldLocked() {
  for (const std::string& path : g_held) ::DeleteFileA(path.c_str());
  g_held.clear();
}

BOOL WINAPI OnControl(W32_DWORD) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    RemoveHeldLocked();
  }
  // Not handled: the next handler, the system's, ends the process as it
  // would have without the guard.
  return FALSE;
}

template <typename F>
void WithTable(F change) {
  if (g_holding) {
    change();
    return;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  change();
}

void Forget(const std::string& path) {
  WithTable([&] {
    for (std::size_t i = 0; i < g_held.size(); ++i) {
      if (g_held[i] != path) continue;
      g_held.erase(g_held.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  });
}

bool IsNameTaken(W32_DWORD error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// Copies what `in` holds to `out`, then makes it durable.
bool CopyAndFlush(HANDLE in, W32_HANDLE out, DWORD& error) {
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!plat::ReadFile(in, buffer, sizeof buffer, &got)) {
      error = plat::GetLastError();
      return false;
    }
    if (got == 0) break;
    for (DWORD done = 0; done < got;) {
      W32_DWORD wrote = 0;
      if (!::WriteFile(out, buffer + done, got - done, &wrote, nullptr) || wrote == 0) {
        error = ::GetLastError();
        return false;
      }
      done += wrote;
    }
  }
  if (!::FlushFileBuffers(out)) {
    error = ::GetLastError();
    return false;
  }
  return true;
}

}  // namespace

SpoolGuard::SpoolGuard() { ::SetConsoleCtrlHandler(OnControl, TRUE); }

SpoolGuard::~SpoolGuard() {
  RemoveAll();
  ::SetConsoleCtrlHandler(OnControl, FALSE);
}

std::string SpoolGuard::CopyIn(const std::string& source, const std::string& folder,
                               std::string& error) {
  HANDLE in = plat::OpenWithRetry(source, plat::Access::Read, plat::ShareMode::ReadWrite,
                                  plat::Disposition::OpenExisting);
  if (in == INVALID_HANDLE_VALUE) {
    error = "cannot read " + source;
    return "";
  }
  const std::string suffix = UnfinishedSuffixOf(CurrentProcessId());
  std::string unfinished;
  W32_HANDLE out = w32::InvalidHandle();
  W32_DWORD createError = 0;
  for (int attempt = 0; attempt < 100 && out == w32::InvalidHandle(); ++attempt) {
    unfinished = plat::JoinPath(folder, "KLV~" + RandomSpoolSuffix() + suffix);
    // Held before it exists: an event between the create and the entry
    // would otherwise leave it behind.
    WithTable([&] { g_held.push_back(unfinished); });
    out = ::CreateFileA(unfinished.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == w32::InvalidHandle()) {
      createError = ::GetLastError();
      Forget(unfinished);
      if (!IsNameTaken(createError)) break;
    }
  }
  if (out == w32::InvalidHandle()) {
    error = "cannot create a spool file in " + folder + ": " + DescribeError(createError);
    plat::CloseHandle(in);
    return "";
  }
  DWORD copyError = 0;
  const bool copied = CopyAndFlush(in, out, copyError);
  plat::CloseHandle(in);
  ::CloseHandle(out);
  if (!copied) {
    ::DeleteFileA(unfinished.c_str());
    Forget(unfinished);
    error = "cannot copy " + source + " to the spool file " + unfinished + ": " +
            DescribeError(copyError);
    return "";
  }
  std::string lastTried;
  int moveError = 0;
  const std::string finished = NameFinishedSpoolFile(
      unfinished, suffix, folder,
      [](const std::string& from, const std::string& to, int& e) {
        bool moved = false;
        WithTable([&] {
          moved = ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
          if (!moved) e = static_cast<int>(::GetLastError());
          if (moved) {
            for (std::string& held : g_held)
              if (held == from) held = to;
          }
        });
        return moved;
      },
      [](int e) { return IsNameTaken(static_cast<W32_DWORD>(e)); }, lastTried, moveError);
  if (!finished.empty()) return finished;
  ::DeleteFileA(unfinished.c_str());
  Forget(unfinished);
  error = "cannot name the spool file " + lastTried + ": " +
          DescribeError(static_cast<W32_DWORD>(moveError));
  return "";
}

void SpoolGuard::HoldSignals() {
  if (g_holding) return;
  g_mutex.lock();
  g_holding = true;
}

void SpoolGuard::Commit() {
  WithTable([] { g_held.clear(); });
  if (g_holding) {
    g_holding = false;
    g_mutex.unlock();
  }
}

void SpoolGuard::RemoveAll() {
  WithTable([] { RemoveHeldLocked(); });
  if (g_holding) {
    g_holding = false;
    g_mutex.unlock();
  }
}

}  // namespace plat
