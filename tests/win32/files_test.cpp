// The Windows bodies of files, errors, home, trust, leftovers and thread
// priority on the real system calls: share modes between openers, the
// rewrite through a held handle, moves over a file, the sorting of Win32
// codes, nested folders and the system's path forms.
// Test thread, one helper thread in the retried-open case and a second copy
// of this program that holds a file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/file_trust.h"
#include "platform/files.h"
#include "platform/files_test_support.h"
#include "platform/home.h"
#include "platform/leftovers.h"
#include "platform/threads.h"
#include "platform/win32/windows_api.h"

namespace {

using plat::Access;
using plat::Disposition;
using plat::ErrorClass;
using plat::ShareMode;

// A fresh folder under the system's temporary folder, named KELVANE_HOME
// for its lifetime.
class ScopedHome {
 public:
  ScopedHome() {
    static int serial = 0;
    char temp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "kelvane-files-" + std::to_string(::GetCurrentProcessId()) +
            "-" + std::to_string(++serial);
    std::filesystem::remove_all(path_);
    EXPECT_TRUE(::CreateDirectoryA(path_.c_str(), nullptr));
    _putenv_s("KELVANE_HOME", path_.c_str());
  }
  ~ScopedHome() {
    _putenv_s("KELVANE_HOME", "");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  return names;
}

HANDLE Open(const std::string& path, ShareMode share, Access access = Access::ReadWrite,
            Disposition disposition = Disposition::OpenExisting) {
  return plat::OpenFile(path, access, share, disposition);
}

std::string EnvironmentValue(const char* name) {
  char value[MAX_PATH * 2];
  const W32_DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

// Starts this program again, running only the current test, with this
// process's environment.
bool StartThisTest(PROCESS_INFORMATION* child) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  char self[MAX_PATH];
  if (::GetModuleFileNameA(nullptr, self, MAX_PATH) == 0) return false;
  std::string command = std::string("\"") + self + "\" --gtest_filter=" +
                        test->test_suite_name() + "." + test->name();
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  return ::CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, child);
}

// Waits for a child started by StartThisTest; the bound only keeps a broken
// child from hanging the suite.
W32_DWORD ExitCodeOf(PROCESS_INFORMATION& child) {
  W32_DWORD code = 1;
  ::WaitForSingleObject(child.hProcess, 60000);
  ::GetExitCodeProcess(child.hProcess, &code);
  ::CloseHandle(child.hProcess);
  ::CloseHandle(child.hThread);
  return code;
}

TEST(FileSharing, ShareModesDecideWhoElseMayOpen) {
  ScopedHome home;
  const std::string path = home.File("queue.txt");
  WriteBytes(path, "record\n");

  HANDLE a = Open(path, ShareMode::ReadWrite);
  HANDLE b = Open(path, ShareMode::ReadWrite, Access::Read);
  EXPECT_NE(a, INVALID_HANDLE_VALUE);
  EXPECT_NE(b, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(path, ShareMode::None), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);
  plat::CloseHandle(a);
  plat::CloseHandle(b);

  HANDLE held = Open(path, ShareMode::None);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(path, ShareMode::ReadWrite, Access::Read), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(plat::ClassifyError(plat::GetLastError()), ErrorClass::SharingViolation);
  // A refused create-always must not have emptied the holder's file.
  EXPECT_EQ(Open(path, ShareMode::None, Access::Write, Disposition::CreateAlways),
            INVALID_HANDLE_VALUE);
  EXPECT_FALSE(plat::DeleteFile(path));
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);
  plat::CloseHandle(held);
  EXPECT_EQ(ReadBytes(path), "record\n");
  EXPECT_TRUE(plat::DeleteFile(path));
  EXPECT_FALSE(std::filesystem::exists(path));
}

