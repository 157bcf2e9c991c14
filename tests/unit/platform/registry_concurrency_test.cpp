// The hive is shared by the gateway, the applet, the tools and the fax server stand-in: a
// read-modify-write must lose no update, a read must see every change committed before it (in
// any process, however quickly changes follow each other), and no reader may ever see a hive
// half written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

constexpr char kKey[] = "SOFTWARE\\Almoran\\Corvane SMTP Server";

// Runs body in a child process; its result is the child's exit status.
pid_t Spawn(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// count increments of TmpIndex; 0 when each saw a larger value than the one before.
int Increment(int count) {
  RegKey key;
  if (RegOpenKey(Hive::LocalMachine, kKey, key) != kErrorSuccess) return 2;
  std::uint32_t last = 0;
  for (int i = 0; i < count; ++i) {
    std::uint32_t now = 0;
    const long r = RegUpdateDword(
        key, "TmpIndex", [](std::optional<std::uint32_t> v) { return v.value_or(0) + 1; }, &now);
    if (r != kErrorSuccess) return 3;
    if (now <= last) return 4;
    last = now;
  }
  return 0;
}

class RegistryConcurrency : public test::RootTest {
 protected:
  void SetUp() override {
    test::RootTest::SetUp();
    RegKey key;
    ASSERT_EQ(RegCreateKey(Hive::LocalMachine, kKey, key), kErrorSuccess);
  }
  std::uint32_t Counter() {
    RegKey key;
    std::uint32_t value = 0;
    EXPECT_EQ(RegOpenKey(Hive::LocalMachine, kKey, key), kErrorSuccess);
    EXPECT_EQ(RegQueryDword(key, "TmpIndex", value), kErrorSuccess);
    return value;
  }
};

TEST_F(RegistryConcurrency, TwoProcessesLoseNoIncrement) {
  const pid_t a = Spawn([] { return Increment(1000); });
  const pid_t b = Spawn([] { return Increment(1000); });
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_EQ(Wait(a), 0);
  EXPECT_EQ(Wait(b), 0);
  EXPECT_EQ(Counter(), 2000u);
}

TEST_F(RegistryConcurrency, ThreadsLoseNoIncrement) {
  std::vector<int> results(4, -1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&results, t] { results[t] = Increment(250); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(results, std::vector<int>(4, 0));
  EXPECT_EQ(Counter(), 1000u);
}

// Sessions change values lazily and flush at the same moments: the syncs they share (outside
// the hive's lock, while others read and change) must cover each of them, and every change is
// read back whole by another process.
TEST_F(RegistryConcurrency, LazyChangesFlushedAtOnceByManyThreadsAreAllKept) {
  constexpr int kThreads = 8;
  constexpr std::uint32_t kChanges = 60;
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&failures, t] {
      RegKey key;
      if (RegOpenKey(Hive::LocalMachine, kKey, key) != kErrorSuccess) return ++failures, void();
      const std::string name = "Session" + std::to_string(t);
      for (std::uint32_t i = 1; i <= kChanges; ++i) {
        const auto update = [&](const RegValueFinder&, std::vector<RegValue>& writes) {
          writes.push_back({name, kRegDword, RegDwordBytes(i)});
          writes.push_back({"Last", kRegDword, RegDwordBytes(i)});
          return kErrorSuccess;
        };
        if (RegUpdateValuesLazy(key, update) != kErrorSuccess || RegFlushKey(key) != kErrorSuccess)
          ++failures;
      }
    });
  std::thread reader([&] {
    RegKey key;
    if (RegOpenKey(Hive::LocalMachine, kKey, key) != kErrorSuccess) return ++failures, void();
    std::uint32_t last = 0;
    while (!done.load()) {
      std::uint32_t value = 0;
      const long r = RegQueryDword(key, "Session0", value);
      if ((r != kErrorSuccess && r != kErrorFileNotFound) || value < last) ++failures;
      last = value;
    }
  });
  for (std::thread& thread : threads) thread.join();
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  const pid_t child = Spawn([] {
    RegKey key;
    if (RegOpenKey(Hive::LocalMachine, kKey, key) != kErrorSuccess) return 2;
    for (int t = 0; t < kThreads; ++t) {
      std::uint32_t value = 0;
      if (RegQueryDword(key, "Session" + std::to_string(t), value) != kErrorSuccess ||
          value != kChanges)
        return 3;
    }
    return 0;
  });
  ASSERT_GT(child, 0);
  EXPECT_EQ(Wait(child), 0);
}

