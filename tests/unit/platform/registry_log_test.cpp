// The hive's change log: a change of values is one synced record in HKLM.reg.log, read back by
// every process; a record cut short by a crash is never applied and is cut off by the next
// change; a log that belongs to an older hive file is ignored; a full log makes the next change
// write the hive whole; a counter survives SIGKILL at any moment without handing out a number
// twice.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <zlib.h>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

constexpr char kKey[] = "SOFTWARE\\Almoran\\Corvane SMTP Server";

std::vector<std::byte> Bytes(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return {p, p + text.size()};
}

class RegistryLogTest : public test::RootTest {
 protected:
  void SetUp() override {
    test::RootTest::SetUp();
    ASSERT_EQ(RegCreateKey(Hive::LocalMachine, kKey, m_key), kErrorSuccess);
  }
  std::string Hive() const { return HivePath(Hive::LocalMachine); }
  std::string Log() const { return Hive() + ".log"; }
  std::uintmax_t LogSize() const { return std::filesystem::file_size(Log()); }

  // What another process would read: the parsed copy is let go, the files read again.
  std::optional<std::uint32_t> Fresh(std::string_view name) {
    RegReleaseCache();
    std::uint32_t value = 0;
    if (RegQueryDword(m_key, name, value) != kErrorSuccess) return std::nullopt;
    return value;
  }
  void Append(const std::string& bytes) {
    std::ofstream out(Log(), std::ios::binary | std::ios::app);
    out << bytes;
  }

  RegKey m_key;
};

TEST_F(RegistryLogTest, ChangesOfValuesAreRecordsReadBackByOthers) {
  ASSERT_EQ(RegSetDword(m_key, "First", 1), kErrorSuccess);  // the hive is written whole once
  const std::string hive = ReadWholeFile(Hive());
  const auto logBefore = LogSize();
  ASSERT_EQ(RegSetDword(m_key, "OUTIndex", 7), kErrorSuccess);
  ASSERT_EQ(RegSetString(m_key, "FileName", "C:\\fax\\OUT\\ENV7", false), kErrorSuccess);
  const std::string blob(300, '\xab');
  ASSERT_EQ(RegSetValue(m_key, "Blob", kRegBinary, blob.data(), 300), kErrorSuccess);
  ASSERT_EQ(RegDeleteValue(m_key, "First"), kErrorSuccess);
  EXPECT_EQ(ReadWholeFile(Hive()), hive) << "values changed without writing the hive whole";
  EXPECT_GT(LogSize(), logBefore);

  EXPECT_EQ(Fresh("OUTIndex"), 7u);
  EXPECT_EQ(Fresh("First"), std::nullopt);
  std::vector<RegValue> values;
  ASSERT_EQ(RegEnumValues(m_key, values), kErrorSuccess);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[1].name, "FileName");
  EXPECT_EQ(values[1].data, Bytes("C:\\fax\\OUT\\ENV7"));
  EXPECT_EQ(values[2].data, Bytes(blob));
  // An export, and the hive written whole, show the current values.
  std::string text;
  ASSERT_EQ(RegExport(Hive::LocalMachine, kKey, text), kErrorSuccess);
  EXPECT_NE(text.find("\"OUTIndex\"=dword:00000007"), std::string::npos);
  ASSERT_EQ(RegWriteHive(Hive::LocalMachine), kErrorSuccess);
  EXPECT_NE(ReadWholeFile(Hive()).find("\"OUTIndex\"=dword:00000007"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(Hive()).find("\"First\""), std::string::npos);
  EXPECT_EQ(Fresh("OUTIndex"), 7u);
}

