// Files and handles: the sharing rules within one process and between
// processes, atomic replacement, refusal of non-regular files, the handle
// table under a concurrent close, the run directory, and the small sinks of
// the platform base (message box button sets, dropped window posts).
// Test thread, forked children and one helper thread.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/files_test_support.h"
#include "platform/home.h"
#include "platform/message_box.h"
#include "platform/posix/descriptor_io.h"
#include "platform/window_messages.h"
#include "tests/support/test_support.h"

namespace {

using plat::Access;
using plat::Disposition;
using plat::ShareMode;

HANDLE Open(const std::string& path, ShareMode share,
            Disposition d = Disposition::OpenExisting,
            Access a = Access::ReadWrite) {
  return plat::OpenFile(path, a, share, d);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

// Runs `fn` in a child process that holds `path` opened with `share` until
// the parent writes to the pipe; returns once the child holds it.
struct Holder {
  pid_t pid = -1;
  int release = -1;
  Holder(const std::string& path, ShareMode share) {
    int ready[2], go[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(go), 0);
    pid = fork();
    if (pid == 0) {
      HANDLE h = Open(path, share);
      char c = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
      (void)!write(ready[1], &c, 1);
      (void)!read(go[0], &c, 1);
      _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    close(ready[0]);
    release = go[1];
  }
  ~Holder() {
    char c = 'x';
    (void)!write(release, &c, 1);
    close(release);
    int status = 0;
    waitpid(pid, &status, 0);
  }
};

TEST(FileSharing, WithinOneProcess) {
  kt::TempHome home;
  const std::string path = home.File("q.txt");
  kt::WriteFileBytes(path, "abc");

  HANDLE excl = Open(path, ShareMode::None);
  ASSERT_NE(excl, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(path, ShareMode::None), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);
  EXPECT_EQ(Open(path, ShareMode::ReadWrite), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);
  EXPECT_TRUE(plat::CloseHandle(excl));

  HANDLE a = Open(path, ShareMode::ReadWrite);
  HANDLE b = Open(path, ShareMode::ReadWrite);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  EXPECT_NE(a, b);
  EXPECT_EQ(Open(path, ShareMode::None), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);
  plat::CloseHandle(a);
  EXPECT_EQ(Open(path, ShareMode::None), INVALID_HANDLE_VALUE);
  plat::CloseHandle(b);
  HANDLE again = Open(path, ShareMode::None);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  plat::CloseHandle(again);
}

TEST(FileSharing, BetweenProcesses) {
  kt::TempHome home;
  const std::string path = home.File("q.txt");
  kt::WriteFileBytes(path, "abc");
  {
    Holder child(path, ShareMode::None);
    EXPECT_EQ(Open(path, ShareMode::None), INVALID_HANDLE_VALUE);
    EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);
    EXPECT_EQ(Open(path, ShareMode::ReadWrite), INVALID_HANDLE_VALUE);
  }
  {
    Holder child(path, ShareMode::ReadWrite);
    EXPECT_EQ(Open(path, ShareMode::None), INVALID_HANDLE_VALUE);
    HANDLE shared = Open(path, ShareMode::ReadWrite);
    EXPECT_NE(shared, INVALID_HANDLE_VALUE);
    plat::CloseHandle(shared);
  }
  HANDLE h = Open(path, ShareMode::None);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  plat::CloseHandle(h);
}

TEST(FileSharing, RefusedCreateAlwaysLeavesTheContents) {
  kt::TempHome home;
  const std::string path = home.File("spool.bin");
  kt::WriteFileBytes(path, "keep me");
  HANDLE holder = Open(path, ShareMode::None);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(path, ShareMode::None, Disposition::CreateAlways),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(kt::ReadFileBytes(path), "keep me");
  plat::CloseHandle(holder);
  HANDLE h = Open(path, ShareMode::None, Disposition::CreateAlways);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetFileSize(h), 0u);
  plat::CloseHandle(h);
}

TEST(FileSharing, DeleteRefusesAFileSomeoneHolds) {
  kt::TempHome home;
  const std::string path = home.File("spool.bin");
  kt::WriteFileBytes(path, "x");
  HANDLE h = Open(path, ShareMode::ReadWrite);
  EXPECT_FALSE(plat::DeleteFile(path));
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);
  EXPECT_TRUE(kt::FileExists(path));
  plat::CloseHandle(h);
  EXPECT_TRUE(plat::DeleteFile(path));
  EXPECT_FALSE(kt::FileExists(path));
  EXPECT_FALSE(plat::DeleteFile(path));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ENOENT));
}

