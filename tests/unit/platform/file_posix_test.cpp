// Share modes and file opens where the system they stand in for is POSIX: the lock seen across
// fork, FIFOs and symbolic links refused without waiting, errno values kept out of the system's
// numbers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <vector>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <chrono>
#include <future>
#include <thread>

#include "platform/file.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

using test::TempDir;
using test::WriteWholeFile;

TEST(ShareModes, AnotherProcessSeesTheLock) {
  TempDir dir;
  const std::string path = dir / "locked.tmp";
  WriteWholeFile(path, "data");
  File holder;
  ASSERT_EQ(File::Open(path, Access::ReadWrite, Share::None, Disposition::OpenExisting, holder), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    File other;
    const long err = File::Open(path, Access::Read, Share::None, Disposition::OpenExisting, other);
    _exit(err == kErrorSharingViolation ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Files that another party puts into a shared folder: only a regular file is opened, never
// through a link, and the open never waits on what it finds.
TEST(FileOpen, RegularFileOnlyRefusesWhatIsNoFileAtOnce) {
  TempDir dir;
  WriteWholeFile(dir / "secret", "not for the mail");
  ASSERT_EQ(::symlink((dir / "secret").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "none").c_str(), (dir / "dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(CreateDirectory(dir / "folder"), 0);
  WriteWholeFile(dir / "plain", "data");
  struct Case {
    const char* name;
    Access access;
    Disposition disposition;
    long expected;
  } cases[] = {
      {"plain", Access::Read, Disposition::OpenExisting, kErrorSuccess},
      {"plain", Access::Attributes, Disposition::OpenExisting, kErrorSuccess},
      {"link", Access::Read, Disposition::OpenExisting, kErrorStoppedOnSymlink},
      {"link", Access::ReadWrite, Disposition::CreateAlways, kErrorStoppedOnSymlink},
      {"dangling", Access::Write, Disposition::CreateAlways, kErrorStoppedOnSymlink},
      {"fifo", Access::Read, Disposition::OpenExisting, kErrorCantAccessFile},
      {"fifo", Access::Attributes, Disposition::OpenExisting, kErrorCantAccessFile},
      {"fifo", Access::Write, Disposition::OpenExisting, kErrorCantAccessFile},
      {"fifo", Access::ReadWrite, Disposition::CreateAlways, kErrorCantAccessFile},
      {"folder", Access::Read, Disposition::OpenExisting, kErrorCantAccessFile},
  };
  for (const Case& c : cases) {
    auto open = std::async(std::launch::async, [&] {
      File f;
      return File::Open(dir / c.name, c.access, Share::None, c.disposition, f, Links::DontFollow,
                        Kind::RegularFile);
    });
    if (open.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << c.name << ": the open waits";
      // Give the waiting open its writer, so that the test can end.
      const int fd = ::open((dir / c.name).c_str(), O_RDWR | O_NONBLOCK);
      open.wait();
      if (fd >= 0) ::close(fd);
      continue;
    }
    EXPECT_EQ(open.get(), c.expected) << c.name;
  }
  EXPECT_EQ(test::ReadWholeFile(dir / "secret"), "not for the mail");
  EXPECT_FALSE(FileExists(dir / "none"));
  // A regular file opened this way reads and writes as any other: it is blocking again.
  File f;
  ASSERT_EQ(File::Open(dir / "plain", Access::ReadWrite, Share::None, Disposition::OpenExisting, f,
                       Links::DontFollow, Kind::RegularFile),
            kErrorSuccess);
  EXPECT_EQ(::fcntl(f.Id(), F_GETFL) & O_NONBLOCK, 0);
  char buffer[8];
  std::size_t got = 0;
  ASSERT_EQ(f.Read(buffer, sizeof buffer, got), kErrorSuccess);
  EXPECT_EQ(std::string(buffer, got), "data");
}

// A rename or delete is refused while another open description holds a lock on the name,
// whatever kind of file it is; without a holder each goes ahead as before (a folder is still
// not deleted as a file).
TEST(FileHeld, RenamesAndDeletesWaitForNoHolderOfAnyKind) {
  TempDir dir;
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    bool held;
    long rename;  // of the name to another
    long remove;  // DeleteFile of the name
  };
  const auto file = [](const std::string& path) { WriteWholeFile(path, "x"); };
  const auto fifo = [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); };
  const auto folder = [](const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); };
  const Case cases[] = {
      {"a file, held", file, true, kErrorSharingViolation, kErrorSharingViolation},
      {"a file", file, false, kErrorSuccess, kErrorSuccess},
      {"a FIFO, held", fifo, true, kErrorSharingViolation, kErrorSharingViolation},
      {"a FIFO", fifo, false, kErrorSuccess, kErrorSuccess},
      {"a folder, held", folder, true, kErrorSharingViolation, kErrorSharingViolation},
      {"a folder", folder, false, kErrorSuccess, kErrorAccessDenied},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir / ("n" + std::to_string(n++));
    c.make(path);
    int holder = -1;
    if (c.held) {
      holder = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(holder, 0);
      ASSERT_EQ(::flock(holder, LOCK_SH), 0);
    }
    const long renamed = RenameFile(path, path + ".moved", false);
    EXPECT_EQ(renamed, c.rename);
    if (renamed == kErrorSuccess) {
      ASSERT_EQ(RenameFile(path + ".moved", path, false), kErrorSuccess);
    }
    EXPECT_EQ(DeleteFile(path), c.remove);
    if (holder >= 0) ::close(holder);
  }
}

// A rename of the caller's own file skips the look for holders: it moves the file whoever
// holds it, where the checked rename refuses, and it still never replaces a file unless told.
TEST(ShareModes, ARenameOfOnesOwnFileDoesNotLookForHolders) {
  TempDir dir;
  const std::string path = dir / "own";
  WriteWholeFile(path, "data");
  File holder;
  ASSERT_EQ(File::Open(path, Access::Read, Share::None, Disposition::OpenExisting, holder),
            kErrorSuccess);
  EXPECT_EQ(RenameFile(path, dir / "moved", false), kErrorSharingViolation);
  EXPECT_EQ(RenameFile(path, dir / "moved", false, Holders::kNone), kErrorSuccess);
  WriteWholeFile(dir / "taken", "other");
  EXPECT_EQ(RenameFile(dir / "moved", dir / "taken", false, Holders::kNone), kErrorAlreadyExists);
  EXPECT_EQ(test::ReadWholeFile(dir / "taken"), "other");
  EXPECT_EQ(RenameFile(dir / "moved", dir / "taken", true, Holders::kNone), kErrorSuccess);
  EXPECT_EQ(test::ReadWholeFile(dir / "taken"), "data");
}

// Links and size come from one look at the open file.
TEST(FileOpen, LinksAndSizeOfTheOpenFile) {
  TempDir dir;
  const std::string path = dir / "f";
  WriteWholeFile(path, "12345");
  File file;
  ASSERT_EQ(File::Open(path, Access::Read, Share::ReadWrite, Disposition::OpenExisting, file),
            kErrorSuccess);
  std::uint64_t links = 0;
  std::uint64_t size = 0;
  ASSERT_EQ(file.LinksAndSize(links, size), kErrorSuccess);
  EXPECT_EQ(links, 1u);
  EXPECT_EQ(size, 5u);
  ASSERT_EQ(::link(path.c_str(), (dir / "g").c_str()), 0);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::unlink((dir / "g").c_str()), 0);
  ASSERT_EQ(file.LinksAndSize(links, size), kErrorSuccess);
  EXPECT_EQ(links, 0u);
  EXPECT_EQ(size, 5u);
  File closed;
  EXPECT_EQ(closed.LinksAndSize(links, size), kErrorInvalidHandle);
}

// Threads append at once while the file is moved away again and again (logrotate): every
// entry lands whole in exactly one of the files, none is lost, and each file's entries of one
// thread keep their order.
TEST(AppendFileTest, ConcurrentAppendsWhileTheFileIsMovedAwayLoseNothing) {
  TempDir dir;
  const std::string path = dir / "log";
  constexpr int kThreads = 6;
  constexpr int kEntries = 400;
  AppendFile file;
  std::atomic<bool> done{false};
  std::thread mover([&] {
    for (int i = 0; !done.load(); ++i) {
      ::rename(path.c_str(), (dir / ("log." + std::to_string(i))).c_str());
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kEntries; ++i) {
        const std::string entry = "thread " + std::to_string(t) + " entry " + std::to_string(i) +
                                  std::string(40, 'x') + "\n";
        if (file.Append(path, entry) != kErrorSuccess) ++failures;
      }
    });
  }
  for (auto& w : writers) w.join();
  done.store(true);
  mover.join();
  file.Close();
  EXPECT_EQ(failures.load(), 0);

  std::vector<std::vector<int>> seen(kThreads);
  int files = 0;
  for (const auto& item : std::filesystem::directory_iterator(dir.Path())) {
    ++files;
    std::vector<int> last(kThreads, -1);
    std::istringstream lines(test::ReadWholeFile(item.path().string()));
    std::string line;
    while (std::getline(lines, line)) {
      int t = -1;
      int i = -1;
      char tail[64] = {};
      ASSERT_EQ(std::sscanf(line.c_str(), "thread %d entry %d%63s", &t, &i, tail), 3) << line;
      ASSERT_TRUE(t >= 0 && t < kThreads && i >= 0 && i < kEntries) << line;
      EXPECT_EQ(std::string(tail), std::string(40, 'x')) << line;
      EXPECT_GT(i, last[t]) << "out of order in " << item.path();
      last[t] = i;
      seen[t].push_back(i);
    }
  }
  EXPECT_GT(files, 1);  // the mover did move files while entries were written
  for (int t = 0; t < kThreads; ++t) {
    std::sort(seen[t].begin(), seen[t].end());
    std::vector<int> all(kEntries);
    for (int i = 0; i < kEntries; ++i) all[i] = i;
    EXPECT_EQ(seen[t], all) << "thread " << t;
  }
}