// A lazy change is a record like any other, read by everyone at once; only its sync waits for
// RegFlushKey or the next synced change. A change to the value it already has writes nothing.
TEST_F(RegistryLogTest, LazyChangeIsReadAtOnceAndFlushedLater) {
  ASSERT_EQ(RegSetDword(m_key, "FileNameUse", 1), kErrorSuccess);
  const std::string hive = ReadWholeFile(Hive());
  const auto before = LogSize();
  ASSERT_EQ(RegSetDwordLazy(m_key, "FileNameUse", 0), kErrorSuccess);
  EXPECT_GT(LogSize(), before);
  EXPECT_EQ(ReadWholeFile(Hive()), hive);
  EXPECT_EQ(Fresh("FileNameUse"), 0u);
  const auto after = LogSize();
  ASSERT_EQ(RegSetDwordLazy(m_key, "FileNameUse", 0), kErrorSuccess);
  EXPECT_EQ(LogSize(), after);
  EXPECT_EQ(RegSetDwordLazy(m_key, "", 0), kErrorSuccess) << "the default value is a name too";
  EXPECT_EQ(RegSetDwordLazy(m_key, "two\nlines", 0), kErrorInvalidParameter);
  EXPECT_EQ(RegFlushKey(m_key), kErrorSuccess);
  EXPECT_EQ(RegFlushKey(m_key), kErrorSuccess) << "nothing left to sync";
  // Lazy, then the hive written whole (by compaction here, as by a full log): the flush finds
  // the log replaced and the change in the synced hive.
  ASSERT_EQ(RegSetDwordLazy(m_key, "FileNameUse", 1), kErrorSuccess);
  ASSERT_EQ(RegWriteHive(Hive::LocalMachine), kErrorSuccess);
  EXPECT_EQ(RegFlushKey(m_key), kErrorSuccess);
  EXPECT_NE(ReadWholeFile(Hive()).find("\"FileNameUse\"=dword:00000001"), std::string::npos);
  // Lazy, then the log replaced behind this process's back: still no error, and the value read
  // is the one in the files.
  ASSERT_EQ(RegSetDwordLazy(m_key, "FileNameUse", 0), kErrorSuccess);
  std::filesystem::remove(Log());
  EXPECT_NE(RegFlushKey(m_key), kErrorSuccess) << "a log that went away cannot be synced";
  // A key that has gone is reported first.
  ASSERT_EQ(RegDeleteTree(Hive::LocalMachine, kKey), kErrorSuccess);
  EXPECT_EQ(RegFlushKey(m_key), kErrorKeyDeleted);
}

// The log is kept open from one change to the next. Removed, replaced or turned into a link by
// hand meanwhile, it is not written through the old descriptor: the next change still reaches
// the files that every other process reads. A flush of a lazy change made before fails where
// the log is gone or a link (a file in its place is taken for a hive written whole since).
TEST_F(RegistryLogTest, ChangesAfterTheLogWasTouchedByHandReachTheFiles) {
  const struct {
    const char* what;
    std::function<void(const std::string&)> touch;
    std::optional<bool> flushFails;  // whether a flush of a lazy change made before fails
  } cases[] = {
      {"removed", [](const std::string& log) { std::filesystem::remove(log); }, true},
      {"replaced by another file",
       [](const std::string& log) {
         WriteWholeFile(log + ".other", "; not the hive's log\n");
         std::filesystem::rename(log + ".other", log);
       },
       std::nullopt},
      {"replaced by a link to itself",
       [](const std::string& log) {
         std::filesystem::rename(log, log + ".moved");
         std::filesystem::create_symlink(log + ".moved", log);
       },
       true},
  };
  std::uint32_t value = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(RegWriteHive(Hive::LocalMachine), kErrorSuccess);         // a fresh log of the hive
    ASSERT_EQ(RegSetDword(m_key, "OUTIndex", ++value), kErrorSuccess);  // the log is held open
    ASSERT_EQ(RegSetDwordLazy(m_key, "TmpIndex", value), kErrorSuccess);
    c.touch(Log());
    const bool flushFailed = RegFlushKey(m_key) != kErrorSuccess;
    if (c.flushFails) {
      EXPECT_EQ(flushFailed, *c.flushFails);
    }
    ASSERT_EQ(RegSetDword(m_key, "OUTIndex", ++value), kErrorSuccess);
    EXPECT_EQ(Fresh("OUTIndex"), value);
    std::filesystem::remove(Log());
    std::filesystem::remove(Log() + ".moved");
  }
}