TEST(Files, ReadWriteSizeAndNewFileMode) {
  kt::TempHome home;
  const std::string path = home.File("new.bin");
  HANDLE h = Open(path, ShareMode::None, Disposition::OpenAlways);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ModeOf(path) & 0022, 0u);  // never writable by others
  std::string data(100000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  DWORD n = 0;
  ASSERT_TRUE(plat::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n));
  EXPECT_EQ(n, data.size());
  EXPECT_EQ(plat::GetFileSize(h), data.size());
  plat::CloseHandle(h);

  h = Open(path, ShareMode::ReadWrite, Disposition::OpenExisting, Access::Read);
  std::string back(data.size() + 10, 'z');
  ASSERT_TRUE(plat::ReadFile(h, back.data(), static_cast<DWORD>(back.size()), &n));
  EXPECT_EQ(n, data.size());  // short read at the end is a success
  back.resize(n);
  EXPECT_EQ(back, data);
  ASSERT_TRUE(plat::ReadFile(h, back.data(), 10, &n));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(plat::WriteFile(h, "x", 1, &n));  // opened for reading only
  plat::CloseHandle(h);
}

TEST(Files, RefusesDirectoriesDevicesAndFifos) {
  kt::TempHome home;
  EXPECT_EQ(Open(home.path(), ShareMode::ReadWrite, Disposition::OpenExisting,
                 Access::Read),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(EISDIR));
  EXPECT_EQ(Open("/dev/null", ShareMode::ReadWrite), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ENODEV));
  const std::string fifo = home.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Must not hang waiting for a writer.
  EXPECT_EQ(Open(fifo, ShareMode::ReadWrite, Disposition::OpenExisting,
                 Access::Read),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ENODEV));
  EXPECT_EQ(Open(home.File("missing"), ShareMode::ReadWrite), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ENOENT));
}

TEST(Files, StaleAndInvalidHandlesFailCleanly) {
  kt::TempHome home;
  const std::string path = home.File("a");
  kt::WriteFileBytes(path, "a");
  HANDLE h = Open(path, ShareMode::ReadWrite);
  ASSERT_TRUE(plat::CloseHandle(h));
  EXPECT_FALSE(plat::CloseHandle(h));
  char c;
  DWORD n = 99;
  EXPECT_FALSE(plat::ReadFile(h, &c, 1, &n));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(plat::ReadFile(INVALID_HANDLE_VALUE, &c, 1, &n));
  EXPECT_EQ(plat::GetFileSize(h), plat::INVALID_FILE_SIZE);
  // A new open never gets the number of the closed one back.
  HANDLE h2 = Open(path, ShareMode::ReadWrite);
  EXPECT_NE(h2, h);
  plat::CloseHandle(h2);
}

// A backslash is part of a name here, not a folder's end.
TEST(Files, DirectoryOfSplitsAtTheLastSlashOnly) {
  EXPECT_EQ(plat::DirectoryOf("/spool/q.txt"), "/spool");
  EXPECT_EQ(plat::DirectoryOf("/q.txt"), "/");
  EXPECT_EQ(plat::DirectoryOf("q.txt"), ".");
  EXPECT_EQ(plat::DirectoryOf("/spool/a\\b"), "/spool");
  EXPECT_EQ(plat::DirectoryOf("a\\b"), ".");
  EXPECT_EQ(plat::JoinPath("/home/k", "run/spooler.log"), "/home/k/run/spooler.log");
  EXPECT_EQ(plat::JoinPath("/", "spool"), "/spool");
  EXPECT_EQ(plat::JoinPath("", "q.txt"), "q.txt");
}

