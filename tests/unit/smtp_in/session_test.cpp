// The SMTP receive session against a scripted client on loopback: every reply byte for byte,
// what reaches the raw message file, and how the session ends.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "tests/support/receiver_fixture.h"
#include "tests/support/smtp_client.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;
using test::ScriptedClient;

constexpr char kGreeting[] = "220 fax.example Service Ready\r\n";

TEST(ParseCommandTest, FirstFourCharactersOnly) {
  struct Case {
    const char* line;
    SmtpCommand command;
  } cases[] = {
      {"HELO x", HELO},   {"helo", HELO},        {"MAILFROM:<a>", MAIL}, {"RCPT TO:<b>", RCPT},
      {"data", DATA},     {"HELP me", HELP},     {"QUITTING", QUIT},     {"NOOP", NOOP},
      {"RsEt", RSET},     {"EHLO x", Unknown},   {"QUI", Unknown},       {"", Unknown},
      {" HELO", Unknown}, {"STARTTLS", Unknown},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseCommand(c.line), c.command) << c.line;
}

TEST(ParseCommandTest, ArgumentLosesLeadingBlanksOnly) {
  EXPECT_EQ(CommandArgument("MAIL FROM:<a@b>"), "FROM:<a@b>");
  EXPECT_EQ(CommandArgument("MAILFROM:<a@b>"), "FROM:<a@b>");
  EXPECT_EQ(CommandArgument("HELO    "), "");
  EXPECT_EQ(CommandArgument("HELO"), "");
  EXPECT_EQ(CommandArgument("HELO \thost "), "\thost ");
}

class SessionTest : public test::ReceiverTest {
 protected:
  // The main channel keeps raw message files as debug copies, which the tests read.
  void SetUp() override {
    test::ReceiverTest::SetUp();
    StartReceiver("logfile", "main.log");
  }

  void Connect(ScriptedClient& client) {
    ASSERT_TRUE(client.Connect(m_port));
    ASSERT_EQ(client.ReadLine(), kGreeting);
  }
  // Sends a command and returns the reply line.
  std::string Command(ScriptedClient& client, const std::string& line) {
    EXPECT_TRUE(client.Send(line));
    return client.ReadLine();
  }
  void Envelope(ScriptedClient& client) {
    ASSERT_EQ(Command(client, "HELO relay.example\r\n"), "250 fax.example relay.example\r\n");
    ASSERT_EQ(Command(client, "MAIL FROM:<a@example.org>\r\n"),
              "250 OK  FROM:<a@example.org> \r\n");
    ASSERT_EQ(Command(client, "RCPT TO:<12345@fax>\r\n"), "250 OK  TO:<12345@fax> \r\n");
    ASSERT_EQ(Command(client, "DATA\r\n"), "354 Start mail input, end with <CRLF>.<CRLF>\r\n");
  }
  // The raw message files kept as debug copies, oldest first.
  std::vector<std::string> KeptMessages() {
    std::vector<platform::DirEntry> entries;
    platform::FindFiles(m_data + "OUT", "*.debug", entries);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return std::stoi(a.name) < std::stoi(b.name); });
    std::vector<std::string> texts;
    for (const auto& e : entries) texts.push_back(ReadWholeFile(m_data + "OUT/" + e.name));
    return texts;
  }
  // Waits until the session's files are settled (the server closes after QUIT).
  void Quit(ScriptedClient& client) {
    EXPECT_EQ(Command(client, "QUIT\r\n"), "221 Goodbye\r\n");
    EXPECT_TRUE(client.WaitClosed());
  }
  std::string Log() { return ReadWholeFile(Root() + "/main.log"); }
};

struct Exchange {
  std::string send;
  std::string reply;
};