// Two processes take turns: each change is of the same size and follows the last within
// microseconds, so only a store that notices every replacement of the hive reads it right.
TEST_F(RegistryConcurrency, EachReadSeesTheChangeJustCommittedElsewhere) {
  int toChild[2];
  int toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  constexpr std::uint32_t kRounds = 300;
  // Both read first, so that each holds a parsed copy from the start.
  RegKey key;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, kKey, key), kErrorSuccess);
  const pid_t child = Spawn([&] {
    for (std::uint32_t i = 0; i < kRounds; ++i) {
      char token = 0;
      if (::read(toChild[0], &token, 1) != 1) return 3;
      std::uint32_t value = 0;
      if (RegQueryDword(key, "Turn", value) != kErrorSuccess || value != 2 * i + 1) return 4;
      if (RegSetDword(key, "Turn", 2 * i + 2) != kErrorSuccess) return 5;
      if (::write(toParent[1], &token, 1) != 1) return 6;
    }
    return 0;
  });
  ASSERT_GT(child, 0);
  for (std::uint32_t i = 0; i < kRounds; ++i) {
    ASSERT_EQ(RegSetDword(key, "Turn", 2 * i + 1), kErrorSuccess);
    const char token = 't';
    ASSERT_EQ(::write(toChild[1], &token, 1), 1);
    char back = 0;
    ASSERT_EQ(::read(toParent[0], &back, 1), 1) << "the child failed in round " << i;
    std::uint32_t value = 0;
    ASSERT_EQ(RegQueryDword(key, "Turn", value), kErrorSuccess);
    ASSERT_EQ(value, 2 * i + 2) << "round " << i;
  }
  EXPECT_EQ(Wait(child), 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
}

// A writer process keeps replacing a large value; readers in this process, through the store
// and straight from the file, only ever see whole hives and never go back in time.
TEST_F(RegistryConcurrency, ReadersNeverSeeAHalfWrittenHive) {
  constexpr std::uint32_t kWrites = 60;
  constexpr std::size_t kBlobSize = 16 * 1024;
  const pid_t writer = Spawn([] {
    RegKey key;
    if (RegOpenKey(Hive::LocalMachine, kKey, key) != kErrorSuccess) return 2;
    std::vector<unsigned char> blob(kBlobSize);
    for (std::uint32_t i = 1; i <= kWrites; ++i) {
      for (std::size_t j = 0; j < 4; ++j) blob[j] = static_cast<unsigned char>(i >> (8 * j));
      std::fill(blob.begin() + 4, blob.end(), static_cast<unsigned char>(i));
      if (RegSetValue(key, "Blob", kRegBinary, blob.data(), kBlobSize) != kErrorSuccess) return 3;
    }
    return 0;
  });
  ASSERT_GT(writer, 0);

  std::atomic<bool> done{false};
  std::string rawProblem;
  std::thread raw([&] {
    const std::string path = HivePath(Hive::LocalMachine);
    while (!done.load()) {
      const std::string text = test::ReadWholeFile(path);
      if (text.empty()) continue;  // not written yet
      const bool hasBlob = text.find("\"Blob\"=hex:") != std::string::npos;
      if (text.rfind("REGEDIT4\n\n", 0) != 0 || (hasBlob && text.size() < 3 * kBlobSize) ||
          text.compare(text.size() - 2, 2, "\n\n") != 0) {
        rawProblem = "a partial hive file of " + std::to_string(text.size()) + " bytes";
        return;
      }
    }
  });

  RegKey key;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, kKey, key), kErrorSuccess);
  std::uint32_t last = 0;
  std::size_t reads = 0;
  std::vector<unsigned char> blob(kBlobSize);
  for (;;) {
    const bool finished = ::waitpid(writer, nullptr, WNOHANG) == writer;
    std::uint32_t size = kBlobSize;
    const long r = RegQueryValue(key, "Blob", nullptr, blob.data(), &size);
    if (r == kErrorFileNotFound && last == 0 && !finished) continue;
    ASSERT_EQ(r, kErrorSuccess);
    ASSERT_EQ(size, kBlobSize);
    const std::uint32_t seq = blob[0] | (blob[1] << 8) | (blob[2] << 16) | (blob[3] << 24);
    ASSERT_GE(seq, last) << "a read went back in time";
    for (std::size_t j = 4; j < kBlobSize; ++j)
      ASSERT_EQ(blob[j], static_cast<unsigned char>(seq)) << "mixed data at " << j;
    last = seq;
    ++reads;
    if (finished) break;
  }
  done = true;
  raw.join();
  EXPECT_EQ(rawProblem, "");
  EXPECT_EQ(last, kWrites) << "the last read after the writer ended sees its last change";
  EXPECT_GT(reads, 1u);
}

