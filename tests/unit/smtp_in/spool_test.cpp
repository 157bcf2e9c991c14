// Received mail to the fax server's files: the envelope byte for byte, the files it names, and
// the ready name given last.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "gateway/decode/recipients.h"
#include "gateway/queue/counters.h"
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

constexpr char kMessage[] =
    "From: Alice <alice@example.org>\r\n"
    "To: Fax User <12345@fax.example>, other@example.org\r\n"
    "Subject: =?iso-8859-1?Q?Caf=E9_order?=\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--b1\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "Please fax this.\r\n"
    "..Second line.\r\n"
    "--b1\r\n"
    "Content-Type: image/jpeg; name=\"photo.jpeg\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "/9j/AAEC\r\n"
    "--b1--\r\n";

// Bounds a session's wait for its replies against a hang only. The 20-session cases queue each
// decode behind all the others', and under an emulated system on a loaded machine such a queue
// has taken longer than 10 s.
constexpr int kReplyBoundMs = 60000;

class SpoolTest : public test::ReceiverTest {
 protected:
  void SetUp() override {
    test::ReceiverTest::SetUp();
    StartReceiver("logfileb", "secondary.log");
  }

  // One whole SMTP transaction; the data is sent dot-stuffed as given.
  void Send(const std::string& data,
            const std::vector<std::string>& recipients = {"<12345@fax.example>"}) {
    ScriptedClient client;
    ASSERT_TRUE(client.Connect(m_port));
    std::string script = "HELO relay.example\r\nMAIL FROM:<alice@example.org>\r\n";
    for (const auto& r : recipients) script += "RCPT TO:" + r + "\r\n";
    script += "DATA\r\n" + data + ".\r\nQUIT\r\n";
    ASSERT_TRUE(client.Send(script));
    const std::string replies = client.ReadUntilClosed(kReplyBoundMs);
    ASSERT_NE(replies.find("250 Mail Received OK\r\n221 Goodbye\r\n"), std::string::npos)
        << replies;
  }
  std::vector<std::string> Out(const std::string& pattern) {
    std::vector<platform::DirEntry> entries;
    platform::FindFiles(m_out, pattern, entries);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(SpoolTest, MessageWithTextAndAttachmentBecomesAReadyEnvelope) {
  Send(kMessage);
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.tmp"),
            "FROM: <alice@example.org>\r\n"
            "TO: \"Fax User\" <12345@fax.example>\r\n"
            "SUBJECT: Caf\xE9 order\r\n"
            "\r\n"
            "BEGIN BODY\r\n"
            "<<ENV0.bdy>>\r\n"
            "END BODY\r\n"
            "\r\n"
            "BEGIN ATTACH\r\n"
            "<<photo.jpeg:ATT0.jpe>>\r\n"
            "END ATTACH\r\n");
  // The line end before a boundary belongs to the boundary.
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.bdy"), "Please fax this.\r\n.Second line.");
  EXPECT_EQ(ReadWholeFile(m_out + "ATT0.jpe"), std::string("\xff\xd8\xff\x00\x01\x02", 6));
  // Nothing else is left: no raw message, no scratch file, no envelope under its plain name.
  EXPECT_EQ(Out("*"), (std::vector<std::string>{"ATT0.jpe", "ENV0.bdy", "ENV0.tmp"}));
  EXPECT_EQ(IsEnvFileNameInUse(), 0u);
  EXPECT_EQ(IsAttFileNameInUse(), 0u);
  const std::string log = ReadWholeFile(Root() + "/secondary.log");
  EXPECT_NE(log.find("SMTPIn- Renaming to: " + m_out + "ENV0.tmp"), std::string::npos);
  EXPECT_NE(log.find("SMTPIn- Attachment File Size: 6"), std::string::npos);
}

TEST_F(SpoolTest, MessageWithoutAttachmentHasNoAttachBlock) {
  Send("From: a@b\r\nSubject: s\r\n\r\nbody\r\n");
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.tmp"),
            "FROM: <a@b>\r\nSUBJECT: s\r\n\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n");
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.bdy"), "body\r\n");
}