// The file stays open from one append to the next, and whatever becomes of what the path
// names in between (the file, the folder it is in or one above moved, removed or replaced; a
// link on the path pointed elsewhere; only its attributes changed) the next entry lands where
// an open by name puts it.
TEST(AppendFileTest, EntriesFollowWhatThePathNamesWhateverChangedOnIt) {
  const struct {
    const char* what;
    const char* path;  // of the log, below the test's folder
    std::function<void(const std::string& root)> change;
    std::string now;    // what the path holds after the second entry
    const char* moved;  // where the first entry is then, when it is kept (below the folder)
  } cases[] = {
      {"the file moved away", "a/b/log",
       [](const std::string& root) {
         std::filesystem::rename(root + "a/b/log", root + "a/b/log.1");
       },
       "two\n", "a/b/log.1"},
      {"the file removed", "a/b/log",
       [](const std::string& root) { std::filesystem::remove(root + "a/b/log"); }, "two\n",
       nullptr},
      {"another name of it removed", "a/b/log",
       [](const std::string& root) {
         std::filesystem::create_hard_link(root + "a/b/log", root + "kept");
         std::filesystem::remove(root + "a/b/log");
       },
       "two\n", "kept"},
      {"another file moved over it", "a/b/log",
       [](const std::string& root) {
         WriteWholeFile(root + "other", "other\n");
         std::filesystem::rename(root + "other", root + "a/b/log");
       },
       "other\ntwo\n", nullptr},
      {"its folder moved away and made again", "a/b/log",
       [](const std::string& root) {
         std::filesystem::rename(root + "a/b", root + "a/b.old");
         std::filesystem::create_directory(root + "a/b");
       },
       "two\n", "a/b.old/log"},
      {"a folder above moved away and made again", "a/b/log",
       [](const std::string& root) {
         std::filesystem::rename(root + "a", root + "a.old");
         std::filesystem::create_directories(root + "a/b");
       },
       "two\n", "a.old/b/log"},
      {"a link on the path pointed elsewhere", "link/log",
       [](const std::string& root) {
         std::filesystem::create_directories(root + "c");
         std::filesystem::remove(root + "link");
         std::filesystem::create_directory_symlink(root + "c", root + "link");
       },
       "two\n", "a/b/log"},
      {"only its mode changed", "a/b/log",
       [](const std::string& root) { ::chmod((root + "a/b/log").c_str(), 0600); }, "one\ntwo\n",
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string root = dir.Path() + "/";
    std::filesystem::create_directories(root + "a/b");
    std::filesystem::create_directory_symlink(root + "a/b", root + "link");
    const std::string path = root + c.path;
    AppendFile file;
    ASSERT_EQ(file.Append(path, "one\n"), kErrorSuccess);
    c.change(root);
    ASSERT_EQ(file.Append(path, "two\n"), kErrorSuccess);
    EXPECT_EQ(test::ReadWholeFile(path), c.now);
    if (c.moved) {
      EXPECT_EQ(test::ReadWholeFile(root + c.moved), "one\n");
    }
    // Nothing changes from here on: the entries keep to the same file.
    ASSERT_EQ(file.Append(path, "three\n"), kErrorSuccess);
    EXPECT_EQ(test::ReadWholeFile(path), c.now + "three\n");
  }
}

// errno values without a system number must not read as one: 1000 + ENOLINK (67) would be
// "The process terminated unexpectedly." in a service's exit code.
// An open that empties a file (CreateAlways, TruncateExisting) cuts what is there, and leaves a
// file that is empty already as it was: no change time moves for a cut that removes nothing.
TEST(FileOpen, EmptyingOpensCutOnlyWhatHoldsData) {
  TempDir dir;
  struct Case {
    const char* content;
    Disposition disposition;
    bool changed;
  } cases[] = {
      {"data", Disposition::CreateAlways, true},
      {"data", Disposition::TruncateExisting, true},
      {"", Disposition::CreateAlways, false},
      {"", Disposition::TruncateExisting, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = dir / ("f" + std::to_string(n++));
    WriteWholeFile(path, c.content);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    // Past the file system's time granularity, so that a change shows.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    File file;
    ASSERT_EQ(File::Open(path, Access::Write, Share::None, c.disposition, file), kErrorSuccess);
    ASSERT_EQ(file.Close(), kErrorSuccess);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, 0) << path;
    EXPECT_EQ(after.st_ino, before.st_ino) << path;
    const bool moved = after.st_ctim.tv_sec != before.st_ctim.tv_sec ||
                       after.st_ctim.tv_nsec != before.st_ctim.tv_nsec;
    EXPECT_EQ(moved, c.changed) << path << " (\"" << c.content << "\")";
  }
}

TEST(ErrorNumbers, ErrnoWithoutASystemNumberStaysOutOfTheSystemsRange) {
  for (const int err : {ENOLINK, EPROTO, ENOTSUP, ELOOP}) {
    const long error = ErrorFromErrno(err);
    EXPECT_NE(error & kErrorApplicationBit, 0) << err;
    EXPECT_EQ(error & ~kErrorApplicationBit, err);
  }
  EXPECT_EQ(ErrorFromErrno(ENOSPC), kErrorDiskFull);
}

}  // namespace
}  // namespace faxmail::platform
