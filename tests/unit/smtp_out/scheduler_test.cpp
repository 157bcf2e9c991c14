// The sender's scheduler without a mail server: settings, idle polling, the five attempts and
// the error names, files set aside, files that cannot be renamed, and destruction while a
// delivery runs. No DNS server answers, so deliveries go to 127.0.0.1 on the test's port.
// What IN holds that is no regular file (FIFOs, links) is in scheduler_posix_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/smtp_out.h"
#include "tests/unit/net/net_test_util.h"
#include "tests/unit/smtp_out/scheduler_test_fixture.h"
#include "tests/unit/smtp_out/scripted_server.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail {
namespace {

using namespace std::chrono_literals;
using test::MuteServer;
using test::ReadWholeFile;
using test::ReadyFile;
using test::SchedulerTest;
using test::WaitFor;
using test::WriteWholeFile;

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
    if (EventsKept()) {
      EXPECT_EQ(Events(435).size(), 1u);
    }
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
  if (EventsKept()) {
    const auto events = Events(435);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{kServiceName, In("fax1.tmp"), In("FAX1.ConnFailed.Err")}));
  }
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
  if (EventsKept()) {
    ASSERT_EQ(Events(435).size(), 1u);
  }
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
  if (EventsKept()) {
    const auto events = Events(435);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{kServiceName, In("NoTo.tmp"), In("NoTo.NoName.Err")}));
  }
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
  if (EventsKept()) {
    const auto events = Events(435);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, platform::EventType::Error);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{kServiceName, In("stuck.tmp"), "File exists"}));
  }
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
  if (EventsKept()) {
    const auto events = Events(435);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, platform::EventType::Error);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{kServiceName, In("fax1.tmp"), "File exists"}));
  }
  EXPECT_TRUE(platform::FileExists(In("fax1.tmp")));
  EXPECT_EQ(ReadWholeFile(In("FAX1.ConnFailed.Err/inside")), "x");
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
      std::error_code noLink;
      std::filesystem::create_symlink(Root() + "/elsewhere", In("img1.tif"), noLink);
      // Wine makes no symbolic links: the row is left out there.
      if (noLink && test::UnderWine()) continue;
      ASSERT_FALSE(noLink) << noLink.message();
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