// The retried open keeps asking while the holder works and gets the file
// the moment it lets go. The clock stands still, so only the release can
// end the wait.
TEST(FileSharing, RetriedOpenGetsTheFileOnceTheHolderCloses) {
  ScopedHome home;
  plat::ScopedFakeClock clock(1000, 0);
  const std::string path = home.File("queue.txt");
  WriteBytes(path, "x");
  HANDLE holder = Open(path, ShareMode::None);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);

  std::atomic<int> attempts{0};
  std::atomic<bool> done{false};
  plat::SetFileFaultHook([&](plat::FileFault point, const std::string&) {
    if (point == plat::FileFault::OpenForWriting) ++attempts;
    return 0;
  });
  std::thread releaser([&] {
    while (attempts.load() < 3 && !done.load()) std::this_thread::yield();
    plat::CloseHandle(holder);
  });
  HANDLE h = plat::OpenWithRetry(path, Access::ReadWrite, ShareMode::None,
                                 Disposition::OpenExisting);
  done = true;
  releaser.join();
  plat::SetFileFaultHook(nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_GE(attempts.load(), 3);
  plat::CloseHandle(h);
}

// The driver and the spooler are separate processes: the system must refuse
// our opens while another process holds the file with no sharing, and let
// the retried open in once it closes. This program, started again with
// KELVANE_HOLD_FILE set, is that other process.
TEST(FileSharing, AnotherProcessHoldingTheFileRefusesUsUntilItCloses) {
  const std::string held = EnvironmentValue("KELVANE_HOLD_FILE");
  if (!held.empty()) {
    W32_HANDLE holding = ::OpenEventA(EVENT_MODIFY_STATE, FALSE,
                                      EnvironmentValue("KELVANE_HOLD_EVENT").c_str());
    W32_HANDLE release = ::OpenEventA(SYNCHRONIZE, FALSE,
                                      EnvironmentValue("KELVANE_RELEASE_EVENT").c_str());
    ASSERT_TRUE(holding && release);
    HANDLE h = Open(held, ShareMode::None);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ::SetEvent(holding);
    ::WaitForSingleObject(release, 60000);
    plat::CloseHandle(h);
    return;
  }

  ScopedHome home;
  const std::string path = home.File("queue.txt");
  WriteBytes(path, "record\n");
  const std::string tag = std::to_string(::GetCurrentProcessId());
  const std::string holdName = "kelvane-files-held-" + tag;
  const std::string releaseName = "kelvane-files-release-" + tag;
  W32_HANDLE holding = ::CreateEventA(nullptr, TRUE, FALSE, holdName.c_str());
  W32_HANDLE release = ::CreateEventA(nullptr, TRUE, FALSE, releaseName.c_str());
  ASSERT_TRUE(holding && release);

  ::SetEnvironmentVariableA("KELVANE_HOLD_FILE", path.c_str());
  ::SetEnvironmentVariableA("KELVANE_HOLD_EVENT", holdName.c_str());
  ::SetEnvironmentVariableA("KELVANE_RELEASE_EVENT", releaseName.c_str());
  PROCESS_INFORMATION child{};
  const bool started = StartThisTest(&child);
  ::SetEnvironmentVariableA("KELVANE_HOLD_FILE", nullptr);
  ASSERT_TRUE(started);
  // The bound only keeps a broken child from hanging the suite.
  ASSERT_EQ(::WaitForSingleObject(holding, 60000), WAIT_OBJECT_0);

  EXPECT_EQ(Open(path, ShareMode::ReadWrite, Access::Read), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);
  {
    // The clock stands still: only the child's close ends the wait.
    plat::ScopedFakeClock clock(1000, 0);
    ::SetEvent(release);
    HANDLE h = plat::OpenWithRetry(path, Access::ReadWrite, ShareMode::None,
                                   Disposition::OpenExisting);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    plat::CloseHandle(h);
  }
  EXPECT_EQ(ExitCodeOf(child), 0u);
  ::CloseHandle(holding);
  ::CloseHandle(release);
  EXPECT_EQ(ReadBytes(path), "record\n");
}

