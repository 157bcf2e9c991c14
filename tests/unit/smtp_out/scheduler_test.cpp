// The sender's scheduler without a mail server: settings, idle polling, the five attempts and
// the error names, files set aside, files that cannot be renamed, and destruction while a
// delivery runs. No DNS server answers, so deliveries go to 127.0.0.1 on the test's port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/smtp_out.h"
#include "tests/unit/net/net_test_util.h"
#include "tests/unit/smtp_out/scripted_server.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail {
namespace {

using namespace std::chrono_literals;
using test::ReadWholeFile;
using test::ReadyFile;
using test::WaitFor;
using test::WriteWholeFile;

// Accepts every connection; closes it at once, or holds it silent until the server goes.
class MuteServer {
 public:
  explicit MuteServer(bool hold) : m_hold(hold) {
    m_listening = test::ListenOnLoopback(8, m_port);
    m_thread = std::thread([this] {
      std::vector<int> held;
      while (!m_stop) {
        pollfd p{m_listening, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept(m_listening, nullptr, nullptr);
        ++m_accepted;
        if (m_hold)
          held.push_back(fd);
        else
          ::close(fd);
      }
      for (const int fd : held) ::close(fd);
    });
  }
  ~MuteServer() {
    m_stop = true;
    m_thread.join();
    ::close(m_listening);
  }
  std::uint16_t Port() const { return m_port; }
  int Accepted() const { return m_accepted; }

 private:
  bool m_hold;
  int m_listening = -1;
  std::uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_accepted{0};
  std::thread m_thread;
};

class SchedulerTest : public test::SenderTest {
 protected:
  void SetUp() override {
    SenderTest::SetUp();
    m_timings.idlePoll = 100ms;
    m_timings.inUsePause = 100ms;
    m_timings.destroyWait = 2s;
    m_timings.receiveTimeoutMs = 2000;
  }
  bool WaitForFile(const std::string& name, std::chrono::milliseconds timeout = 10s) {
    return WaitFor([&] { return platform::FileExists(In(name)); }, timeout);
  }
  static std::string ReadyTo(const std::string& recipient) {
    ReadyFile ready;
    ready.header = {"FROM: Fax Server <fax@fax.example>", "TO: <" + recipient + ">"};
    ready.attachments = {"<<fax.tif:img1.tif>>"};
    return ready.Text();
  }
};

TEST_F(SchedulerTest, SettingsAreReadAndLoggedAtConstruction) {
  struct Case {
    const char* dnsName;  // null: no such value
    std::uint32_t rfcMode;
    std::string logged;
    bool rfc;
  };
  const Case cases[] = {
      {"127.25.0.1", 1, "SMTPOut- DNS Server IP Address: 127.25.0.1", true},
      {"", 0x100, "SMTPOut- DNS Server IP Address: <empty>", false},  // low byte 0: off
      {nullptr, 0, "SMTPOut- DNS Server IP Address: " + std::string(kDefaultDnsServer), false},
  };
  for (const Case& c : cases) {
    if (c.dnsName) {
      SetString("DNSName", c.dnsName);
    } else {
      platform::RegKey key;
      ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
      ASSERT_EQ(platform::RegDeleteValue(key, "DNSName"), 0);
      platform::RegCloseKey(key);
    }
    SetDword("RFCMode", c.rfcMode);
    SetDword("SmtpTxPort", 2525);
    SMTPOut sender;
    EXPECT_EQ(sender.RfcMode(), c.rfc);
    EXPECT_EQ(sender.RemotePort(), 2525u);
    EXPECT_TRUE(Logged(c.logged + " ")) << Log();
    EXPECT_TRUE(Logged("SMTPOut using remote port 2525"));
  }
}

TEST_F(SchedulerTest, IdleFolderIsReportedOncePerIdlePeriod) {
  StartSender(test::FreeLoopbackPort());
  ASSERT_TRUE(WaitFor([&] { return Logged("SMTPOut- No messages to send."); }));
  std::this_thread::sleep_for(600ms);  // several polls
  StopSender();
  EXPECT_EQ(CountEntries("SMTPOut- SMTPMainThread() begin."), 1);
  EXPECT_EQ(CountEntries("SMTPOut- No messages to send."), 1);
  EXPECT_EQ(CountEntries("SMTPOut::SMTPMainThread() end."), 1);
}

// The idle sender takes a ready file as soon as it is given its ready name, by a rename that
// may replace a file or by one that may not, although its poll would not come for an hour;
// other names do not wake it.
TEST_F(SchedulerTest, ReadyNameArrivingInInWakesTheIdleSender) {
  for (const bool replace : {true, false}) {
    m_timings.idlePoll = 1h;
    StartSender(test::FreeLoopbackPort());  // nothing listens: the file is set aside
    ASSERT_TRUE(WaitFor([&] { return CountEntries("SMTPOut- No messages to send.") >= 1; }));
    WriteWholeFile(In("img1.tif"), "image");
    WriteWholeFile(In("fax1.part"), ReadyTo("user@127.0.0.1"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(CountEntries("SMTPOut- New message thread started"), 0);
    ASSERT_EQ(platform::RenameFile(In("fax1.part"), In("fax1.tmp"), replace), 0);
    ASSERT_TRUE(WaitForFile("FAX1.ConnFailed.Err")) << Log();
    StopSender();
    // Taken once: the set-aside rename and the sender's own files wake it to nothing new.
    EXPECT_EQ(CountEntries("SMTPOut- New message thread started"), 1) << replace;
    EXPECT_EQ(Events(435).size(), 1u);
    platform::DeleteFile(In("FAX1.ConnFailed.Err"));
    platform::DeleteFile(In("img1.tif"));
    platform::DeleteFile(Root() + "/main.log");
    platform::DeleteFile(platform::EventLogPath());
  }
}

TEST_F(SchedulerTest, FiveRefusedConnectionsGiveConnFailedInCapitals) {
  WriteWholeFile(In("fax1.tmp"), ReadyTo("user@127.0.0.1"));
  WriteWholeFile(In("img1.tif"), "image");
  StartSender(test::FreeLoopbackPort());  // nothing listens there
  ASSERT_TRUE(WaitForFile("FAX1.ConnFailed.Err")) << Log();
  StopSender();
  EXPECT_FALSE(platform::FileExists(In("fax1.tmp")));
  EXPECT_EQ(CountEntries("SMTP Out- Unable to connect to the host: 127.0.0.1"), 5);
  EXPECT_EQ(CountEntries("SMTPOut- New message thread started"), 1);
  const auto events = Events(435);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings,
            (std::vector<std::string>{kServiceName, In("fax1.tmp"), In("FAX1.ConnFailed.Err")}));
  EXPECT_EQ(ReadWholeFile(In("img1.tif")), "image");  // stays with the file set aside
  EXPECT_TRUE(InFiles("*.cqx").empty());              // no work file left
}

TEST_F(SchedulerTest, FiveBrokenDialoguesGiveConnTermin) {
  MuteServer server(/*hold=*/false);
  WriteWholeFile(In("Mixed.Case.tmp"), ReadyTo("user@127.0.0.1"));
  StartSender(server.Port());
  ASSERT_TRUE(WaitForFile("MIXED.CASE.ConnTermin.Err")) << Log();
  StopSender();
  EXPECT_EQ(server.Accepted(), 5);
  ASSERT_EQ(Events(435).size(), 1u);
}

TEST_F(SchedulerTest, NoRecipientGivesNoNameInItsOwnLetters) {
  ReadyFile ready;
  ready.header = {"FROM: Fax Server <fax@fax.example>"};
  ready.attachments = {"<<fax.tif:img1.tif>>"};
  WriteWholeFile(In("NoTo.tmp"), ready.Text());
  WriteWholeFile(In("img1.tif"), "image");
  StartSender(test::FreeLoopbackPort());
  ASSERT_TRUE(WaitForFile("NoTo.NoName.Err")) << Log();
  StopSender();
  EXPECT_TRUE(Logged("SMTPOut- ERROR: no rcpt name"));
  EXPECT_FALSE(Logged("SMTPOut- Sending HELO"));
  const auto events = Events(435);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings,
            (std::vector<std::string>{kServiceName, In("NoTo.tmp"), In("NoTo.NoName.Err")}));
  EXPECT_EQ(ReadWholeFile(In("img1.tif")), "image");
}

TEST_F(SchedulerTest, FileThatCannotBeRenamedWaitsForTheNextPoll) {
  ReadyFile ready;
  ready.header = {"FROM: fax"};
  WriteWholeFile(In("stuck.tmp"), ready.Text());
  WriteWholeFile(In("stuck.NoName.Err"), "an earlier one");  // the rename cannot replace it
  m_timings.idlePoll = 1h;
  StartSender(test::FreeLoopbackPort());
  ASSERT_TRUE(WaitFor([&] { return CountEntries("SMTPOut- No messages to send.") == 1; }));
  std::this_thread::sleep_for(300ms);
  // Tried once, then left alone until the next poll instead of being taken again at once.
  EXPECT_EQ(CountEntries("SMTPOut- New message thread started"), 1);
  EXPECT_EQ(CountEntries("SMTPOut- ERROR: Could not rename the message file."), 1);
  EXPECT_TRUE(Logged("SMTPOut- Ready file held back until the next poll: stuck.tmp"));
  // Reported all the same, with the reason where the new name would stand.
  const auto events = Events(435);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, platform::EventType::Error);
  EXPECT_EQ(events[0].strings,
            (std::vector<std::string>{kServiceName, In("stuck.tmp"), "File exists"}));
  EXPECT_TRUE(platform::FileExists(In("stuck.tmp")));
  EXPECT_EQ(ReadWholeFile(In("stuck.NoName.Err")), "an earlier one");
  StopSender();
}

// A message given up after five attempts whose error name cannot be given (the name is taken
// by a folder that is not empty: no rename replaces it, whoever runs the gateway) is still in
// the event log, once, although it is tried again at every poll.
TEST_F(SchedulerTest, GivenUpFileThatCannotBeSetAsideIsReportedOnce) {
  WriteWholeFile(In("fax1.tmp"), ReadyTo("user@127.0.0.1"));
  WriteWholeFile(In("img1.tif"), "image");
  ASSERT_EQ(platform::CreateDirectory(In("FAX1.ConnFailed.Err")), 0);
  WriteWholeFile(In("FAX1.ConnFailed.Err/inside"), "x");
  StartSender(test::FreeLoopbackPort());  // nothing listens there
  ASSERT_TRUE(WaitFor(
      [&] { return CountEntries("SMTPOut- Could not rename the message file.") >= 3; }, 30s))
      << Log();
  StopSender();
  const auto events = Events(435);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, platform::EventType::Error);
  EXPECT_EQ(events[0].strings,
            (std::vector<std::string>{kServiceName, In("fax1.tmp"), "File exists"}));
  EXPECT_TRUE(platform::FileExists(In("fax1.tmp")));
  EXPECT_EQ(ReadWholeFile(In("FAX1.ConnFailed.Err/inside")), "x");
}

