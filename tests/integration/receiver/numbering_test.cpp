// The real faxmailgw numbers raw message files, envelopes and attachments from counters in its
// registry key, so that a name is never handed out twice while its file may still exist: not
// after a kill -9 that cut a session and a decode short, nor after a clean stop and start. The
// numbers are read from what any observer can see: the files in OUT, the key, and the two
// diagnostic logs ("Write First Message" for raw files, "New file name" for envelopes, "BEGIN
// ATTACH written" for attachments).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/gateway_process.h"
#include "tests/support/smtp_client.h"
#include "tests/support/spool_check.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

constexpr int kMailsPerRun = 4;
// Bounds only against a hang.
constexpr int kReplyBoundMs = 30000;
constexpr auto kStateBound = std::chrono::seconds(60);
constexpr char kAcknowledged[] = "250 Mail Received OK\r\n";

// Two attachments a mail, so that attachment numbers advance twice as fast as envelopes.
std::vector<test::TestAttachment> AttachmentsOf(int id) {
  const std::string n = std::to_string(id);
  return {{"f" + n + "-0.bin", test::AttachmentBytes(id * 2, 700 + static_cast<std::size_t>(id))},
          {"f" + n + "-1.dat",
           test::AttachmentBytes(id * 2 + 1, 300 + 3 * static_cast<std::size_t>(id))}};
}

// A session that has sent HELO, MAIL, RCPT and DATA and got its 354.
bool OpenData(test::ScriptedClient& client, std::uint16_t port) {
  if (!client.Connect(port) || client.ReadLine(kReplyBoundMs).substr(0, 3) != "220") return false;
  if (!client.Send("HELO relay.example\r\nMAIL FROM:<a@example.org>\r\n"
                   "RCPT TO:<12345@fax.example>\r\nDATA\r\n"))
    return false;
  std::string reply;
  for (int i = 0; i < 4; ++i) reply = client.ReadLine(kReplyBoundMs);
  return reply.substr(0, 3) == "354";
}

// The texts that follow prefix in the entries of a log, each up to the blank that ends it.
std::vector<std::string> Logged(const std::string& log, const std::string& prefix) {
  std::vector<std::string> texts;
  for (auto at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at)) {
    at += prefix.size();
    texts.push_back(log.substr(at, log.find_first_of(" \r\n", at) - at));
  }
  return texts;
}

// The numbers each kind of name was handed out with, by the logs, with how often.
struct LoggedNumbers {
  std::map<std::uint32_t, int> raw, envelope, attachment;
};

LoggedNumbers NumbersInLogs(const test::GatewayProcess& gateway) {
  LoggedNumbers numbers;
  const std::string main = gateway.MainLog();
  const std::string secondary = gateway.SecondaryLog();
  for (const std::string& text : Logged(main, "SMTPIn- Write First Message: ")) {
    // The file-name part of the path, from its last separator on.
    const std::string name = text.substr(text.find_last_of('/') + 1);
    std::uint32_t number = 0;
    if (!name.ends_with(".cqx") || !test::RawNumber(name, number)) {
      ADD_FAILURE() << "raw file " << text;
      continue;
    }
    ++numbers.raw[number];
  }
  std::uint32_t number = 0;
  for (const std::string& path : Logged(secondary, "SMTPIn - New file name: ")) {
    EXPECT_TRUE(test::EnvelopeNumber(path, number)) << path;
    ++numbers.envelope[number];
  }
  for (const std::string& line : Logged(secondary, "SMTPIn- BEGIN ATTACH written: ")) {
    const auto colon = line.find(':');
    const std::string stored =
        colon == std::string::npos ? line : line.substr(colon + 1, line.size() - colon - 3);
    EXPECT_TRUE(test::AttachmentNumber(stored, number)) << line;
    ++numbers.attachment[number];
  }
  return numbers;
}

void AddKeys(const std::map<std::uint32_t, int>& from, std::set<std::uint32_t>& to) {
  for (const auto& [number, count] : from) to.insert(number);
}

// What has been numbered so far: the files in OUT (with the attachments that lists and
// unfinished envelopes name), the last names taken in the key, and the logs.
test::SpoolNumbers Used(const test::GatewayProcess& gateway) {
  test::SpoolNumbers used = test::NumbersTaken(gateway.Data() + "OUT/");
  const LoggedNumbers logged = NumbersInLogs(gateway);
  AddKeys(logged.raw, used.raw);
  AddKeys(logged.envelope, used.envelope);
  AddKeys(logged.attachment, used.attachment);
  return used;
}

// Every counter stands above every number used so far, of which there is some of each kind.
void ExpectCountersAbove(const test::SpoolNumbers& used, const std::string& when) {
  EXPECT_FALSE(used.raw.empty() || used.envelope.empty() || used.attachment.empty()) << when;
  EXPECT_EQ(test::CountersNotAbove(used), std::vector<std::string>{}) << when;
}