TEST(Files, ReadWriteSizeAndWhatIsNotAFile) {
  ScopedHome home;
  const std::string path = home.File("job.prn");
  HANDLE h = Open(path, ShareMode::None, Access::ReadWrite, Disposition::CreateAlways);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  EXPECT_TRUE(plat::WriteFile(h, "hello", 5, &n));
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(plat::GetFileSize(h), 5u);
  plat::CloseHandle(h);

  h = Open(path, ShareMode::ReadWrite, Access::Read);
  std::string text;
  EXPECT_TRUE(plat::ReadAllFromHandle(h, text));
  EXPECT_EQ(text, "hello");
  EXPECT_TRUE(plat::CloseHandle(h));
  EXPECT_FALSE(plat::ReadFile(h, &text[0], 1, &n));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(plat::CloseHandle(h));

  EXPECT_EQ(Open(home.File("missing"), ShareMode::None), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), plat::kErrorNotFound);
  EXPECT_EQ(Open(home.path(), ShareMode::None), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::ClassifyError(plat::GetLastError()), ErrorClass::Fatal);
  EXPECT_EQ(Open("NUL", ShareMode::ReadWrite, Access::Write), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::ClassifyError(plat::GetLastError()), ErrorClass::Fatal);
}

TEST(ReplaceFileContents, RewritesTheHeldFileWholeAndKeepsTheHold) {
  ScopedHome home;
  const std::string path = home.File("queue.txt");
  WriteBytes(path, "first record\nsecond record\n");
  HANDLE h = Open(path, ShareMode::None);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  const std::string shorter = "second record\n";
  EXPECT_TRUE(plat::ReplaceFileContents(h, path, shorter.data(), shorter.size()));
  EXPECT_EQ(plat::GetFileSize(h), shorter.size());
  EXPECT_EQ(Open(path, ShareMode::ReadWrite, Access::Read), INVALID_HANDLE_VALUE);
  const std::string longer(100000, 'z');
  EXPECT_TRUE(plat::ReplaceFileContents(h, path, longer.data(), longer.size()));
  // The handle reads on from where it stood before the rewrite.
  char head[4] = {};
  DWORD n = 0;
  EXPECT_TRUE(plat::ReadFile(h, head, 3, &n));
  EXPECT_TRUE(plat::ReplaceFileContents(h, path, "abcdef", 6));
  EXPECT_TRUE(plat::ReadFile(h, head, 3, &n));
  EXPECT_EQ(std::string(head, n), "def");
  EXPECT_TRUE(plat::ReplaceFileContents(h, path, longer.data(), longer.size()));

  WriteBytes(home.File("other.txt"), "other");
  EXPECT_FALSE(plat::ReplaceFileContents(h, home.File("other.txt"), "x", 1));
  EXPECT_EQ(plat::GetLastError(), plat::kErrorInvalidParameter);
  plat::CloseHandle(h);
  EXPECT_EQ(ReadBytes(path), longer);
  EXPECT_EQ(ReadBytes(home.File("other.txt")), "other");

  h = Open(path, ShareMode::ReadWrite);
  EXPECT_FALSE(plat::ReplaceFileContents(h, path, "x", 1));
  plat::CloseHandle(h);

  EXPECT_TRUE(plat::UpdateFileContents(path, Disposition::OpenExisting,
                                       [](const std::string& text, std::string& updated) {
                                         updated = "edited " + std::to_string(text.size());
                                         return true;
                                       }));
  EXPECT_EQ(ReadBytes(path), "edited 100000");
}