// What an entry of IN is, without following a link.
bool IsFifo(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}
bool IsLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
bool IsThere(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Whoever writes to IN can put there what is no regular file. The text it leads to must never
// be mailed, the sender must never wait on it, and the mail of the other ready files goes on.
class NoFileInTest : public SchedulerTest {
 protected:
  static constexpr char kSecret[] = "SECRET-7f3a: not for the mail";
  void SetUp() override {
    SchedulerTest::SetUp();
    m_secret = Root() + "/secret.txt";
    // Text that would go out as a mail of its own, were the link followed.
    ReadyFile text;
    text.body = {kSecret};
    WriteWholeFile(m_secret, text.Text());
  }
  // Delivers the regular ready file fax2.tmp to a scripted server while IN also holds the
  // entries the test made; the entry named set aside has to end up renamed.
  void DeliverBeside(const std::string& setAside, const std::string& renamed) {
    ReadyFile other;
    other.header = {"FROM: Fax Server <fax@fax.example>", "TO: <user@127.0.0.1>"};
    WriteWholeFile(In("fax2.tmp"), other.Text());
    test::ScriptedSmtpServer server(test::ServerScript{});
    StartSender(server.Port());
    const bool done = WaitFor(
        [&] {
          return !platform::FileExists(In("fax2.tmp")) && IsThere(In(renamed)) &&
                 !IsThere(In(setAside));
        },
        10s);
    // An open that waits on a FIFO is released, so that the test can end.
    if (const int fd = ::open(In(setAside).c_str(), O_RDWR | O_NONBLOCK); fd >= 0) ::close(fd);
    StopSender();
    ASSERT_TRUE(done) << Log();
    EXPECT_NE(server.Data().find("Your fax was sent."), std::string::npos);
    EXPECT_EQ(server.Data().find("SECRET-7f3a"), std::string::npos);
    EXPECT_EQ(server.Transcript().find("U0VDUkVU"), std::string::npos);  // nor in base64
    const auto events = Events(435);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{kServiceName, In(setAside), In(renamed)}));
    // Nothing deleted, nothing changed.
    ReadyFile text;
    text.body = {kSecret};
    EXPECT_EQ(ReadWholeFile(m_secret), text.Text());
  }
  std::string m_secret;
};