class NumberingTest : public test::RootTest {
 protected:
  // Sends mails first..first + kMailsPerRun - 1 one after the other; each must be
  // acknowledged and become ready.
  void SendRun(test::GatewayProcess& gateway, int first) {
    for (int id = first; id < first + kMailsPerRun; ++id)
      ASSERT_EQ(test::SendMail(gateway.Port(), test::MailWithAttachments(id, AttachmentsOf(id)),
                               kReplyBoundMs),
                kAcknowledged)
          << "mail " << id;
    WaitReady(gateway, first + kMailsPerRun - 1);
  }
  // Until mails 1..count are ready.
  void WaitReady(test::GatewayProcess& gateway, int count) {
    ASSERT_TRUE(test::WaitUntil(
        [&] {
          return test::CheckSpool(gateway.Data() + "OUT/", AttachmentsOf).ready.size() ==
                 static_cast<std::size_t>(count);
        },
        kStateBound))
        << count << " mails ready";
  }
};

TEST_F(NumberingTest, NumbersNeverRepeatAcrossKillAndRestart) {
  test::GatewayProcess gateway(Root());
  const std::string out = gateway.Data() + "OUT/";
  ASSERT_TRUE(gateway.Start());
  ASSERT_NO_FATAL_FAILURE(SendRun(gateway, 1));

  // Work in flight at the kill. With the attachment name marked in use, the next decode takes
  // its envelope and then waits before its first attachment; a second session stays in the
  // middle of its data, its raw file open.
  const int decoding = kMailsPerRun + 1;
  test::SetGatewayNumber("FileNameUseAtt", 1);
  test::ScriptedClient acknowledged;
  ASSERT_TRUE(OpenData(acknowledged, gateway.Port()));
  ASSERT_TRUE(
      acknowledged.Send(test::MailWithAttachments(decoding, AttachmentsOf(decoding)) + ".\r\n"));
  ASSERT_EQ(acknowledged.ReadLine(kReplyBoundMs), kAcknowledged);
  std::uint32_t unfinished = 0;
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        const auto name = test::GatewayText("FileName");
        return test::GatewayNumber("FileNameUse") == 1u && name &&
               test::EnvelopeNumber(*name, unfinished) &&
               !gateway.Files("OUT", "ENV" + std::to_string(unfinished)).empty();
      },
      kStateBound));
  const std::size_t rawBefore = gateway.Files("OUT", "*.cqx").size();
  test::ScriptedClient cutOff;
  ASSERT_TRUE(OpenData(cutOff, gateway.Port()));
  const std::string partial = test::MailWithAttachments(99, AttachmentsOf(99));
  ASSERT_TRUE(cutOff.Send(partial.substr(0, partial.size() / 2)));
  ASSERT_TRUE(test::WaitUntil([&] { return gateway.Files("OUT", "*.cqx").size() == rawBefore + 1; },
                              kStateBound));

  gateway.Kill();
  test::SpoolNumbers used = Used(gateway);
  EXPECT_TRUE(used.envelope.contains(unfinished));
  ASSERT_TRUE(gateway.Start());
  ExpectCountersAbove(used, "after the kill");
  // The acknowledged mail is decoded again, under new numbers.
  ASSERT_NO_FATAL_FAILURE(WaitReady(gateway, decoding));
  ASSERT_NO_FATAL_FAILURE(SendRun(gateway, decoding + 1));

  EXPECT_EQ(gateway.Stop(), 0);
  used.Add(Used(gateway));
  ASSERT_TRUE(gateway.Start());
  ExpectCountersAbove(used, "after the clean restart");
  ASSERT_NO_FATAL_FAILURE(SendRun(gateway, decoding + 1 + kMailsPerRun));
  EXPECT_EQ(gateway.Stop(), 0);

  const int mails = decoding + 2 * kMailsPerRun;
  const auto check = test::CheckSpool(out, AttachmentsOf);
  EXPECT_EQ(check.problems, std::vector<std::string>{});
  for (int id = 1; id <= mails; ++id) EXPECT_EQ(check.ready.count(id), 1u) << "mail " << id;
  // While the main log is on, raw files are kept as debug copies; nothing else is left.
  for (const std::string& name : check.leftovers) EXPECT_TRUE(name.ends_with(".debug")) << name;

  // No number was handed out twice, before or after the kill or the clean restart.
  const LoggedNumbers logged = NumbersInLogs(gateway);
  const struct {
    const char* kind;
    const std::map<std::uint32_t, int>& numbers;
    std::size_t least;  // how many at least were handed out
  } kinds[] = {
      // A raw file for every mail and the one cut off; an envelope for every mail and the one
      // whose decode the kill cut short.
      {"raw file", logged.raw, static_cast<std::size_t>(mails + 1)},
      {"envelope", logged.envelope, static_cast<std::size_t>(mails + 1)},
      {"attachment", logged.attachment, static_cast<std::size_t>(2 * mails)},
  };
  for (const auto& [kind, numbers, least] : kinds) {
    EXPECT_GE(numbers.size(), least) << kind;
    for (const auto& [number, count] : numbers) EXPECT_EQ(count, 1) << kind << " " << number;
  }
  used.Add(Used(gateway));
  ExpectCountersAbove(used, "at the end");
}

}  // namespace
}  // namespace faxmail