// A held file cannot be renamed over here: the whole replacement says so
// and leaves the file alone, and the holder edits it in place, one system
// call a step, inside the file, the handle's position kept.
TEST(HeldFileEdits, NoWholeReplacementButEditsInsideTheHeldFile) {
  ScopedHome home;
  const std::string path = home.File("queue.txt");
  WriteBytes(path, "0123456789");
  HANDLE h = Open(path, ShareMode::None);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::ReplaceFileWhole(h, path, "abc", 3), plat::WholeReplacement::NoNewFile);
  EXPECT_EQ(plat::ReplaceFileWhole(h, home.File("other.txt"), "abc", 3),
            plat::WholeReplacement::Failed);

  plat::SetFileFaultHook([](plat::FileFault point, const std::string&) {
    return point == plat::FileFault::RewriteInPlace ? ERROR_WRITE_PROTECT : 0;
  });
  EXPECT_FALSE(plat::OverwriteHeldRange(h, 3, "\n\n", 2));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
  std::vector<plat::FileFault> steps;
  plat::SetFileFaultHook([&](plat::FileFault point, const std::string& at) {
    if (at == path) steps.push_back(point);
    return 0;
  });
  char read[2];
  DWORD got = 0;
  ASSERT_TRUE(plat::ReadFile(h, read, 2, &got));
  EXPECT_TRUE(plat::OverwriteHeldRange(h, 3, "\n\n", 2));
  EXPECT_FALSE(plat::OverwriteHeldRange(h, 9, "xy", 2));  // would pass the end
  EXPECT_FALSE(plat::TruncateHeldFile(h, 11));           // would grow the file
  EXPECT_TRUE(plat::TruncateHeldFile(h, 4));
  plat::SetFileFaultHook(nullptr);
  using FF = plat::FileFault;
  EXPECT_EQ(steps, (std::vector<FF>{FF::RewriteInPlace, FF::SyncInPlace, FF::TruncateInPlace,
                                    FF::SyncInPlace}));
  ASSERT_TRUE(plat::ReadFile(h, read, 2, &got));  // from where the handle stood
  EXPECT_EQ(std::string(read, got), "2\n");
  plat::CloseHandle(h);
  EXPECT_EQ(ReadBytes(path), "012\n");

  for (auto [share, access] : {std::pair{ShareMode::ReadWrite, Access::ReadWrite},
                               std::pair{ShareMode::None, Access::Read}}) {
    HANDLE other = Open(path, share, access);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(plat::OverwriteHeldRange(other, 0, "x", 1));
    EXPECT_FALSE(plat::TruncateHeldFile(other, 0));
    plat::CloseHandle(other);
  }
  EXPECT_EQ(ReadBytes(path), "012\n");
}

TEST(WriteFileAtomically, MovesAWholeNewFileOverTheOldAndLeavesNothingBeside) {
  ScopedHome home;
  const std::string path = home.File("settings.ini");
  EXPECT_TRUE(plat::WriteFileAtomically(path, "a long first version"));
  EXPECT_TRUE(plat::WriteFileAtomically(path, "v2"));
  EXPECT_EQ(ReadBytes(path), "v2");

  HANDLE held = Open(path, ShareMode::None);
  EXPECT_FALSE(plat::WriteFileAtomically(path, "v3"));
  plat::CloseHandle(held);
  EXPECT_EQ(ReadBytes(path), "v2");
  EXPECT_EQ(NamesIn(home.path()), std::vector<std::string>{"settings.ini"});
}