TEST_F(NoFileInTest, FifoWithAReadyNameIsSetAsideAtOnce) {
  ASSERT_EQ(::mkfifo(In("pipe.tmp").c_str(), 0600), 0);
  DeliverBeside("pipe.tmp", "pipe.Refused.Err");
  EXPECT_TRUE(IsFifo(In("pipe.Refused.Err")));
  EXPECT_TRUE(Logged("SMTPOut- ERROR: not a regular file, set aside: pipe.tmp"));
}

TEST_F(NoFileInTest, SymbolicLinkWithAReadyNameIsSetAsideUnfollowed) {
  ASSERT_EQ(::symlink(m_secret.c_str(), In("link.tmp").c_str()), 0);
  DeliverBeside("link.tmp", "link.Refused.Err");
  EXPECT_TRUE(IsLink(In("link.Refused.Err")));
  EXPECT_TRUE(Logged("SMTPOut- ERROR: not a regular file, set aside: link.tmp"));
}

TEST_F(NoFileInTest, SymbolicLinkAsAttachmentSetsItsReadyFileAside) {
  // With the attachments encoded, and without (where the first is only deleted after delivery).
  for (const std::uint32_t includeTiff : {1u, 0u}) {
    SCOPED_TRACE(includeTiff);
    TearDown();
    SetUp();
    SetOptions(includeTiff, /*subjectLine=*/0);
    ASSERT_EQ(::symlink(m_secret.c_str(), In("img1.tif").c_str()), 0);
    WriteWholeFile(In("fax1.tmp"), ReadyTo("user@127.0.0.1"));
    DeliverBeside("fax1.tmp", "fax1.Refused.Err");
    EXPECT_TRUE(platform::FileExists(In("fax1.Refused.Err")));
    EXPECT_TRUE(IsLink(In("img1.tif")));
    EXPECT_TRUE(Logged("SMTPOut- Error: Attachment is not a regular file: " + In("img1.tif")));
    EXPECT_TRUE(Logged("SMTPOut- ERROR: not a regular file, set aside: fax1.tmp"));
  }
}