TEST_F(SessionTest, DialogueReplies) {
  const std::vector<std::vector<Exchange>> dialogues = {
      {{"helo relay.example\r\n", "250 fax.example relay.example\r\n"}},
      {{"HELO\r\n", "250 fax.example \r\n"}},
      {{"MAIL FROM:<a@b>\r\n", "503 Bad Sequence Of Commands.\r\n"},
       {"RCPT TO:<a@b>\r\n", "503 Bad Sequence Of Commands.\r\n"},
       {"DATA\r\n", "503 Bad Sequence Of Commands.\r\n"},
       {"HELO x\r\n", "250 fax.example x\r\n"},
       {"RCPT TO:<a@b>\r\n", "503 Bad Sequence Of Commands.\r\n"},
       {"HELO y\r\n", "503 Bad Sequence Of Commands.\r\n"},
       {"MAILFROM:<a@b>\r\n", "250 OK  FROM:<a@b> \r\n"},
       {"DATA\r\n", "503 Bad Sequence Of Commands.\r\n"},
       {"MAIL FROM:<c@d>\r\n", "503 Bad Sequence Of Commands.\r\n"},
       {"RCPT TO:<1@fax>\r\n", "250 OK  TO:<1@fax> \r\n"},
       {"RCPT    TO:<1@fax>\r\n", "250 OK  TO:<1@fax> \r\n"},
       {"RSET\r\n", "250 Ok\r\n"},
       {"NOOP\r\n", "250 Requested mail action ok, completed\r\n"},
       {"EHLO x\r\n", "500 Syntax Error, Command Unknown.\r\n"},
       {"DATA\r\n", "354 Start mail input, end with <CRLF>.<CRLF>\r\n"}},
  };
  for (const auto& dialogue : dialogues) {
    ScriptedClient client;
    Connect(client);
    for (const auto& step : dialogue)
      EXPECT_EQ(Command(client, step.send), step.reply) << step.send;
  }
}

TEST_F(SessionTest, HelpBlock) {
  ScriptedClient client;
  Connect(client);
  ASSERT_TRUE(client.Send("HELP me\r\n"));
  std::vector<std::string> lines;
  for (int i = 0; i < 13; ++i) lines.push_back(client.ReadLine());
  EXPECT_EQ(lines.front(), "214- SMTP Fax Gateway Service \r\n");
  EXPECT_EQ(lines[3], "214-    HELO   MAIL   RCPT   DATA   HELP   QUIT \r\n");
  EXPECT_EQ(lines[11], "214-\t\tQUIT \r\n");
  EXPECT_EQ(lines.back(), "214  ================================================ \r\n");
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(lines[static_cast<std::size_t>(i)].starts_with("214-"));
  Quit(client);
}

TEST_F(SessionTest, EmptyLineEndsTheSessionWithoutAReply) {
  ScriptedClient client;
  Connect(client);
  ASSERT_TRUE(client.Send("\r\n"));
  EXPECT_EQ(client.ReadUntilClosed(), "");
  EXPECT_NE(Log().find("SMTPIn- Message processing complete: "), std::string::npos);
}

TEST_F(SessionTest, QuitInEveryStateSaysGoodbye) {
  for (const std::string before : {"", "HELO h\r\n", "HELO h\r\nMAIL FROM:<a>\r\n"}) {
    ScriptedClient client;
    Connect(client);
    client.Send(before);
    for (std::size_t i = 0;
         i < static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n')); ++i)
      client.ReadLine();
    EXPECT_EQ(Command(client, "QUITnow\r\n"), "221 Goodbye\r\n");
    EXPECT_TRUE(client.WaitClosed());
  }
}

TEST_F(SessionTest, DataEndsOnlyWithDotCrLfAtALineStart) {
  struct Case {
    const char* name;
    std::string data;    // sent after DATA, before the real end line
    std::string stored;  // what follows the Received line in the file
  } cases[] = {
      {"plain", "Subject: x\r\n\r\nbody\r\n", "Subject: x\r\n\r\nbody\r\n"},
      {"dot-stuffed line", "..\r\n..x\r\n.y\r\n", ".\r\n.x\r\ny\r\n"},
      {"dots with a bare LF", "a\r\n..\nb\r\n", "a\r\n.\nb\r\n"},
      {"dot after a bare LF", "a\n.\r\nb\r\n", "a\n.\r\nb\r\n"},
      {"dot before a bare LF", "a\r\n.\nb\r\n", "a\r\n\nb\r\n"},
      {"tail of a long line", std::string(100, 'x') + ".\r\n", std::string(100, 'x') + ".\r\n"},
      {"CR LF split over two chunks", std::string(99, 'y') + "\r\n.z\r\n",
       std::string(99, 'y') + "\r\nz\r\n"},
      {"lone CR", "a\r.\r\n", "a\r.\r\n"},
  };
  int number = 0;
  for (const auto& c : cases) {
    ScriptedClient client;
    Connect(client);
    Envelope(client);
    ASSERT_TRUE(client.Send(c.data + ".\r\n"));
    EXPECT_EQ(client.ReadLine(), "250 Mail Received OK\r\n") << c.name;
    Quit(client);
    const auto kept = KeptMessages();
    ASSERT_EQ(kept.size(), static_cast<std::size_t>(++number)) << c.name;
    EXPECT_EQ(kept.back(), "Received: from relay.example by fax.example ; \r\n" + c.stored)
        << c.name;
  }
}

TEST_F(SessionTest, ByteByByteDeliveryGivesTheSameFile) {
  ScriptedClient client;
  Connect(client);
  const std::string script =
      "HELO relay.example\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<1@fax>\r\nDATA\r\n"
      "line one\r\n..two\r\n.\r\nQUIT\r\n";
  for (const char c : script) {
    ASSERT_TRUE(client.Send(std::string(1, c)));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const std::string replies = client.ReadUntilClosed();
  EXPECT_NE(replies.find("250 Mail Received OK\r\n221 Goodbye\r\n"), std::string::npos) << replies;
  const auto kept = KeptMessages();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0], "Received: from relay.example by fax.example ; \r\nline one\r\n.two\r\n");
}

