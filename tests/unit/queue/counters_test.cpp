// Spool numbering: names must never repeat between two users of the key and must survive as
// the fax server expects them.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "gateway/queue/counters.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

class CountersTest : public test::RootTest {
 protected:
  platform::RegKey Key() {
    platform::RegKey key;
    EXPECT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    return key;
  }
  std::uint32_t Number(const char* name) {
    std::uint32_t value = 0xdeadbeef;
    EXPECT_EQ(platform::RegQueryDword(Key(), name, value), 0) << name;
    return value;
  }
  std::string Text(const char* name, std::uint32_t limit = 300) {
    std::string value;
    EXPECT_EQ(platform::RegQueryString(Key(), name, limit, value), 0) << name;
    return value;
  }
  void SetProgramPath(const std::string& path) {
    ASSERT_EQ(platform::RegSetString(Key(), "ProgramPath", path), 0);
  }
};

TEST(CounterRule, WrapsAfter65534Only) {
  struct Case {
    std::uint32_t v, next;
  } cases[] = {{0, 1}, {65533, 65534}, {65534, 0}, {65535, 65536}, {70000, 70001}};
  for (const auto& c : cases) EXPECT_EQ(NextCounterValue(c.v), c.next) << c.v;
}

TEST_F(CountersTest, EnvelopeNumberAtTheEndOfTheRange) {
  SetProgramPath("/data/");
  ASSERT_EQ(platform::RegSetDword(Key(), "OUTIndex", 65534), 0);
  std::string name;
  ASSERT_EQ(AllocEnvFileName(&name), 0);
  EXPECT_EQ(name, "/data/OUT/ENV65534");
  EXPECT_EQ(Number("OUTIndex"), 0u);
  EXPECT_EQ(Text("FileName"), "/data/OUT/ENV65534");
  EXPECT_EQ(IsEnvFileNameInUse(), 1u);
  ASSERT_EQ(AllocEnvFileName(&name), 0);
  EXPECT_EQ(name, "/data/OUT/ENV0");
  EXPECT_EQ(GetEnvFileName(), "/data/OUT/ENV0");
  ReleaseEnvFileName();
  EXPECT_EQ(IsEnvFileNameInUse(), 0u);
}

TEST_F(CountersTest, HandSetValueAboveTheRangeIsUsedOnceThenCountedUp) {
  SetProgramPath("/data/");
  ASSERT_EQ(platform::RegSetDword(Key(), "OUTIndex", 70000), 0);
  std::string name;
  ASSERT_EQ(AllocEnvFileName(&name), 0);
  EXPECT_EQ(name, "/data/OUT/ENV70000");
  EXPECT_EQ(Number("OUTIndex"), 70001u);
}

TEST_F(CountersTest, FileNameIsStoredWithoutItsZero) {
  SetProgramPath("/d/");
  ASSERT_EQ(AllocEnvFileName(), 0);
  std::uint32_t type = 0, size = 0;
  ASSERT_EQ(platform::RegQueryValue(Key(), "FileName", &type, nullptr, &size), 0);
  EXPECT_EQ(type, platform::kRegSz);
  EXPECT_EQ(size, std::string("/d/OUT/ENV0").size());
}

TEST_F(CountersTest, MissingOutIndexStartsAtZero) {
  SetProgramPath("/data/");
  std::string name;
  ASSERT_EQ(AllocEnvFileName(&name), 0);
  EXPECT_EQ(name, "/data/OUT/ENV0");
  EXPECT_EQ(Number("OUTIndex"), 1u);
}

TEST_F(CountersTest, MissingProgramPathAllocatesNothing) {
  ASSERT_EQ(platform::RegSetDword(Key(), "OUTIndex", 5), 0);
  EXPECT_EQ(AllocEnvFileName(), platform::kErrorFileNotFound);
  EXPECT_EQ(Number("OUTIndex"), 5u);
  EXPECT_EQ(IsEnvFileNameInUse(), 0u);
}

TEST_F(CountersTest, SeparatorIsAddedForTheEnvelopeNameOnly) {
  SetProgramPath("/data");
  std::string name;
  ASSERT_EQ(AllocEnvFileName(&name), 0);
  EXPECT_EQ(name, "/data/OUT/ENV0");
  EXPECT_EQ(GetBodyFileName(), "/dataOUT/Msgcnt.imp");
  EXPECT_EQ(GetProgramPath(), "/data");
}