// A lazy read-modify-write (the raw files' counter) is one exclusive change like the synced one,
// seen at once; an unreadable value fails it without a change.
TEST_F(RegistryLogTest, LazyUpdateIsReadAtOnceAndFlushedLater) {
  ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 7), kErrorSuccess);
  const std::string hive = ReadWholeFile(Hive());
  const auto before = LogSize();
  std::uint32_t stored = 0;
  ASSERT_EQ(RegUpdateDwordLazy(
                m_key, "TmpIndex", [](std::optional<std::uint32_t> v) { return *v + 1; }, &stored),
            kErrorSuccess);
  EXPECT_EQ(stored, 8u);
  EXPECT_GT(LogSize(), before);
  EXPECT_EQ(ReadWholeFile(Hive()), hive);
  EXPECT_EQ(Fresh("TmpIndex"), 8u);
  EXPECT_EQ(RegFlushKey(m_key), kErrorSuccess);
  ASSERT_EQ(RegSetValue(m_key, "Odd", kRegBinary, "abc", 3), kErrorSuccess);
  EXPECT_NE(RegUpdateDwordLazy(m_key, "Odd", [](std::optional<std::uint32_t>) { return 1u; }),
            kErrorSuccess);
}

// A crash in the middle of an append leaves part of a record: it is not applied, and the next
// change goes after the last whole record.
TEST_F(RegistryLogTest, TornLastRecordIsNeverApplied) {
  ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 1), kErrorSuccess);
  ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 2), kErrorSuccess);
  const std::string whole = ReadWholeFile(Log());
  ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 3), kErrorSuccess);
  const std::string withThird = ReadWholeFile(Log());
  const std::string third = withThird.substr(whole.size());
  struct Case {
    const char* why;
    std::string tail;
  };
  std::string flipped = third;
  flipped[flipped.size() - 3] ^= 0x01;  // a byte of the body
  const std::vector<Case> cases = {
      {"header only", third.substr(0, third.find('\n') + 1)},
      {"half the body", third.substr(0, third.size() / 2 + 10)},
      {"all but the last byte", third.substr(0, third.size() - 1)},
      {"a byte changed", flipped},
      {"zeros where the record was", std::string(third.size(), '\0')},
      {"a length past the end", "; 999 00000000\nREGEDIT4\n"},
      {"a header without its line end", "; 12 abcdef01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    WriteWholeFile(Log(), whole + c.tail);
    EXPECT_EQ(Fresh("TmpIndex"), 2u);
    ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 4), kErrorSuccess);
    EXPECT_EQ(Fresh("TmpIndex"), 4u) << "a record after the torn one was lost";
    EXPECT_EQ(ReadWholeFile(Log()).find(c.tail), c.tail.empty() ? 0u : std::string::npos);
    ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 2), kErrorSuccess);
    WriteWholeFile(Log(), whole);
  }
}