TEST(ReplaceFileContents, KeepsModeAndSwapsWholeFile) {
  kt::TempHome home;
  const std::string path = home.File("win.ini");
  kt::WriteFileBytes(path, "old contents that are longer");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  HANDLE h = Open(path, ShareMode::None);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::string fresh = "new";
  ASSERT_TRUE(plat::ReplaceFileContents(h, path, fresh.data(), fresh.size()));
  EXPECT_EQ(kt::ReadFileBytes(path), "new");
  EXPECT_EQ(ModeOf(path), 0640u);
  // Still held with no sharing after the swap: nobody slips in before close.
  EXPECT_EQ(Open(path, ShareMode::ReadWrite), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetFileSize(h), 3u);
  plat::CloseHandle(h);
  // No temporary file is left beside it.
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(home.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(ReplaceFileContents, RefusesASharedHandleOrAnotherPath) {
  kt::TempHome home;
  const std::string path = home.File("a");
  const std::string other = home.File("b");
  kt::WriteFileBytes(path, "a");
  kt::WriteFileBytes(other, "b");
  HANDLE shared = Open(path, ShareMode::ReadWrite);
  EXPECT_FALSE(plat::ReplaceFileContents(shared, path, "x", 1));
  plat::CloseHandle(shared);
  HANDLE h = Open(path, ShareMode::None);
  EXPECT_FALSE(plat::ReplaceFileContents(h, other, "x", 1));
  plat::CloseHandle(h);
  EXPECT_EQ(kt::ReadFileBytes(path), "a");
  EXPECT_EQ(kt::ReadFileBytes(other), "b");
}

// Fails one step of the files layer with `error` while it lives.
struct ScopedFault {
  ScopedFault(plat::FileFault at, int error) {
    plat::SetFileFaultHook([at, error](plat::FileFault point, const std::string&) {
      return point == at ? error : 0;
    });
  }
  ~ScopedFault() { plat::SetFileFaultHook(nullptr); }
};

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return st.st_ino;
}

// No temporary can be made beside the file (a folder we may not write, a
// full disk): what is no longer than the file is written in place through a
// writable handle; anything else stays refused and the file as it was.
TEST(ReplaceFileContents, FallsBackToAnInPlaceRewriteOnlyWhereThatIsSafe) {
  kt::TempHome home;
  const std::string path = home.File("queue.txt");
  kt::WriteFileBytes(path, "0123456789");
  const ino_t inode = InodeOf(path);
  HANDLE h = Open(path, ShareMode::None);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  {
    ScopedFault fault(plat::FileFault::CreateTemporary, EACCES);
    ASSERT_TRUE(plat::ReplaceFileContents(h, path, "abc", 3));
    EXPECT_EQ(kt::ReadFileBytes(path), "abc");
    EXPECT_EQ(InodeOf(path), inode);
    EXPECT_EQ(plat::GetFileSize(h), 3u);
    // Longer contents would need room the disk may not have.
    EXPECT_FALSE(plat::ReplaceFileContents(h, path, "abcdefgh", 8));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(EACCES));
    EXPECT_EQ(kt::ReadFileBytes(path), "abc");
  }
  {
    // A failure that is not about room keeps the atomic rule.
    ScopedFault fault(plat::FileFault::WriteTemporary, EIO);
    EXPECT_FALSE(plat::ReplaceFileContents(h, path, "a", 1));
    EXPECT_EQ(kt::ReadFileBytes(path), "abc");
  }
  plat::CloseHandle(h);

  // A handle opened for reading never writes.
  HANDLE reader = Open(path, ShareMode::None, Disposition::OpenExisting, Access::Read);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  {
    ScopedFault fault(plat::FileFault::WriteTemporary, ENOSPC);
    EXPECT_FALSE(plat::ReplaceFileContents(reader, path, "a", 1));
  }
  plat::CloseHandle(reader);
  EXPECT_EQ(kt::ReadFileBytes(path), "abc");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path()),
                          std::filesystem::directory_iterator()),
            1);
}