// This process keeps the lock file open between operations. When the file at the lock's path is
// removed or replaced meanwhile, the next operation must lock the file that other processes now
// open: a process that opens the path while this one changes the hive is shut out, and nothing
// either of them writes is lost.
TEST_F(RegistryConcurrency, LockFileRemovedOrReplacedBetweenOperationsStillExcludesOthers) {
  const std::string lockPath = HivePath(Hive::LocalMachine) + ".lock";
  struct Case {
    const char* what;
    std::function<bool()> act;
  };
  const std::vector<Case> cases = {
      {"removed", [&] { return ::unlink(lockPath.c_str()) == 0; }},
      {"replaced",
       [&] {
         test::WriteWholeFile(lockPath + ".new", std::string(8, '\0'));
         return std::rename((lockPath + ".new").c_str(), lockPath.c_str()) == 0;
       }},
      {"replaced by its own copy",
       [&] {
         test::WriteWholeFile(lockPath + ".new", test::ReadWholeFile(lockPath));
         return std::rename((lockPath + ".new").c_str(), lockPath.c_str()) == 0;
       }},
  };
  RegKey key;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, kKey, key), kErrorSuccess);
  std::uint32_t round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ++round;
    ASSERT_EQ(RegSetDword(key, "Round", round), kErrorSuccess);  // the lock file is open now
    ASSERT_TRUE(c.act());
    // While this process changes the hive, another one that opens the path cannot lock it.
    int probe = -1;
    const long r = RegUpdateValues(key, [&](const RegValueFinder&, std::vector<RegValue>& writes) {
      probe = Wait(Spawn([&] {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return 2;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
        return errno == EWOULDBLOCK ? 0 : 3;
      }));
      writes.push_back({"Mine", kRegDword, RegDwordBytes(round)});
      return kErrorSuccess;
    });
    ASSERT_EQ(r, kErrorSuccess);
    EXPECT_EQ(probe, 0) << "1: another process took the lock while this one held it";
    // The other process sees this change, and this one sees the other's.
    const pid_t other = Spawn([&] {
      RegKey k;
      std::uint32_t mine = 0;
      if (RegOpenKey(Hive::LocalMachine, kKey, k) != kErrorSuccess ||
          RegQueryDword(k, "Mine", mine) != kErrorSuccess || mine != round)
        return 2;
      return RegSetDword(k, "Theirs", round) == kErrorSuccess ? 0 : 3;
    });
    ASSERT_EQ(Wait(other), 0);
    std::uint32_t theirs = 0;
    ASSERT_EQ(RegQueryDword(key, "Theirs", theirs), kErrorSuccess);
    EXPECT_EQ(theirs, round);
  }
}

// A read of "Turn" on a thread of its own, for a read that may wait for the hive's lock; its
// fields are the caller's to look at once done is set or the thread is joined.
struct ReadOnAThread {
  explicit ReadOnAThread(const RegKey& key)
      : thread([this, &key] {
          result = RegQueryDword(key, "Turn", value);
          done = true;
        }) {}
  std::atomic<bool> done{false};
  long result = -1;
  std::uint32_t value = 0;
  std::thread thread;  // last, so that it starts once the fields above are made
};