TEST_F(SessionTest, TwoMessagesOnOneConnectionAndRecipientsDropped) {
  ScriptedClient client;
  Connect(client);
  Envelope(client);
  ASSERT_TRUE(client.Send("first\r\n.\r\n"));
  EXPECT_EQ(client.ReadLine(), "250 Mail Received OK\r\n");
  // The old recipients stay until the next MAIL, which drops them.
  EXPECT_EQ(Command(client, "MAIL FROM:<b@example.org>\r\n"), "250 OK  FROM:<b@example.org> \r\n");
  EXPECT_EQ(Command(client, "DATA\r\n"), "503 Bad Sequence Of Commands.\r\n");
  EXPECT_EQ(Command(client, "RCPT TO:<2@fax>\r\n"), "250 OK  TO:<2@fax> \r\n");
  EXPECT_EQ(Command(client, "RCPT TO:<3@fax>\r\n"), "250 OK  TO:<3@fax> \r\n");
  EXPECT_EQ(Command(client, "RSET\r\n"), "250 Ok\r\n");
  EXPECT_EQ(Command(client, "DATA\r\n"), "354 Start mail input, end with <CRLF>.<CRLF>\r\n");
  ASSERT_TRUE(client.Send("second\r\n.\r\n"));
  EXPECT_EQ(client.ReadLine(), "250 Mail Received OK\r\n");
  Quit(client);
  const auto kept = KeptMessages();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_TRUE(kept[0].ends_with("first\r\n"));
  EXPECT_TRUE(kept[1].ends_with("second\r\n"));
}