// What a holder that must survive a kill at any instant is given: a whole
// replacement that never falls back but says when only an edit in place is
// left, and edits in place that stay inside the file, leave the handle's
// position alone and need a writable handle held with no sharing.
TEST(HeldFileEdits, ReplaceWholeOrEditInsideTheFile) {
  kt::TempHome home;
  const std::string path = home.File("queue.txt");
  kt::WriteFileBytes(path, "0123456789");
  HANDLE h = Open(path, ShareMode::None);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  {
    ScopedFault fault(plat::FileFault::CreateTemporary, EACCES);
    EXPECT_EQ(plat::ReplaceFileWhole(h, path, "abc", 3), plat::WholeReplacement::NoNewFile);
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(EACCES));
  }
  {
    ScopedFault fault(plat::FileFault::RenameOver, EIO);
    EXPECT_EQ(plat::ReplaceFileWhole(h, path, "abc", 3), plat::WholeReplacement::Failed);
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(EIO));
  }
  EXPECT_EQ(kt::ReadFileBytes(path), "0123456789");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path()),
                          std::filesystem::directory_iterator()),
            1);  // no temporary left behind

  char read[2];
  DWORD got = 0;
  ASSERT_TRUE(plat::ReadFile(h, read, 2, &got));
  EXPECT_TRUE(plat::OverwriteHeldRange(h, 3, "\n\n", 2));
  EXPECT_FALSE(plat::OverwriteHeldRange(h, 9, "xy", 2));  // would pass the end
  EXPECT_FALSE(plat::TruncateHeldFile(h, 11));           // would grow the file
  EXPECT_EQ(kt::ReadFileBytes(path), "012\n\n56789");
  EXPECT_TRUE(plat::TruncateHeldFile(h, 4));
  EXPECT_EQ(kt::ReadFileBytes(path), "012\n");
  ASSERT_TRUE(plat::ReadFile(h, read, 2, &got));  // from where the handle stood
  EXPECT_EQ(std::string(read, got), "2\n");

  EXPECT_EQ(plat::ReplaceFileWhole(h, path, "new!", 4), plat::WholeReplacement::Replaced);
  EXPECT_EQ(kt::ReadFileBytes(path), "new!");
  plat::CloseHandle(h);

  for (auto [share, access] : {std::pair{ShareMode::ReadWrite, Access::ReadWrite},
                               std::pair{ShareMode::None, Access::Read}}) {
    HANDLE other = Open(path, share, Disposition::OpenExisting, access);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(plat::OverwriteHeldRange(other, 0, "x", 1));
    EXPECT_FALSE(plat::TruncateHeldFile(other, 0));
    plat::CloseHandle(other);
  }
  EXPECT_EQ(kt::ReadFileBytes(path), "new!");
}

// A link is followed, not replaced: the file it names gets the contents,
// in its own folder, and the link stays.
TEST(ReplaceFileContents, ReplacesTheFileALinkNamesAndKeepsTheLink) {
  kt::TempHome home;
  const std::string dir = home.File("real");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string target = dir + "/settings";
  const std::string link = home.File("link");
  kt::WriteFileBytes(target, "old");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  HANDLE h = Open(link, ShareMode::None);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(plat::ReplaceFileContents(h, link, "new", 3));
  plat::CloseHandle(h);
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(kt::ReadFileBytes(target), "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                          std::filesystem::directory_iterator()),
            1);
}

// ------------------------------------------------------- handle copy

std::string Pattern(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<char>((i * 131u + seed) ^ (i >> 9));
  return data;
}