TEST(Errors, Win32CodesSortIntoTheirClasses) {
  plat::SetLastError(ERROR_LOCK_VIOLATION);
  EXPECT_EQ(::GetLastError(), static_cast<W32_DWORD>(ERROR_LOCK_VIOLATION));
  EXPECT_EQ(plat::ClassifyError(0), ErrorClass::None);
  for (DWORD e : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND})
    EXPECT_EQ(plat::ClassifyError(e), ErrorClass::NotFound) << e;
  for (DWORD e : {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_BUSY})
    EXPECT_EQ(plat::ClassifyError(e), ErrorClass::SharingViolation) << e;
  for (DWORD e : {ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY, ERROR_NO_SYSTEM_RESOURCES,
                  ERROR_OPERATION_ABORTED})
    EXPECT_EQ(plat::ClassifyError(e), ErrorClass::Transient) << e;
  for (DWORD e : std::initializer_list<DWORD>{ERROR_NOT_READY, ERROR_OUT_OF_PAPER,
                                              ERROR_WRITE_FAULT, ERROR_SEM_TIMEOUT,
                                              WAIT_TIMEOUT, plat::kErrorTimedOut})
    EXPECT_EQ(plat::ClassifyError(e), ErrorClass::PrinterState) << e;
  for (DWORD e : std::initializer_list<DWORD>{ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
                                              ERROR_BAD_FILE_TYPE, plat::kErrorInvalidParameter,
                                              plat::kErrorInsufficientBuffer})
    EXPECT_EQ(plat::ClassifyError(e), ErrorClass::Fatal) << e;
  EXPECT_TRUE(plat::IsAccessDenied(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(plat::IsAccessDenied(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(plat::IsAccessDenied(0));
}

TEST(Home, NestedFoldersAndTheRunFolderUnderTheHome) {
  ScopedHome home;
  EXPECT_EQ(plat::KelvaneHome(), home.path());
  const std::string nested = home.path() + "\\a/b\\c";
  EXPECT_TRUE(plat::MakeDirectories(nested));
  EXPECT_TRUE(std::filesystem::is_directory(nested));
  EXPECT_TRUE(plat::MakeDirectories(nested));  // already there
  WriteBytes(home.File("plain"), "");
  EXPECT_FALSE(plat::MakeDirectories(home.File("plain\\sub")));
  EXPECT_EQ(plat::RunDirectory(), home.path() + "\\run");
  EXPECT_TRUE(std::filesystem::is_directory(home.File("run")));
  // A home given with '/' is one path of the system's own form below it.
  std::string forward = home.path();
  for (char& c : forward)
    if (c == '\\') c = '/';
  _putenv_s("KELVANE_HOME", forward.c_str());
  EXPECT_EQ(plat::KelvaneHome(), home.path());
  EXPECT_EQ(plat::ProfilePath(), home.path() + "\\win.ini");

  _putenv_s("KELVANE_HOME", "");
  const char* appData = std::getenv("APPDATA");
  ASSERT_NE(appData, nullptr);
  EXPECT_EQ(plat::KelvaneHome(), std::string(appData) + "\\Kelvane");
}

TEST(Paths, AbsoluteFormsAndFolders) {
  for (const char* path : {"C:\\spool\\q.txt", "c:/spool/q.txt", "\\\\server\\share\\q"})
    EXPECT_TRUE(plat::IsAbsolutePath(path)) << path;
  for (const char* path : {"", "q.txt", "spool\\q.txt", "C:q.txt", "\\spool\\q.txt", "C:"})
    EXPECT_FALSE(plat::IsAbsolutePath(path)) << path;
  EXPECT_EQ(plat::DirectoryOf("C:\\spool\\q.txt"), "C:\\spool");
  EXPECT_EQ(plat::DirectoryOf("C:/spool/q.txt"), "C:/spool");
  EXPECT_EQ(plat::DirectoryOf("C:\\q.txt"), "C:\\");
  EXPECT_EQ(plat::DirectoryOf("q.txt"), ".");
  // What we join reads as the system writes it, whichever separator the
  // part below was given with.
  EXPECT_EQ(plat::JoinPath("C:\\k", "run/spooler.log"), "C:\\k\\run\\spooler.log");
  EXPECT_EQ(plat::JoinPath("C:\\", "spool"), "C:\\spool");
  EXPECT_EQ(plat::JoinPath("C:/k/", "q.txt"), "C:/k/q.txt");
  EXPECT_TRUE(plat::CheckFileTrust("C:\\spool\\q.txt", nullptr));
  plat::TrustProblem problem;
  EXPECT_FALSE(plat::CheckFileTrust("", &problem));
}

void SetLastWriteTime(const std::string& path, std::time_t when) {
  W32_HANDLE h = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, w32::InvalidHandle());
  const unsigned long long ticks =
      static_cast<unsigned long long>(when) * 10000000ull + 116444736000000000ull;
  FILETIME time{static_cast<W32_DWORD>(ticks), static_cast<W32_DWORD>(ticks >> 32)};
  EXPECT_TRUE(::SetFileTime(h, nullptr, nullptr, &time));
  ::CloseHandle(h);
}

TEST(Leftovers, RemovesOldTemporariesAndSpoolFilesOfDeadDrivers) {
  ScopedHome home;
  const std::time_t start = std::time(nullptr);
  const std::string spool = home.File("spool");
  ASSERT_TRUE(plat::MakeDirectories(spool));
  const std::string queue = home.File("queue.txt");
  const std::string pid = std::to_string(::GetCurrentProcessId());
  const std::vector<std::string> removable = {
      queue + ".tmpab12cd", spool + "\\~tm1A2B.tmp", spool + "\\KLV~abc123.part999999996"};
  const std::vector<std::string> kept = {
      queue, queue + ".tmpnew123", spool + "\\~tmXYZ.tmp", spool + "\\KLV~abc123.part" + pid,
      spool + "\\KLV~abc123.prn"};
  for (const auto& path : removable) WriteBytes(path, "x");
  for (const auto& path : kept) WriteBytes(path, "x");
  for (const auto& path : {removable[0], removable[1], kept[2], kept[3]})
    SetLastWriteTime(path, start - 3600);

  const plat::LeftoversRemoved removed = plat::RemoveLeftovers(queue, start, "");
  EXPECT_EQ(removed.temporaries, 3);
  EXPECT_EQ(removed.sockets + removed.portLocks, 0);
  for (const auto& path : removable) EXPECT_FALSE(std::filesystem::exists(path)) << path;
  for (const auto& path : kept) EXPECT_TRUE(std::filesystem::exists(path)) << path;
}

// The offset is read once per process, so it is checked in a second copy of
// this program started with the variable set.
TEST(RealClock, FollowsTheSystemTickCountShiftedByTheOffset) {
  if (EnvironmentValue("KELVANE_CLOCK_CHILD") == "1") {
    const DWORD raw = static_cast<DWORD>(::GetTickCount());
    const DWORD shifted = plat::RealClock().Now();
    // -5000 wraps to 0xFFFFEC78: the clock reads 5 s behind the system's.
    EXPECT_LT((raw - 5000u) - shifted + 50u, 100u);
    return;
  }
  const DWORD before = static_cast<DWORD>(::GetTickCount());
  const DWORD now = plat::RealClock().Now();
  EXPECT_LT(now - before, 1000u);  // no offset unless asked for
  ::SetEnvironmentVariableA("KELVANE_CLOCK_CHILD", "1");
  ::SetEnvironmentVariableA("KELVANE_TICK_OFFSET", "-5000");
  PROCESS_INFORMATION child{};
  const bool started = StartThisTest(&child);
  ::SetEnvironmentVariableA("KELVANE_CLOCK_CHILD", nullptr);
  ::SetEnvironmentVariableA("KELVANE_TICK_OFFSET", nullptr);
  ASSERT_TRUE(started);
  EXPECT_EQ(ExitCodeOf(child), 0u);
}

TEST(Threads, RaisedPriorityIsOneStepAboveNormal) {
  int priority = 0;
  std::thread([&] {
    plat::RaiseCurrentThreadPriority();
    priority = ::GetThreadPriority(::GetCurrentThread());
  }).join();
  EXPECT_EQ(priority, THREAD_PRIORITY_ABOVE_NORMAL);
}

}  // namespace