TEST_F(CountersTest, AttachmentNames) {
  ASSERT_EQ(platform::RegSetDword(Key(), "OUTIndexAtt", 7), 0);
  EXPECT_EQ(AllocAttFileName("pdf"), "ATT7.pdf");
  EXPECT_EQ(Number("OUTIndexAtt"), 8u);
  EXPECT_EQ(GetAttFileName(), "ATT7.pdf");
  EXPECT_EQ(IsAttFileNameInUse(), 1u);
  ReleaseAttFileName();
  EXPECT_EQ(IsAttFileNameInUse(), 0u);
  EXPECT_EQ(AllocAttFileName(""), "ATT8.");
  EXPECT_EQ(AllocAttFileName("jpeg"), "ATT9.jpe");
}

TEST_F(CountersTest, MissingAttachmentCounterStartsAtZero) {
  EXPECT_EQ(AllocAttFileName("txt"), "ATT0.txt");
  EXPECT_EQ(Number("OUTIndexAtt"), 1u);
}

TEST_F(CountersTest, FlagsAreReset) {
  ASSERT_EQ(platform::RegSetDword(Key(), "FileNameUse", 1), 0);
  ASSERT_EQ(platform::RegSetDword(Key(), "FileNameUseAtt", 1), 0);
  ResetFileNameFlags();
  EXPECT_EQ(IsEnvFileNameInUse(), 0u);
  EXPECT_EQ(IsAttFileNameInUse(), 0u);
}

TEST_F(CountersTest, ValuesChangedByHandAreSeenAtOnce) {
  SetProgramPath("/one/");
  EXPECT_EQ(GetProgramPath(), "/one/");
  SetProgramPath("/two/");
  EXPECT_EQ(GetProgramPath(), "/two/");
}

TEST_F(CountersTest, AttachListFileIsCreatedInOut) {
  SetProgramPath(Root() + "/");
  ASSERT_TRUE(platform::CreateDirectory(Root() + "/OUT") == 0);
  EXPECT_EQ(CreateAttachListFile(), Root() + "/OUT/~ATTC000.imp");
  EXPECT_EQ(CreateAttachListFile(), Root() + "/OUT/~ATTC001.imp");
  EXPECT_TRUE(platform::FileExists(Root() + "/OUT/~ATTC001.imp"));
}

TEST_F(CountersTest, AttachListFileInAMissingFolderIsLoggedAndNotRetried) {
  platform::RegSetString(Key(), "logfileb", Root() + "/b.log");
  GetDebugSettings2();
  SetProgramPath(Root() + "/missing/");
  EXPECT_EQ(CreateAttachListFile(std::chrono::milliseconds(0)), Root() + "/missing/OUT/");
  const std::string log = test::ReadWholeFile(Root() + "/b.log");
  EXPECT_TRUE(log.starts_with("SMTPIn- CreateAutoFile failed, invalid path: 3")) << log;
  EXPECT_EQ(log.find("second attempt"), std::string::npos);
}

TEST_F(CountersTest, TwoProcessesNeverGetTheSameName) {
  SetProgramPath("/data/");
  constexpr int kEach = 150;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string names;
      for (int i = 0; i < kEach; ++i) {
        while (IsEnvFileNameInUse() != 0) usleep(100);
        std::string name;
        if (AllocEnvFileName(&name) != 0) _exit(2);
        names += name + "\n";
        names += AllocAttFileName("tif") + "\n";
        ReleaseAttFileName();
        ReleaseEnvFileName();
      }
      test::WriteWholeFile(Root() + "/names" + std::to_string(p), names);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::string> all;
  std::size_t count = 0;
  for (int p = 0; p < 2; ++p) {
    const std::string text = test::ReadWholeFile(Root() + "/names" + std::to_string(p));
    std::size_t start = 0;
    while (start < text.size()) {
      const auto end = text.find('\n', start);
      all.insert(text.substr(start, end - start));
      ++count;
      start = end + 1;
    }
  }
  EXPECT_EQ(count, std::size_t{2 * 2 * kEach});
  EXPECT_EQ(all.size(), count);
  EXPECT_EQ(Number("OUTIndex"), std::uint32_t{2 * kEach});
  EXPECT_EQ(Number("OUTIndexAtt"), std::uint32_t{2 * kEach});
}

}  // namespace
}  // namespace faxmail