// The attachment list is made only for a message that has an attachment, as the first one is
// saved; its name is logged then, and the list is gone once the envelope is ready.
TEST_F(SpoolTest, OnlyAMessageWithAnAttachmentGetsAnAttachmentList) {
  constexpr char kListLine[] = "SMTPIn - attachment file name: ";
  Send("From: a@b\r\nSubject: s\r\n\r\nbody\r\n");
  std::string log = ReadWholeFile(Root() + "/secondary.log");
  EXPECT_EQ(log.find(kListLine), std::string::npos);
  EXPECT_NE(log.find("SMTPIn- Renaming to: " + m_out + "ENV0.tmp"), std::string::npos);

  Send(kMessage);
  log = ReadWholeFile(Root() + "/secondary.log");
  const auto envelope = log.find("SMTPIn - New file name: " + m_out + "ENV1");
  const auto list = log.find(kListLine + m_out + "~ATTC000.imp");
  const auto listed = log.find("SMTPIn- BEGIN ATTACH written: <<photo.jpeg:ATT0.jpe>>");
  ASSERT_NE(list, std::string::npos) << log;
  EXPECT_EQ(log.find(kListLine, list + 1), std::string::npos);
  EXPECT_LT(envelope, list);
  EXPECT_LT(list, listed);
  EXPECT_NE(listed, std::string::npos);
  EXPECT_NE(ReadWholeFile(m_out + "ENV1.tmp").find("<<photo.jpeg:ATT0.jpe>>"), std::string::npos);
  EXPECT_TRUE(Out("~*").empty());
}

TEST_F(SpoolTest, InjectionAttemptsStayInsideTheirLines) {
  Send(
      "From: a@b\r\n"
      "To: 12345@fax.example\r\n"
      "Subject: =?x?Q?x=0D=0ABEGIN_ATTACH=0D=0A<<a:../../etc/passwd>>?=\r\n"
      "Content-Type: multipart/mixed; boundary=z\r\n\r\n"
      "--z\r\n"
      "Content-Type: application/pdf; name=\"a:b<c>.pdf\"\r\n\r\n"
      "%PDF\r\n"
      "--z\r\n"
      "Content-Type: application/octet-stream; name=\"../../x.p/f\"\r\n\r\n"
      "bytes\r\n"
      "--z--\r\n");
  const std::string envelope = ReadWholeFile(m_out + "ENV0.tmp");
  EXPECT_EQ(envelope,
            "FROM: <a@b>\r\n"
            "TO: \"12345\" <12345@fax.example>\r\n"
            "SUBJECT: xBEGIN ATTACH<<a:../../etc/passwd>>\r\n"
            "\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n"
            "BEGIN ATTACH\r\n"
            "<<a_b_c_.pdf:ATT0.pdf>>\r\n"
            "<<../../x.p/f:ATT1.>>\r\n"
            "END ATTACH\r\n");
  EXPECT_TRUE(platform::FileExists(m_out + "ATT0.pdf"));
  EXPECT_TRUE(platform::FileExists(m_out + "ATT1."));
}

// The worst case for a To value that waits for a later header (its first line has a colon):
// every address is taken, so any header line that ran into the value would be a recipient.
TEST_F(SpoolTest, HeadersAfterAGroupNeverBecomeRecipients) {
  SetOverrideAddressCheck(true);
  Send(
      "From: a@b\r\n"
      "Subject: =?utf-8?Q?Fax?= =?iso-8859-1?B?IG9yZGVy?= =?utf-8?Q?_for_you?=\r\n"
      "To: fax desk: 12345@fax.example,\r\n 777@fax.example;\r\n"
      "Date: Tue, 8 Dec 2026 10:00:00 +0000\r\n"
      "Message-ID: <m1@host.example>\r\n"
      "\r\n"
      "body\r\n");
  SetOverrideAddressCheck(false);
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.tmp"),
            "FROM: <a@b>\r\n"
            "TO: \"12345\" <12345@fax.example>\r\n"
            "TO: \"777\" <777@fax.example>\r\n"
            "SUBJECT: Fax order for you\r\n"
            "\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n");
}

TEST_F(SpoolTest, UnnamedAttachmentIsNamedAfterItsType) {
  Send(
      "From: a@b\r\nContent-Type: multipart/mixed; boundary=z\r\n\r\n"
      "--z\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: "
      "base64\r\n\r\niVBORw==\r\n--z--\r\n");
  EXPECT_NE(ReadWholeFile(m_out + "ENV0.tmp").find("<<attachment.png:ATT0.png>>\r\n"),
            std::string::npos);
  EXPECT_EQ(ReadWholeFile(m_out + "ATT0.png"), "\x89PNG");
}