TEST_F(SessionTest, CutOffDataIsNeitherAcknowledgedNorSpooled) {
  {
    ScriptedClient client;
    Connect(client);
    Envelope(client);
    ASSERT_TRUE(client.Send("half a message\r\nand no end"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.Close();
  }
  // The session has ended when its completion line is logged.
  for (int i = 0; i < 200 && Log().find("Message processing complete") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string log = Log();
  EXPECT_NE(log.find("SMTPIn- Data ended without the end line, message not spooled: " +
                     test::NativePath("/0.cqx")),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("SMTPIn - Decode(fname)"), std::string::npos);
  EXPECT_FALSE(platform::FileExists(m_data + "OUT/0.cqx"));
  const auto kept = KeptMessages();  // kept for inspection while the main channel is on
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(kept[0].ends_with("half a message\r\n")) << kept[0];
}

TEST_F(SessionTest, UnstorableMessageIsReadToItsEndAndRefused) {
  ASSERT_EQ(platform::RemoveDirectory(m_data + "OUT"), 0);
  ScriptedClient client;
  Connect(client);
  Envelope(client);
  ASSERT_TRUE(client.Send("body\r\n.\r\n"));
  EXPECT_EQ(client.ReadLine(), "451 Requested action aborted: local error in processing\r\n");
  // The session goes on: the next message can be offered.
  EXPECT_EQ(Command(client, "MAIL FROM:<a@b>\r\n"), "250 OK  FROM:<a@b> \r\n");
  Quit(client);
  EXPECT_NE(Log().find("QUE_AddMsg Error: File open: "), std::string::npos);
}

TEST_F(SessionTest, OverLongCommandLineComesInPieces) {
  ScriptedClient client;
  Connect(client);
  const std::string relay(96, 'r');
  ASSERT_TRUE(client.Send("HELO " + relay + "tail\r\n"));
  // The first 100 bytes are the HELO line; "tail" arrives as a command of its own.
  EXPECT_EQ(client.ReadLine(), "250 fax.example " + relay.substr(0, 95) + "\r\n");
  EXPECT_EQ(client.ReadLine(), "500 Syntax Error, Command Unknown.\r\n");
  Quit(client);
}

TEST_F(SessionTest, ConnectionsOverTheLimitGetNoByte) {
  ASSERT_EQ(m_server->SetMaxConnections(2), 0);
  ScriptedClient first, second, third;
  Connect(first);
  Connect(second);
  ASSERT_TRUE(third.Connect(m_port));
  EXPECT_EQ(third.ReadUntilClosed(), "");
  Quit(first);
  Quit(second);
}

TEST_F(SessionTest, TooManyRecipientsAreRefused) {
  ScriptedClient client;
  Connect(client);
  ASSERT_EQ(Command(client, "HELO h\r\n"), "250 fax.example h\r\n");
  ASSERT_EQ(Command(client, "MAIL FROM:<a>\r\n"), "250 OK  FROM:<a> \r\n");
  std::string batch;
  for (std::size_t i = 0; i < SMTPInThread::kMaxRecipients; ++i)
    batch += "RCPT TO:<" + std::to_string(i) + "@fax>\r\n";
  ASSERT_TRUE(client.Send(batch));
  for (std::size_t i = 0; i < SMTPInThread::kMaxRecipients; ++i)
    ASSERT_TRUE(client.ReadLine().starts_with("250 OK"));
  EXPECT_EQ(Command(client, "RCPT TO:<x@fax>\r\n"), "452 Too many recipients\r\n");
  Quit(client);
}

TEST_F(SessionTest, SilentClientIsDroppedAfterTheTimeOut) {
  m_server->SetConnectionTimeout(200);
  ScriptedClient client;
  Connect(client);
  EXPECT_TRUE(client.WaitClosed(3000));
}

TEST_F(SessionTest, NulBytesAreStoredAsData) {
  ScriptedClient client;
  Connect(client);
  Envelope(client);
  ASSERT_TRUE(client.Send(std::string("a\0b\r\n.\r\n", 8)));
  EXPECT_EQ(client.ReadLine(), "250 Mail Received OK\r\n");
  Quit(client);
  const auto kept = KeptMessages();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(kept[0].ends_with(std::string("a\0b\r\n", 5)));
}

// A receiver whose connection threads wait, after the session, until the test lets them go: a
// session that has ended is still on its thread, as it is for a moment on a busy machine.
class HeldReceiver : public SMTPIn {
 public:
  using SMTPIn::SMTPIn;
  ~HeldReceiver() override {
    Let();
    Shutdown();
  }
  void ReleaseConnection(std::unique_ptr<C_WSTHREAD> connection) override {
    std::unique_lock lock(m_lock);
    m_changed.wait(lock, [this] { return m_let; });
    SMTPIn::ReleaseConnection(std::move(connection));
  }
  void Let() {
    std::lock_guard lock(m_lock);
    m_let = true;
    m_changed.notify_all();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_let = false;
};

TEST_F(SessionTest, EndedSessionGivesItsPlaceBackBeforeTheGoodbye) {
  HeldReceiver server(*m_fileMan);
  ASSERT_EQ(server.ConnectToPort(0, 5, platform::kAfInet, 0x7f000001), 0);
  const std::uint16_t port = platform::NetToHost16(server.BoundAddress().port);
  ASSERT_EQ(server.StartAcceptThread(), 0);
  ASSERT_EQ(server.SetMaxConnections(2), 0);
  // Each client holds at most two connections: the one just ended and the next.
  for (int round = 0; round < 4; ++round) {
    ScriptedClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_EQ(client.ReadLine(), kGreeting) << round;
    EXPECT_EQ(Command(client, "QUIT\r\n"), "221 Goodbye\r\n");
  }
  server.Let();
  EXPECT_EQ(Log().find("ClientThreadEntry : exceeded the max. no. of connections."),
            std::string::npos);
}

TEST_F(SessionTest, ControlCharacterInACommandIsAnUnknownCommand) {
  struct Case {
    std::string before;   // commands that bring the session into its state
    std::string command;  // without its CR LF
  } cases[] = {
      {"", std::string("HELO a\0b", 8)},
      {"", std::string("HELO \0", 6)},
      {"", std::string("\0HELO a", 7)},
      {"HELO h\r\n", std::string("MAIL FROM:<a\0@b>", 16)},
      {"HELO h\r\n", "MAIL FROM:<a\x01@b>"},
      {"HELO h\r\nMAIL FROM:<a>\r\n", std::string("RCPT TO:<1\0@fax>", 16)},
      {"HELO h\r\nMAIL FROM:<a>\r\n", "RCPT TO:<1\r@fax>"},
      {"HELO h\r\nMAIL FROM:<a>\r\n", std::string("QUIT\0", 5)},
  };
  for (const auto& c : cases) {
    ScriptedClient client;
    Connect(client);
    client.Send(c.before);
    for (std::size_t i = 0;
         i < static_cast<std::size_t>(std::count(c.before.begin(), c.before.end(), '\n')); ++i)
      ASSERT_TRUE(client.ReadLine().starts_with("250 ")) << c.before;
    EXPECT_EQ(Command(client, c.command + "\r\n"), "500 Syntax Error, Command Unknown.\r\n")
        << c.command.size();
    // The session goes on where it was.
    EXPECT_EQ(Command(client, "NOOP\r\n"), "250 Requested mail action ok, completed\r\n");
    Quit(client);
  }
  // A TAB is an ordinary character of an argument.
  ScriptedClient client;
  Connect(client);
  EXPECT_EQ(Command(client, "HELO \thost\r\n"), "250 fax.example \thost\r\n");
  Quit(client);
}

TEST(CommandLineTest, ControlCharacters) {
  EXPECT_FALSE(HasControlCharacter("HELO host"));
  EXPECT_FALSE(HasControlCharacter("HELO \thost \xe9"));
  EXPECT_TRUE(HasControlCharacter(std::string("HELO \0", 6)));
  EXPECT_TRUE(HasControlCharacter("MAIL FROM:<a\r>"));
  EXPECT_TRUE(HasControlCharacter("RCPT TO:<\x1f>"));
  EXPECT_TRUE(HasControlCharacter("NOOP\x7f"));
}

// Sends one byte at a time, each well within the receive time-out, until the server closes or
// the bound runs out; whether it closed.
bool DribbleUntilClosed(ScriptedClient& client, const std::string& bytes, int boundMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  for (std::size_t i = 0; std::chrono::steady_clock::now() < end; ++i) {
    client.Send(bytes.substr(i % bytes.size(), 1));
    if (client.WaitClosed(100)) return true;
  }
  return false;
}

TEST_F(SessionTest, TricklingClientIsCutOffAtTheCommandTimeLimit) {
  ASSERT_EQ(m_server->SetMaxConnections(1), 0);
  m_server->SetConnectionTimeout(2000);
  m_server->SetSessionTimeLimits(1000, 60000);
  ScriptedClient slow;
  Connect(slow);
  // Never a whole line: "NOOP" and more letters, a byte every 100 ms.
  EXPECT_TRUE(DribbleUntilClosed(slow, "NOOPNOOP", 20000));
  EXPECT_NE(Log().find("SMTPIn- Session time limit reached, connection closed: 127.0.0.1"),
            std::string::npos);
  // Its place is free again.
  ScriptedClient next;
  ASSERT_TRUE(next.Connect(m_port));
  EXPECT_EQ(next.ReadLine(), kGreeting);
  Quit(next);
}

TEST_F(SessionTest, TricklingClientIsCutOffAtTheDataTimeLimit) {
  ASSERT_EQ(m_server->SetMaxConnections(1), 0);
  m_server->SetConnectionTimeout(2000);
  m_server->SetSessionTimeLimits(60000, 1500);
  ScriptedClient slow;
  Connect(slow);
  Envelope(slow);
  // Whole lines, each one restarting no limit of its own.
  EXPECT_TRUE(DribbleUntilClosed(slow, "line\r\n", 20000));
  EXPECT_NE(Log().find("SMTPIn- Session time limit reached, connection closed: 127.0.0.1"),
            std::string::npos);
  EXPECT_NE(Log().find("SMTPIn- Data ended without the end line, message not spooled: "),
            std::string::npos);
  ScriptedClient next;
  ASSERT_TRUE(next.Connect(m_port));
  EXPECT_EQ(next.ReadLine(), kGreeting);
  Quit(next);
}

TEST_F(SessionTest, CommandsWithinTheLimitKeepTheSessionGoing) {
  m_server->SetSessionTimeLimits(1500, 1500);
  ScriptedClient client;
  Connect(client);
  // Each complete command starts the limit again.
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(Command(client, "NOOP\r\n"), "250 Requested mail action ok, completed\r\n");
  }
  Quit(client);
}

}  // namespace
}  // namespace faxmail