// The log continues one hive file: when the hive is replaced (written whole, or by an
// administrator's editor), an older log is ignored rather than applied over it.
TEST_F(RegistryLogTest, LogOfAnOlderHiveIsIgnored) {
  ASSERT_EQ(RegSetDword(m_key, "OUTIndex", 5), kErrorSuccess);
  ASSERT_EQ(RegWriteHive(Hive::LocalMachine), kErrorSuccess);
  ASSERT_EQ(RegSetDword(m_key, "OUTIndex", 6), kErrorSuccess);
  const std::string oldLog = ReadWholeFile(Log());
  // A whole write that the crash kept, with the log it did not get to start afresh.
  ASSERT_EQ(RegWriteHive(Hive::LocalMachine), kErrorSuccess);
  ASSERT_EQ(RegDeleteValue(m_key, "OUTIndex"), kErrorSuccess);
  ASSERT_EQ(RegWriteHive(Hive::LocalMachine), kErrorSuccess);
  WriteWholeFile(Log(), oldLog);
  EXPECT_EQ(Fresh("OUTIndex"), std::nullopt) << "an old log brought a deleted value back";

  // The administrator's editor writes a new file: what it holds stands.
  const std::string edited = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + std::string(kKey) +
                             "]\n\"OUTIndex\"=dword:00000064\n\n";
  WriteWholeFile(Hive() + ".edit", edited);
  ASSERT_EQ(std::rename((Hive() + ".edit").c_str(), Hive().c_str()), 0);
  EXPECT_EQ(Fresh("OUTIndex"), 100u);
  // The next change writes the hive whole and starts a log of its own.
  ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 1), kErrorSuccess);
  EXPECT_NE(ReadWholeFile(Hive()).find("\"TmpIndex\"=dword:00000001"), std::string::npos);
  ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 2), kErrorSuccess);
  EXPECT_EQ(Fresh("TmpIndex"), 2u);
  EXPECT_EQ(Fresh("OUTIndex"), 100u);
}

TEST_F(RegistryLogTest, FullLogMakesTheNextChangeWriteTheHiveWhole) {
  ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 0), kErrorSuccess);
  std::uintmax_t largest = 0;
  int wholeWrites = 0;
  for (std::uint32_t i = 1; i <= 3000; ++i) {
    const auto before = LogSize();
    ASSERT_EQ(RegUpdateDword(m_key, "TmpIndex", [](auto v) { return v.value_or(0) + 1; }),
              kErrorSuccess);
    if (LogSize() < before) ++wholeWrites;
    largest = std::max(largest, LogSize());
  }
  EXPECT_GE(wholeWrites, 2);
  EXPECT_LE(largest, 64u * 1024) << "the log outgrew its limit";
  EXPECT_EQ(Fresh("TmpIndex"), 3000u);
}

TEST_F(RegistryLogTest, DamagedRecordIsReportedAndLogsBeyondTheLimitAreNotRead) {
  ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 1), kErrorSuccess);
  ASSERT_EQ(RegSetDword(m_key, "TmpIndex", 2), kErrorSuccess);
  const std::string good = ReadWholeFile(Log());
  // A record whose checksum holds but whose text does not parse was not written by the store.
  const std::string body = "REGEDIT4\n[HKLM\\A]\n\"x\"=dword:nothex\n";
  char header[32];
  std::snprintf(header, sizeof header, "; %zu %08lx\n", body.size(),
                ::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(body.data()),
                        static_cast<uInt>(body.size())));
  Append(header + body);
  EXPECT_EQ(Fresh("TmpIndex"), std::nullopt);
  std::uint32_t value = 0;
  EXPECT_EQ(RegQueryDword(m_key, "TmpIndex", value), kErrorBadDb);
  const std::string problem = RegHiveProblem(Hive::LocalMachine);
  EXPECT_EQ(problem.rfind(Log() + " at byte " + std::to_string(good.size()) + ": line 3: ", 0), 0u)
      << problem;
  EXPECT_EQ(RegSetDword(m_key, "TmpIndex", 3), kErrorBadDb) << "a damaged log was written to";

  WriteWholeFile(Log(), good + std::string(2 << 20, ';'));
  RegReleaseCache();
  EXPECT_EQ(RegQueryDword(m_key, "TmpIndex", value), kErrorBadDb);
  EXPECT_NE(RegHiveProblem(Hive::LocalMachine).find("is larger than"), std::string::npos);

  WriteWholeFile(Log(), good);  // repaired by hand: seen without letting the copy go
  EXPECT_EQ(RegQueryDword(m_key, "TmpIndex", value), kErrorSuccess);
  EXPECT_EQ(value, 2u);
}