// A read whose cached copy is current takes no lock: it is served while another process holds
// the hive's lock in the middle of a change, as if it came before that change. Once the other
// side has bumped the change counter, a read waits for the lock and sees the change.
TEST_F(RegistryConcurrency, ReadsOfACurrentCopyDoNotWaitForAChangeUnderWay) {
  const std::string lockPath = HivePath(Hive::LocalMachine) + ".lock";
  RegKey key;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, kKey, key), kErrorSuccess);
  ASSERT_EQ(RegSetDword(key, "Turn", 1), kErrorSuccess);
  std::uint32_t value = 0;
  ASSERT_EQ(RegQueryDword(key, "Turn", value), kErrorSuccess);  // cached and watched now

  int toChild[2];
  int toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  // The other side: takes the lock, says so, and waits; then changes the value the way the
  // store does (counter first, then the change), says so, and lets go when told.
  const pid_t other = Spawn([&] {
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    char token = 'l';
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(toParent[1], &token, 1) != 1) return 2;
    if (::read(toChild[0], &token, 1) != 1) return 3;
    unsigned char bytes[8] = {};
    if (::pread(fd, bytes, sizeof bytes, 0) != 8) return 4;
    ++bytes[0];  // far below a carry: the store has made only a few changes
    if (::pwrite(fd, bytes, sizeof bytes, 0) != 8) return 5;
    if (::write(toParent[1], &token, 1) != 1 || ::read(toChild[0], &token, 1) != 1) return 6;
    return 0;
  });
  ASSERT_GT(other, 0);
  char token = 0;
  ASSERT_EQ(::read(toParent[0], &token, 1), 1);
  // Served from the copy though the lock is held elsewhere; a read that waited for the lock
  // would wait until the other side is told to go on.
  {
    ReadOnAThread early(key);
    for (int i = 0; i < 1000 && !early.done.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(early.done.load()) << "a read of a current copy waited for the lock";
    if (!early.done.load()) {
      // Let the other side finish, so that the read ends and the test with it.
      ASSERT_EQ(::write(toChild[1], &token, 1), 1);
      ASSERT_EQ(::write(toChild[1], &token, 1), 1);
    }
    early.thread.join();
    ASSERT_TRUE(early.done.load());
    EXPECT_EQ(early.result, kErrorSuccess);
    EXPECT_EQ(early.value, 1u);
  }

  ASSERT_EQ(::write(toChild[1], &token, 1), 1);
  ASSERT_EQ(::read(toParent[0], &token, 1), 1);
  // The counter moved: this read must wait for the lock, so it runs on a thread of its own.
  ReadOnAThread reader(key);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(reader.done.load()) << "a read went past a lock held over a counted change";
  ASSERT_EQ(::write(toChild[1], &token, 1), 1);
  reader.thread.join();
  EXPECT_EQ(reader.result, kErrorSuccess);
  EXPECT_EQ(reader.value, 1u);  // the other side changed the counter alone
  EXPECT_EQ(Wait(other), 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
}

// Descriptors of this process open on path.
int OpenDescriptorsOn(const std::string& path) {
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code readError;
    const auto target = std::filesystem::read_symlink(entry.path(), readError);
    if (!readError && target == std::filesystem::path(path)) ++count;
  }
  return count;
}

// The lock file stays open between operations, and letting go of the cache (what an unloaded
// applet does) closes it: a module loaded and unloaded again and again leaves no descriptor
// behind, and the next operation opens the file again.
TEST_F(RegistryConcurrency, ReleasedCacheClosesTheKeptLockFile) {
  const std::string lockPath = HivePath(Hive::LocalMachine) + ".lock";
  RegKey key;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, kKey, key), kErrorSuccess);
  for (std::uint32_t round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(RegSetDword(key, "Round", round), kErrorSuccess);
    EXPECT_EQ(OpenDescriptorsOn(lockPath), 1);
    RegReleaseCache();
    EXPECT_EQ(OpenDescriptorsOn(lockPath), 0);
    std::uint32_t read = 0;
    ASSERT_EQ(RegQueryDword(key, "Round", read), kErrorSuccess);
    EXPECT_EQ(read, round);
    EXPECT_EQ(OpenDescriptorsOn(lockPath), 1);
    RegReleaseCache();
  }
}

}  // namespace
}  // namespace faxmail::platform