TEST_F(SpoolTest, SessionsFinishingTogetherGetConsecutiveEnvelopes) {
  constexpr int kSessions = 20;
  std::vector<std::thread> threads;
  for (int i = 0; i < kSessions; ++i) {
    threads.emplace_back([this, i] {
      Send("From: s" + std::to_string(i) + "@x\r\nSubject: n" + std::to_string(i) + "\r\n\r\n" +
           std::string(2000, 'a' + static_cast<char>(i % 26)) + "\r\n");
    });
  }
  for (auto& t : threads) t.join();
  for (int n = 0; n < kSessions; ++n) {
    const std::string envelope = ReadWholeFile(m_out + "ENV" + std::to_string(n) + ".tmp");
    ASSERT_FALSE(envelope.empty()) << n;
    // Each envelope belongs to one message, whole: its subject names the body it points to.
    const auto at = envelope.find("SUBJECT: n");
    ASSERT_NE(at, std::string::npos) << envelope;
    const int sender = std::stoi(envelope.substr(at + 10));
    EXPECT_NE(envelope.find("FROM: <s" + std::to_string(sender) + "@x>"), std::string::npos);
    EXPECT_NE(envelope.find("<<ENV" + std::to_string(n) + ".bdy>>"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(m_out + "ENV" + std::to_string(n) + ".bdy"),
              std::string(2000, 'a' + static_cast<char>(sender % 26)) + "\r\n");
  }
  EXPECT_EQ(Out("*.tmp").size(), static_cast<std::size_t>(kSessions));
  EXPECT_TRUE(Out("*.cqx").empty());
}

TEST_F(SpoolTest, SessionsDecodingTogetherListOnlyTheirOwnAttachments) {
  // Each decode's attachment list is its own, made while other decodes hold the work lock: an
  // envelope names its message's attachment alone, and no list is left behind.
  constexpr int kSessions = 20;
  std::vector<std::thread> threads;
  for (int i = 0; i < kSessions; ++i) {
    threads.emplace_back([this, i] {
      const std::string n = std::to_string(i);
      Send("From: s" + n + "@x\r\nSubject: n" + n +
           "\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
           "Content-Type: text/plain\r\n\r\ntext " +
           n + "\r\n--b\r\nContent-Type: text/plain; name=\"part" + n +
           ".txt\"\r\nContent-Disposition: attachment\r\n\r\nattached " + n + "\r\n--b--\r\n");
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> stored;
  for (int e = 0; e < kSessions; ++e) {
    const std::string envelope = ReadWholeFile(m_out + "ENV" + std::to_string(e) + ".tmp");
    const auto at = envelope.find("SUBJECT: n");
    ASSERT_NE(at, std::string::npos) << envelope;
    const std::string n = std::to_string(std::stoi(envelope.substr(at + 10)));
    const auto begin = envelope.find("BEGIN ATTACH\r\n");
    ASSERT_NE(begin, std::string::npos) << envelope;
    const std::string block = envelope.substr(begin);
    EXPECT_EQ(std::count(block.begin(), block.end(), '>'), 2) << envelope;
    const std::string sent = "<<part" + n + ".txt:";
    const auto line = block.find(sent);
    ASSERT_NE(line, std::string::npos) << envelope;
    const auto end = block.find(">>", line);
    const std::string name = block.substr(line + sent.size(), end - line - sent.size());
    EXPECT_EQ(ReadWholeFile(m_out + name), "attached " + n) << name;
    stored.insert(name);
  }
  EXPECT_EQ(stored.size(), static_cast<std::size_t>(kSessions));
  EXPECT_TRUE(Out("~*").empty());
  EXPECT_TRUE(Out("Msgcnt.imp").empty());
}

TEST_F(SpoolTest, ReadyEnvelopeNeverNamesAMissingFile) {
  // Watch the folder while mail arrives: whenever a ready envelope is seen, every file it names
  // is there, complete.
  std::atomic<bool> done{false};
  std::atomic<int> checked{0};
  std::string failure;
  std::thread watcher([&] {
    while (!done.load()) {
      for (const auto& name : Out("ENV*.tmp")) {
        const std::string envelope = ReadWholeFile(m_out + name);
        const std::string stem = name.substr(0, name.size() - 4);
        if (ReadWholeFile(m_out + stem + ".bdy") != "Please fax this.\r\n.Second line.")
          failure = "incomplete body for " + name;
        if (envelope.find("END ATTACH\r\n") == std::string::npos) failure = "incomplete " + name;
        const auto colon = envelope.find(":ATT");
        const auto end = envelope.find(">>", colon);
        if (colon == std::string::npos || end == std::string::npos ||
            ReadWholeFile(m_out + envelope.substr(colon + 1, end - colon - 1)).size() != 6)
          failure = "incomplete attachment for " + name;
        ++checked;
      }
    }
  });
  for (int i = 0; i < 5; ++i) Send(kMessage);
  done = true;
  watcher.join();
  EXPECT_EQ(failure, "");
  EXPECT_GT(checked.load(), 0);
}

TEST_F(SpoolTest, MissingRawFileStillGivesAReadyEnvelope) {
  // Decode of a file that is not there: the envelope gets only its body block.
  SMTPInThread session(*m_server);
  session.Decode(m_out + "missing.cqx");
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.tmp"),
            "\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n");
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.bdy"), "");
  EXPECT_NE(ReadWholeFile(Root() + "/secondary.log")
                .find("SMTPIn- Error: Unable to open translation ip file: "),
            std::string::npos);
}

TEST_F(SpoolTest, ExistingReadyEnvelopeIsNeverReplaced) {
  test::WriteWholeFile(m_out + "ENV0.tmp", "the fax server's");
  Send("From: a@b\r\n\r\nx\r\n");
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.tmp"), "the fax server's");
  EXPECT_TRUE(platform::FileExists(m_out + "ENV0"));
}

// The same with the main channel on, which logs the recipient matching.
class SpoolMainLogTest : public SpoolTest {
 protected:
  void SetUp() override {
    test::ReceiverTest::SetUp();
    StartReceiver("logfile", "main.log");
  }
};

// A mail that names tens of thousands of addresses to hundreds of envelope recipients: its
// matching is bounded, so it neither holds the work lock for long nor floods the log.
TEST_F(SpoolMainLogTest, HugeAddressListIsMatchedWithinBounds) {
  constexpr int kEnvelope = 300;
  constexpr int kOthers = 20000;
  std::vector<std::string> rcpt;
  std::string to = "To: ";
  for (int i = 0; i < kEnvelope; ++i) {
    rcpt.push_back("<" + std::to_string(10000 + i) + "@fax.example>");
    to += "Fax " + std::to_string(i) + " " + rcpt.back() + ",\r\n ";
  }
  for (int i = 0; i < kOthers; ++i) to += "x" + std::to_string(i) + "@example.org,\r\n ";
  // One envelope address again after all the others: beyond the bound, it is not matched.
  to += "Late <99999@fax.example>\r\n";
  rcpt.push_back("<99999@fax.example>");
  Send("From: a@b\r\n" + to + "Subject: many\r\n\r\nbody\r\n", rcpt);

  const std::string envelope = ReadWholeFile(m_out + "ENV0.tmp");
  for (int i = 0; i < kEnvelope; ++i) {
    const std::string n = std::to_string(10000 + i);
    EXPECT_NE(envelope.find("TO: \"Fax " + std::to_string(i) + "\" <" + n + "@fax.example>\r\n"),
              std::string::npos)
        << n;
  }
  EXPECT_EQ(envelope.find("99999"), std::string::npos);
  EXPECT_EQ(std::count(envelope.begin(), envelope.end(), '\n'),
            kEnvelope + 2 + 5);  // FROM, the TO lines, SUBJECT, and the body block
  const std::string log = ReadWholeFile(Root() + "/main.log");
  // Every entry is at most kMaxEntry characters and its CR LF: what the matching may write,
  // and generously the session's own lines besides.
  EXPECT_LT(log.size(),
            (decode::kMaxMatchLogLines + 20 * (kEnvelope + 1) + 1000) * (kMaxEntry + 2));
  EXPECT_NE(log.find("DECODE - Recipient matching: further lines not logged: "), std::string::npos);
  EXPECT_NE(log.find("DECODE - Address list too long, address pieces not matched: " +
                     std::to_string(kEnvelope + kOthers + 1 - decode::kMaxAddressPieces)),
            std::string::npos);
}

}  // namespace
}  // namespace faxmail
