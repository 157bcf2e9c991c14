// Hostile SMTP clients against the real faxmailgw: over-long lines, controls, odd line ends,
// every way of smuggling an end of data, pipelined bursts, too many recipients, a client that
// goes mid-data. Each row says the replies it must get and the envelopes its own mails make;
// then nothing else may be lost (hostile_support.h).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/hostile/hostile_support.h"
#include "tests/support/spool_check.h"

namespace faxmail {
namespace {

using test::After;
using test::Exchange;
using test::ScriptedClient;

constexpr char kNoop[] = "250 Requested mail action ok, completed\r\n";
constexpr char kUnknown[] = "500 Syntax Error, Command Unknown.\r\n";
constexpr char kStartData[] = "354 Start mail input, end with <CRLF>.<CRLF>\r\n";
constexpr char kHeloReply[] = "250 fax.example h.example\r\n";
// Command and data lines are read in pieces of this many bytes.
constexpr std::size_t kPiece = 100;

std::string Repeat(const std::string& text, std::size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

// HELO, MAIL and one RCPT with their replies, up to the 354.
void OpenMail(ScriptedClient& c) {
  Exchange(c, "HELO h.example\r\nMAIL FROM:<a@b.example>\r\nRCPT TO:<1@fax.example>\r\nDATA\r\n",
           {kHeloReply, "250 OK  FROM:<a@b.example> \r\n", "250 OK  TO:<1@fax.example> \r\n",
            kStartData});
}

// A mail whose message text is text: it has a subject of its own and no To header.
std::string Mail(const std::string& subject, const std::string& text) {
  return "Subject: " + subject + "\r\n\r\n" + text;
}

// A line of n NOOP commands without any line end: the receiver takes it in pieces, and each
// piece begins with NOOP (4 divides 100).
void LongNoopLine(ScriptedClient& c, std::size_t bytes) {
  const std::string line = Repeat("NOOP", bytes / 4);
  std::thread sender([&] { c.Send(line); });
  const std::size_t pieces = bytes / kPiece;
  std::size_t answered = 0;
  for (; answered < pieces; ++answered)
    if (c.ReadLine(test::kReplyMs) != kNoop) break;
  sender.join();
  EXPECT_EQ(answered, pieces);
  // The last piece has no line end yet; the client goes.
  c.Close();
}

// A whole transaction whose data holds smuggled, the text of a second transaction behind a
// false end of data: it must be stored as data, and only the real end line may end it.
void Smuggle(ScriptedClient& c, const std::string& smuggled) {
  OpenMail(c);
  const std::string second =
      "MAIL FROM:<evil@evil.example>\r\nRCPT TO:<666@fax.example>\r\nDATA\r\n"
      "Subject: smuggled\r\n\r\nsmuggled body\r\n";
  Exchange(c, Mail("carrier", "carrier text\r\n") + "before" + smuggled + second + ".\r\n",
           {test::kAcknowledged});
}

struct SmtpRow {
  const char* name;
  std::function<void(ScriptedClient&)> play;
  After after;
  int envelopes;           // ready envelopes that the row's own mails become
  const char* bodyHas;     // a text that the message text of one of them holds (or null)
  const char* logged;      // a text that one of the logs holds after the row (or null)
  const char* bodyHasNot;  // a text that no message text holds (or null)
};

const SmtpRow kSmtpRows[] = {
    {"Line1KWithoutLineEnd", [](ScriptedClient& c) { LongNoopLine(c, 1024); }, After::Closed, 0,
     nullptr, nullptr, nullptr},
    {"Line1MWithoutLineEnd", [](ScriptedClient& c) { LongNoopLine(c, 1024 * 1024); }, After::Closed,
     0, nullptr, nullptr, nullptr},
    {"NulInCommand",
     [](ScriptedClient& c) {
       Exchange(c, std::string("NO\0OP\r\n", 7), {kUnknown});
       Exchange(c, std::string("HELO a\0b.example\r\n", 18), {kUnknown});
     },
     After::WaitHelo, 0, nullptr, nullptr, nullptr},
    {"ControlsInArguments",
     [](ScriptedClient& c) {
       Exchange(c, "HELO relay\x01.example\r\n", {kUnknown});
       Exchange(c, "HELO h.example\r\n", {kHeloReply});
       Exchange(c, "MAIL FROM:<a\x1b[2J@b.example>\r\n", {kUnknown});
       Exchange(c, "MAIL FROM:<a@b.example>\r\n", {"250 OK  FROM:<a@b.example> \r\n"});
       Exchange(c, "RCPT TO:<1@fax.example\x7f>\r\n", {kUnknown});
       Exchange(c, "RCPT TO:<1@fax.example>\r\n", {"250 OK  TO:<1@fax.example> \r\n"});
       Exchange(c, "DATA\r\n" + Mail("controls", "after controls\r\n") + ".\r\n",
                {kStartData, test::kAcknowledged});
     },
     After::WaitMail, 1, "after controls", nullptr, nullptr},
    {"BareCrInsideCommand",
     [](ScriptedClient& c) {
       Exchange(c, "HELO h.example\rMAIL FROM:<x@y.example>\r\n", {kUnknown});
     },
     After::WaitHelo, 0, nullptr, nullptr, nullptr},
    {"BareLfLineEnds",
     [](ScriptedClient& c) {
       Exchange(c, "HELO h.example\nMAIL FROM:<a@b.example>\nRCPT TO:<1@fax.example>\nDATA\n",
                {kHeloReply, "250 OK  FROM:<a@b.example> \r\n", "250 OK  TO:<1@fax.example> \r\n",
                 kStartData});
       // A full stop and a bare LF is a data line; only "." CR LF after a CR LF ends the data.
       Exchange(c, "Subject: lf\n\nline one\n.\nline two\r\n.\r\n", {test::kAcknowledged});
     },
     After::WaitMail, 1, "line two", nullptr, nullptr},
    {"BareCrInData",
     [](ScriptedClient& c) {
       OpenMail(c);
       Exchange(c, Mail("cr", "line one\r.\rline two\r\n") + ".\r\n", {test::kAcknowledged});
     },
     After::WaitMail, 1, "line two", nullptr, nullptr},
    {"NulInData",
     [](ScriptedClient& c) {
       OpenMail(c);
       Exchange(c, Mail("nul", std::string("before\0after\r\nlast line\r\n", 25)) + ".\r\n",
                {test::kAcknowledged});
     },
     After::WaitMail, 1, "last line", nullptr, nullptr},
    {"SmuggleLfDotLf", [](ScriptedClient& c) { Smuggle(c, "\n.\n"); }, After::WaitMail, 1,
     "smuggled body", nullptr, nullptr},
    {"SmuggleCrLfDotLf", [](ScriptedClient& c) { Smuggle(c, "\r\n.\n"); }, After::WaitMail, 1,
     "smuggled body", nullptr, nullptr},
    {"SmuggleLfDotCrLf", [](ScriptedClient& c) { Smuggle(c, "\n.\r\n"); }, After::WaitMail, 1,
     "smuggled body", nullptr, nullptr},
    {"SmuggleCrDotCrLf", [](ScriptedClient& c) { Smuggle(c, "\r.\r\n"); }, After::WaitMail, 1,
     "smuggled body", nullptr, nullptr},
    {"SmuggleCrLfDotCr", [](ScriptedClient& c) { Smuggle(c, "\r\n.\r"); }, After::WaitMail, 1,
     "smuggled body", nullptr, nullptr},
    {"SmuggleCrLfDotDotLf", [](ScriptedClient& c) { Smuggle(c, "\r\n..\n"); }, After::WaitMail, 1,
     "smuggled body", nullptr, nullptr},
    {"SmuggleCrLfDotNulCrLf", [](ScriptedClient& c) { Smuggle(c, std::string("\r\n.\0\r\n", 6)); },
     After::WaitMail, 1, "smuggled body", nullptr, nullptr},
    {"SmuggleDotCrLfAtTheEndOfAPiece",
     // A line of exactly one piece, then "." CR LF: its tail, not a line of its own.
     [](ScriptedClient& c) { Smuggle(c, "\r\n" + std::string(kPiece, 'x') + ".\r\n"); },
     After::WaitMail, 1, "smuggled body", nullptr, nullptr},
    {"EndLineInSeparateWrites",
     [](ScriptedClient& c) {
       OpenMail(c);
       c.Send(Mail("split end", "split end text\r"));
       std::this_thread::sleep_for(std::chrono::milliseconds(50));
       c.Send("\n.");
       std::this_thread::sleep_for(std::chrono::milliseconds(50));
       c.Send("\r");
       std::this_thread::sleep_for(std::chrono::milliseconds(50));
       Exchange(c, "\n", {test::kAcknowledged});
     },
     After::WaitMail, 1, "split end text", nullptr, nullptr},
    {"DotStuffedLinesAreUnstuffed",
     [](ScriptedClient& c) {
       OpenMail(c);
       Exchange(c, Mail("dots", "..\r\n...stuffed\r\nlast\r\n") + ".\r\n", {test::kAcknowledged});
     },
     After::WaitMail, 1, "..stuffed", nullptr, "...stuffed"},
    {"PipelinedTwoMailsInOneWrite",
     [](ScriptedClient& c) {
       const std::string burst =
           "HELO h.example\r\nMAIL FROM:<a@b.example>\r\nRCPT TO:<1@fax.example>\r\nDATA\r\n" +
           Mail("first", "first text\r\n") +
           ".\r\nMAIL FROM:<c@d.example>\r\nRCPT TO:<2@fax.example>\r\nDATA\r\n" +
           Mail("second", "second text\r\n") + ".\r\nNOOP\r\nRSET\r\n";
       Exchange(c, burst,
                {kHeloReply, "250 OK  FROM:<a@b.example> \r\n", "250 OK  TO:<1@fax.example> \r\n",
                 kStartData, test::kAcknowledged, "250 OK  FROM:<c@d.example> \r\n",
                 "250 OK  TO:<2@fax.example> \r\n", kStartData, test::kAcknowledged, kNoop,
                 "250 Ok\r\n"});
     },
     After::WaitMail, 2, "second text", nullptr, nullptr},
    {"PipelinedBurstOf2000Commands",
     [](ScriptedClient& c) {
       std::thread sender([&] { c.Send(Repeat("NOOP\r\nRSET\r\n", 1000)); });
       int answered = 0;
       for (; answered < 2000; ++answered)
         if (c.ReadLine(test::kReplyMs) != (answered % 2 ? "250 Ok\r\n" : kNoop)) break;
       sender.join();
       EXPECT_EQ(answered, 2000);
     },
     After::WaitHelo, 0, nullptr, nullptr, nullptr},
    {"Recipients1001",
     [](ScriptedClient& c) {
       Exchange(c, "HELO h.example\r\nMAIL FROM:<a@b.example>\r\n",
                {kHeloReply, "250 OK  FROM:<a@b.example> \r\n"});
       std::string commands;
       std::vector<std::string> replies;
       for (int i = 0; i < 1001; ++i) {
         const std::string rcpt = "TO:<" + std::to_string(10000 + i) + "@fax.example>";
         commands += "RCPT " + rcpt + "\r\n";
         replies.push_back(i < 1000 ? "250 OK  " + rcpt + " \r\n" : "452 Too many recipients\r\n");
       }
       std::thread sender([&] { c.Send(commands); });
       for (const std::string& reply : replies) {
         const std::string line = c.ReadLine(test::kReplyMs);
         EXPECT_EQ(line, reply);
         if (line != reply) break;
       }
       sender.join();
       Exchange(c, "DATA\r\n" + Mail("many", "to many\r\n") + ".\r\n",
                {kStartData, test::kAcknowledged});
     },
     After::WaitMail, 1, "to many", nullptr, nullptr},
    {"ClientClosesMidData",
     [](ScriptedClient& c) {
       OpenMail(c);
       c.Send(Mail("cut", "cut short\r\nhalf a li"));
       c.Close();
     },
     After::Closed, 0, nullptr,
     "SMTPIn- Data ended without the end line, message not spooled: ", nullptr},
    {"ClientClosesRightAfterTheEndLine",
     [](ScriptedClient& c) {
       OpenMail(c);
       c.Send(Mail("gone", "gone at once\r\n") + ".\r\n");
       c.Close();
     },
     After::Closed, 1, "gone at once", nullptr, nullptr},
};

void PrintTo(const SmtpRow& row, std::ostream* os) { *os << row.name; }

class SmtpHostile : public test::HostileTest, public ::testing::WithParamInterface<SmtpRow> {};

TEST_P(SmtpHostile, CleanOutcomeAndNothingElseLost) {
  const SmtpRow& row = GetParam();
  auto client = Connect();
  row.play(*client);
  ASSERT_TRUE(WaitSettled());
  const auto ready = TakeReadyTexts();
  EXPECT_EQ(static_cast<int>(ready.size()), row.envelopes);
  if (row.bodyHas) {
    bool found = false;
    for (const auto& [name, text] : ready)
      found = found || text.find(row.bodyHas) != std::string::npos;
    EXPECT_TRUE(found) << "no message text holds " << row.bodyHas;
  }
  if (row.bodyHasNot) {
    for (const auto& [name, text] : ready)
      EXPECT_EQ(text.find(row.bodyHasNot), std::string::npos) << name;
  }
  if (row.logged) {
    EXPECT_TRUE(Logged(row.logged)) << row.logged;
  }
  ExpectNothingElseLost(client.get(), row.after);
}

INSTANTIATE_TEST_SUITE_P(Rows, SmtpHostile, ::testing::ValuesIn(kSmtpRows), test::RowName());

}  // namespace
}  // namespace faxmail