TEST_F(RegistryLogTest, UpdateOfSeveralValuesIsOneRecordOrNothing) {
  ASSERT_EQ(RegSetDword(m_key, "OUTIndex", 41), kErrorSuccess);
  const auto before = LogSize();
  std::uint32_t taken = 0;
  ASSERT_EQ(RegUpdateValues(m_key,
                            [&](const RegValueFinder& find, std::vector<RegValue>& writes) {
                              const RegValue* v = find("outindex");
                              if (!v || v->data.size() != 4) return kErrorInvalidParameter;
                              std::memcpy(&taken, v->data.data(), 4);
                              std::uint32_t next = taken + 1;
                              std::vector<std::byte> data(4);
                              std::memcpy(data.data(), &next, 4);
                              writes.push_back({"OUTIndex", kRegDword, data});
                              writes.push_back({"FileName", kRegSz, Bytes("ENV41")});
                              writes.push_back({"FileNameUse", kRegDword, Bytes({"\1\0\0\0", 4})});
                              return kErrorSuccess;
                            }),
            kErrorSuccess);
  EXPECT_EQ(taken, 41u);
  const std::string log = ReadWholeFile(Log());
  EXPECT_EQ(std::count(log.begin() + static_cast<long>(before), log.end(), ';'), 1)
      << "one record for the three values";
  EXPECT_EQ(Fresh("OUTIndex"), 42u);
  EXPECT_EQ(Fresh("FileNameUse"), 1u);

  // A failure of the update, or a bad name among the writes, writes nothing.
  const auto unchanged = LogSize();
  EXPECT_EQ(RegUpdateValues(m_key,
                            [](const RegValueFinder&, std::vector<RegValue>& writes) {
                              writes.push_back({"OUTIndex", kRegDword, Bytes({"\0\0\0\0", 4})});
                              return kErrorMoreData;
                            }),
            kErrorMoreData);
  EXPECT_EQ(RegUpdateValues(m_key,
                            [](const RegValueFinder&, std::vector<RegValue>& writes) {
                              writes.push_back({"OUTIndex", kRegDword, Bytes({"\0\0\0\0", 4})});
                              writes.push_back({"bad\nname", kRegDword, Bytes({"\0\0\0\0", 4})});
                              return kErrorSuccess;
                            }),
            kErrorInvalidParameter);
  EXPECT_EQ(LogSize(), unchanged);
  EXPECT_EQ(Fresh("OUTIndex"), 42u);
}

// A child takes numbers as fast as it can and tells each one after it is taken; killed at
// random moments and started again, no number is ever told twice.
TEST_F(RegistryLogTest, CounterKilledAtAnyMomentNeverHandsOutANumberTwice) {
  constexpr int kRounds = 12;
  const std::string told = Root() + "/told";
  std::vector<std::uint32_t> numbers;
  for (int round = 0; round < kRounds; ++round) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(pipeFds[0]);
      RegReleaseCache();
      RegKey key;
      if (RegOpenKey(Hive::LocalMachine, kKey, key) != kErrorSuccess) ::_exit(2);
      for (;;) {
        std::uint32_t number = 0;
        if (RegUpdateDword(key, "TmpIndex", [&](auto v) {
              number = v.value_or(0);
              return number + 1;
            }) != kErrorSuccess)
          ::_exit(3);
        if (::write(pipeFds[1], &number, sizeof number) != sizeof number) ::_exit(4);
      }
    }
    ::close(pipeFds[1]);
    platform::SleepMs(static_cast<std::uint32_t>(20 + (round * 37) % 90));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::uint32_t number = 0;
    while (::read(pipeFds[0], &number, sizeof number) == sizeof number) numbers.push_back(number);
    ::close(pipeFds[0]);
  }
  ASSERT_GT(numbers.size(), static_cast<std::size_t>(kRounds));
  std::vector<std::uint32_t> sorted = numbers;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
      << "a number was handed out twice";
  const auto stored = Fresh("TmpIndex");
  ASSERT_TRUE(stored.has_value());
  EXPECT_GT(*stored, sorted.back());
  EXPECT_EQ(RegHiveProblem(Hive::LocalMachine), "");
}

}  // namespace
}  // namespace faxmail::platform