TEST(CopyHandleToDescriptor, CopiesFromBothPositionsToTheEnd) {
  kt::TempHome home;
  const std::string from = home.File("from");
  const std::string to = home.File("to");
  // Larger than one chunk of the copy, and not a whole number of pages.
  const std::string data = Pattern((9u << 20) + 4097, 7);
  kt::WriteFileBytes(from, data);
  HANDLE in = Open(from, ShareMode::ReadWrite, Disposition::OpenExisting, Access::Read);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  char head[10];
  DWORD got = 0;
  ASSERT_TRUE(plat::ReadFile(in, head, sizeof head, &got));
  const int out = ::open(to.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  ASSERT_EQ(::write(out, "PREFIX", 6), 6);

  std::uint64_t copied = 0;
  ASSERT_TRUE(plat::CopyHandleToDescriptor(in, out, &copied));
  EXPECT_EQ(copied, data.size() - sizeof head);
  EXPECT_EQ(::lseek(out, 0, SEEK_CUR), static_cast<off_t>(6 + data.size() - sizeof head));
  // The handle is at the end: a further read finds nothing.
  EXPECT_TRUE(plat::ReadFile(in, head, sizeof head, &got));
  EXPECT_EQ(got, 0u);
  ::close(out);
  plat::CloseHandle(in);
  EXPECT_TRUE(kt::ReadFileBytes(to) == "PREFIX" + data.substr(sizeof head));
}

TEST(CopyHandleToDescriptor, ADescriptorTheKernelCannotCopyToTakesTheBuffer) {
  kt::TempHome home;
  const std::string from = home.File("from");
  const std::string data = Pattern(300000, 3);
  kt::WriteFileBytes(from, data);
  HANDLE in = Open(from, ShareMode::ReadWrite, Disposition::OpenExisting, Access::Read);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  // A file opened for appending is refused by copy_file_range.
  const std::string to = home.File("log");
  kt::WriteFileBytes(to, "head:");
  const int out = ::open(to.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(out, 0);
  std::uint64_t copied = 0;
  EXPECT_TRUE(plat::CopyHandleToDescriptor(in, out, &copied));
  EXPECT_EQ(copied, data.size());
  ::close(out);
  plat::CloseHandle(in);
  EXPECT_TRUE(kt::ReadFileBytes(to) == "head:" + data);
}

TEST(CopyHandleToDescriptor, AFileThatDoesNotTellItsSizeIsReadAllTheSame) {
  // Files under /proc report a size of 0 and hold text all the same.
  const std::string path = "/proc/self/status";
  std::string expected;
  ASSERT_TRUE(plat::ReadWholeFile(path, expected));
  ASSERT_FALSE(expected.empty());
  kt::TempHome home;
  const std::string to = home.File("copy");
  HANDLE in = Open(path, ShareMode::ReadWrite, Disposition::OpenExisting, Access::Read);
  ASSERT_NE(in, INVALID_HANDLE_VALUE) << plat::GetLastError();
  const int out = ::open(to.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  EXPECT_TRUE(plat::CopyHandleToDescriptor(in, out));
  ::close(out);
  plat::CloseHandle(in);
  // The same process and nearly the same moment: the same fields, if not
  // every figure (the memory lines may move).
  const std::string copy = kt::ReadFileBytes(to);
  EXPECT_EQ(copy.substr(0, copy.find('\n')), expected.substr(0, expected.find('\n')));
  EXPECT_GT(copy.size(), expected.size() / 2);
}

TEST(CopyHandleToDescriptor, RefusesWhatIsNotAReadableFile) {
  kt::TempHome home;
  const std::string path = home.File("f");
  kt::WriteFileBytes(path, "abc");
  const int out = ::open(home.File("out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  HANDLE writeOnly = Open(path, ShareMode::ReadWrite, Disposition::OpenExisting, Access::Write);
  ASSERT_NE(writeOnly, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(plat::CopyHandleToDescriptor(writeOnly, out));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(EBADF));
  plat::CloseHandle(writeOnly);
  EXPECT_FALSE(plat::CopyHandleToDescriptor(writeOnly, out));  // closed by now
  EXPECT_FALSE(plat::CopyHandleToDescriptor(INVALID_HANDLE_VALUE, out));
  ::close(out);
  EXPECT_EQ(kt::ReadFileBytes(home.File("out")), "");
}

// A reader in another process sees the old file or the new one, whole.
TEST(ReplaceFileContents, ReadersNeverSeeAMixture) {
  kt::TempHome home;
  const std::string path = home.File("reg");
  const std::string a(20000, 'a'), b(30000, 'b');
  kt::WriteFileBytes(path, a);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    for (int i = 0; i < 200; ++i) {
      std::string got;
      if (!plat::ReadWholeFile(path, got)) _exit(2);
      if (got != a && got != b) _exit(1);
      // Leave the writer a gap now and then, as real readers do.
      if (i % 4 == 0) usleep(200);
    }
    _exit(0);
  }
  int replaced = 0;
  for (int i = 0; i < 20000 && replaced < 100; ++i) {
    HANDLE h = Open(path, ShareMode::None);
    if (h == INVALID_HANDLE_VALUE) {
      ASSERT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);
      continue;  // the reader holds it this instant
    }
    const std::string& next = (i % 2) ? a : b;
    EXPECT_TRUE(plat::ReplaceFileContents(h, path, next.data(), next.size()));
    plat::CloseHandle(h);
    ++replaced;
  }
  EXPECT_GT(replaced, 0);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class BlockingObject : public plat::HandleObject {
 public:
  std::atomic<bool> inRead{false};
  std::atomic<bool> closed{false};
  std::atomic<int> closeCalls{0};
  bool Read(void*, DWORD, DWORD* n) override {
    inRead = true;
    while (!closed) std::this_thread::yield();
    if (n) *n = 0;
    return false;
  }
  bool Write(const void*, DWORD, DWORD*) override { return false; }
  void Close() override {
    ++closeCalls;
    closed = true;
  }
};

TEST(HandleTable, CloseFromAnotherThreadEndsARunningRead) {
  auto object = std::make_shared<BlockingObject>();
  std::weak_ptr<BlockingObject> watch = object;
  HANDLE h = plat::RegisterHandle(object);
  object.reset();
  std::thread reader([h] {
    char c;
    DWORD n = 0;
    EXPECT_FALSE(plat::ReadFile(h, &c, 1, &n));
  });
  while (!watch.lock()->inRead) std::this_thread::yield();
  EXPECT_TRUE(plat::CloseHandle(h));
  reader.join();
  EXPECT_TRUE(watch.expired());  // freed once the read let go of it
  EXPECT_FALSE(plat::CloseHandle(h));
}

TEST(Home, RunDirectoryIsPrivate) {
  kt::TempHome home;
  const std::string run = plat::RunDirectory();
  ASSERT_EQ(run, home.path() + "/run");
  EXPECT_EQ(ModeOf(run), 0700u);
  ASSERT_EQ(chmod(run.c_str(), 0777), 0);
  EXPECT_EQ(plat::RunDirectory(), run);
  EXPECT_EQ(ModeOf(run), 0700u);
  EXPECT_TRUE(plat::MakeDirectories(home.File("a/b/c")));
  EXPECT_TRUE(kt::FileExists(home.File("a/b/c")));
}

TEST(Home, FallsBackToTheConfigDirectory) {
  kt::TempHome home;
  const char* xdg = getenv("XDG_CONFIG_HOME");
  std::string oldXdg = xdg ? xdg : "";
  unsetenv("KELVANE_HOME");
  setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  EXPECT_EQ(plat::KelvaneHome(), "/x/cfg/kelvane");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", getenv("HOME") ? getenv("HOME") : "/h", 1);
  EXPECT_EQ(plat::KelvaneHome(), std::string(getenv("HOME")) + "/.config/kelvane");
  if (xdg) setenv("XDG_CONFIG_HOME", oldXdg.c_str(), 1);
  setenv("KELVANE_HOME", home.path().c_str(), 1);
}

TEST(MessageBoxButtons, EachStyleOffersItsSetInOrder) {
  struct Case {
    UINT style;
    std::vector<int> ids;
  } cases[] = {
      {MB_OK, {IDOK}},
      {MB_OKCANCEL | MB_ICONERROR, {IDOK, IDCANCEL}},
      {MB_ABORTRETRYIGNORE | MB_SETFOREGROUND, {IDABORT, IDRETRY, IDIGNORE}},
      {MB_YESNOCANCEL, {IDYES, IDNO, IDCANCEL}},
      {MB_YESNO | MB_ICONQUESTION, {IDYES, IDNO}},
      {MB_RETRYCANCEL, {IDRETRY, IDCANCEL}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(plat::ButtonCount(c.style), static_cast<int>(c.ids.size()));
    for (int i = 0; i < plat::ButtonCount(c.style); ++i)
      EXPECT_EQ(plat::ButtonAt(c.style, i), c.ids[i]);
    EXPECT_EQ(plat::DefaultButton(c.style), c.ids[0]);
    EXPECT_EQ(plat::ButtonAt(c.style, -1), 0);
    EXPECT_EQ(plat::ButtonAt(c.style, plat::ButtonCount(c.style)), 0);
  }
  EXPECT_STREQ(plat::ButtonName(IDIGNORE), "ignore");
  EXPECT_STREQ(plat::ButtonName(IDNO), "no");
}

TEST(MessageBoxButtons, DefaultSinkAnswersWithTheFirstButton) {
  testing::internal::CaptureStderr();
  int answer = plat::MessageBox(0, "Paper out", "Kelvane Error", MB_RETRYCANCEL);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer, IDRETRY);
  EXPECT_EQ(err, "Kelvane Error: Paper out [retry/cancel]\n");
  {
    kt::ScriptedMessageBoxes boxes;
    boxes.Answer(IDCANCEL);
    EXPECT_EQ(plat::MessageBox(0, "t", "c", MB_RETRYCANCEL), IDCANCEL);
    EXPECT_EQ(boxes.count(), 1u);
  }
  EXPECT_FALSE(plat::PostMessage(5, WM_TIMER, 0, 0));  // no front end: dropped
}

}  // namespace