// The work file "<handle>.cqx" goes on every way a run ends: a debug copy is kept of a
// delivered or dropped one while the main log is on, never of one that failed.
TEST_F(SchedulerTest, WorkFileNeverStaysInInWhateverTheRunsEnd) {
  enum class Server { None, Mute, Accepting };
  struct Case {
    const char* what;
    ReadyFile ready;
    bool attachmentLink;  // img1.tif is a symbolic link, not a file
    Server server;
    bool mainLog;
    std::string done;  // the name in IN that ends the run; empty: the ready file is gone
    bool debugCopy;
  };
  ReadyFile noReceiver;
  noReceiver.header = {"FROM: Fax Server <fax@fax.example>"};
  ReadyFile toLoopback;
  toLoopback.header = {"FROM: Fax Server <fax@fax.example>", "TO: <user@127.0.0.1>"};
  ReadyFile withAttachment = toLoopback;
  withAttachment.attachments = {"<<fax.tif:img1.tif>>"};
  ReadyFile noSubject = toLoopback;
  noSubject.subject.clear();
  const Case cases[] = {
      {"no receiver", noReceiver, false, Server::None, true, "fax1.NoName.Err", false},
      {"attachment refused", withAttachment, true, Server::Accepting, true, "fax1.Refused.Err",
       false},
      {"connection failed", toLoopback, false, Server::None, true, "FAX1.ConnFailed.Err", false},
      {"dialogue broken", toLoopback, false, Server::Mute, true, "FAX1.ConnTermin.Err", false},
      {"dropped", noSubject, false, Server::None, true, "", true},
      {"delivered", withAttachment, false, Server::Accepting, true, "", true},
      {"delivered, main log off", withAttachment, false, Server::Accepting, false, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    if (!c.mainLog) {
      SetString("logfile", "");
      GetDebugSettings2();
    }
    WriteWholeFile(In("fax1.tmp"), c.ready.Text());
    if (c.attachmentLink) {
      WriteWholeFile(Root() + "/elsewhere", "image");
      ASSERT_EQ(::symlink((Root() + "/elsewhere").c_str(), In("img1.tif").c_str()), 0);
    } else {
      WriteWholeFile(In("img1.tif"), "image");
    }
    std::unique_ptr<MuteServer> mute;
    std::unique_ptr<test::ScriptedSmtpServer> accepting;
    std::uint16_t port = test::FreeLoopbackPort();
    if (c.server == Server::Mute) {
      mute = std::make_unique<MuteServer>(/*hold=*/false);
      port = mute->Port();
    } else if (c.server == Server::Accepting) {
      accepting = std::make_unique<test::ScriptedSmtpServer>(test::ServerScript{});
      port = accepting->Port();
    }
    StartSender(port);
    const std::string waitedFor = c.done.empty() ? "fax1.tmp" : c.done;
    ASSERT_TRUE(
        WaitFor([&] { return platform::FileExists(In(waitedFor)) == !c.done.empty(); }, 10s))
        << Log();
    StopSender();
    EXPECT_EQ(InFiles("*.cqx"), std::vector<std::string>{});
    EXPECT_EQ(InFiles("*.debug").size(), c.debugCopy ? 1u : 0u);
  }
}

TEST_F(SchedulerTest, ReadyFileHeldByItsWriterDoesNotKeepTheSenderBusy) {
  WriteWholeFile(In("held.tmp"), ReadyTo("user@127.0.0.1"));
  platform::File writer;  // the fax server, still writing it
  ASSERT_EQ(platform::File::Open(In("held.tmp"), platform::Access::Write, platform::Share::None,
                                 platform::Disposition::OpenExisting, writer),
            0);
  m_timings.idlePoll = 1s;
  StartSender(test::FreeLoopbackPort());
  std::this_thread::sleep_for(3s);
  StopSender();
  // A run that could open nothing waits for the next poll: a run a second, not thousands.
  const int runs = CountEntries("SMTPOut- New message thread started");
  EXPECT_GE(runs, 1);
  EXPECT_LE(runs, 5) << Log();
  EXPECT_LT(Log().size(), 64u * 1024);
  writer.Close();
  EXPECT_TRUE(platform::FileExists(In("held.tmp")));
}

TEST_F(SchedulerTest, MailHostThatNeverAnswersTheConnectionIsUnreachable) {
  test::UnansweringListener silent;
  WriteWholeFile(In("fax1.tmp"), ReadyTo("user@127.0.0.1"));
  WriteWholeFile(In("img1.tif"), "image");
  m_timings.connectTimeoutMs = 300;
  StartSender(silent.port);
  ASSERT_TRUE(WaitForFile("FAX1.ConnFailed.Err", 20s)) << Log();
  StopSender();
  EXPECT_EQ(CountEntries("SMTP Out- Unable to connect to the host: 127.0.0.1"), 5);
  EXPECT_GE(CountEntries("WSA Socket Error: (10060)"), 5);
}

TEST_F(SchedulerTest, DestructionWaitsForTheDeliveryInProgress) {
  MuteServer server(/*hold=*/true);
  WriteWholeFile(In("slow.tmp"), ReadyTo("user@127.0.0.1"));
  m_timings.destroyWait = 100ms;
  m_timings.receiveTimeoutMs = 300;
  StartSender(server.Port());
  ASSERT_TRUE(WaitFor([&] { return server.Accepted() >= 1; }));
  StopSender();  // the run must not lose its object
  EXPECT_TRUE(Logged("SMTPOut- Delivery in progress at shutdown; waiting for it to end."));
  EXPECT_EQ(CountEntries("SMTPOut- SMTPOutThread() end."), 1);
  EXPECT_EQ(CountEntries("SMTPOut::SMTPMainThread() end."), 1);
}

}  // namespace
}  // namespace faxmail
