// The real faxmailgw killed with SIGKILL at random moments while twenty clients send mail (every
// place the receiver serves at once taken, a new connection for each mail), and started again
// on the same folders each time, then stopped cleanly: every mail that got its 250 ends as one
// whole ready envelope, no mail becomes two, nothing unready or unreferenced is left, and no
// envelope, attachment or raw message number is handed out again after a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/gateway_process.h"
#include "tests/support/spool_check.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

// The receiver's connection limit: every place is taken, and a client that comes back before
// its old session has given up its place is refused.
constexpr int kClients = 20;
constexpr int kKills = 12;
// Acknowledged mails each run must carry before it is cut, so that every kill meets traffic
// however slow the machine is.
constexpr int kAcknowledgedPerRun = 16;
// The random moment of every fourth kill, after that traffic; the others come the moment a
// client has read its 250.
constexpr int kKillDelayMaxMs = 300;
// Mail ids: client * kIdStride + the client's mail count.
constexpr int kIdStride = 100000;
// Largest attachment: several base64 lines, so that a kill can fall inside one.
constexpr std::size_t kAttachmentMax = 6000;
// Bounds only against a hang, never a measure of speed: a reply, the traffic of one run.
constexpr int kReplyBoundMs = 60000;
// The wait for a greeting. Twenty clients coming back at once overflow the listen queue of 5,
// and the kernel may then complete a connection that the gateway never accepts: its greeting
// never comes, and the client must try again rather than wait for the bound above. Giving up
// too soon only means one more try.
constexpr int kGreetingBoundMs = 3000;
constexpr auto kRunBound = std::chrono::seconds(180);
// A refused or failed connection is tried again after this pause (the gateway restarts).
constexpr auto kRetryPause = std::chrono::milliseconds(50);
constexpr char kAcknowledged[] = "250 Mail Received OK\r\n";
constexpr pid_t kTakenForKill = -1;

// Mail id has no attachment, one or two (".bin" and ".dat"), of sizes that differ from mail to
// mail.
std::vector<test::TestAttachment> AttachmentsOf(int id) {
  std::vector<test::TestAttachment> attachments;
  for (int k = 0; k < id % 3; ++k) {
    const std::size_t size =
        1 + (static_cast<std::size_t>(id) * 7919 + static_cast<std::size_t>(k) * 104729) %
                kAttachmentMax;
    attachments.push_back(
        {"f" + std::to_string(id) + "-" + std::to_string(k) + (k == 0 ? ".bin" : ".dat"),
         test::AttachmentBytes(id * 3 + k, size)});
  }
  return attachments;
}

// What the clients saw.
struct Outcome {
  std::mutex lock;
  std::set<int> acknowledged;  // got "250 Mail Received OK"
  std::set<int> dataSent;      // their data went out (acknowledged or not)
  std::atomic<int> acknowledgements{0};
  std::atomic<int> refusals{0};  // closed or broken before the data went out
  // Set to the gateway's pid: the next client that reads a 250 kills the gateway at once
  // (right after an acknowledgement is where the guarantee is tightest), holding it at
  // kTakenForKill meanwhile, and clears it.
  std::atomic<pid_t> killOnAcknowledgement{0};
};

// Twenty clients, each sending mail after mail, one connection each, until told to stop. A mail
// whose data went out is never sent again (it must then appear at most once, and exactly once
// when acknowledged); one cut off before is sent again.
class Clients {
 public:
  Clients(std::uint16_t port, Outcome& outcome) {
    for (int c = 0; c < kClients; ++c)
      m_threads.emplace_back([this, port, &outcome, c] { Send(port, outcome, c); });
  }
  ~Clients() { Stop(); }
  Clients(const Clients&) = delete;
  Clients& operator=(const Clients&) = delete;

  void Stop() {
    m_stop = true;
    for (auto& thread : m_threads)
      if (thread.joinable()) thread.join();
  }

 private:
  void Send(std::uint16_t port, Outcome& outcome, int client) {
    for (int m = 0; !m_stop;) {
      const int id = client * kIdStride + m;
      bool dataSent = false;
      const std::string reply =
          test::SendMail(port, test::MailWithAttachments(id, AttachmentsOf(id)), kReplyBoundMs,
                         &dataSent, kGreetingBoundMs);
      if (!dataSent && reply.empty()) {
        ++outcome.refusals;
        std::this_thread::sleep_for(kRetryPause);
        continue;
      }
      {
        std::lock_guard guard(outcome.lock);
        outcome.dataSent.insert(id);
        if (reply == kAcknowledged) outcome.acknowledged.insert(id);
      }
      if (reply == kAcknowledged) {
        pid_t pid = outcome.killOnAcknowledgement.load();
        if (pid > 0 && outcome.killOnAcknowledgement.compare_exchange_strong(pid, kTakenForKill)) {
          test::SendKill(pid);
          outcome.killOnAcknowledgement = 0;
        }
        ++outcome.acknowledgements;
      }
      ++m;
    }
  }

  std::atomic<bool> m_stop{false};
  std::vector<std::thread> m_threads;
};

// DecodeThreads: 0, each session decodes its own mail before it reads the QUIT; or a number of
// decode threads, so that acknowledged mails also wait in the decode threads' queue when the
// kill comes.
class CrashTest : public test::RootTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(CrashTest, AcknowledgedMailSurvivesKillsDuringTwentySessions) {
  test::GatewayProcess gateway(Root(), false);
  if (GetParam() != 0) test::SetGatewayNumber("DecodeThreads", GetParam());
  ASSERT_TRUE(gateway.Start());
  const std::string out = gateway.Data() + "OUT/";
  Outcome outcome;
  Clients clients(gateway.Port(), outcome);

  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> delay(0, kKillDelayMaxMs);
  test::SpoolNumbers used;
  int kills = 0;
  for (; kills < kKills; ++kills) {
    const int before = outcome.acknowledgements.load();
    ASSERT_TRUE(test::WaitUntil(
        [&] { return outcome.acknowledgements.load() >= before + kAcknowledgedPerRun; }, kRunBound))
        << "run " << kills << " carries no mail";
    if (kills % 4 == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
    } else {
      pid_t pid = gateway.Pid();
      outcome.killOnAcknowledgement = pid;
      const auto killed = [&] { return outcome.killOnAcknowledgement.load() == 0; };
      if (!test::WaitUntil(killed, kRunBound)) {
        // Taken back, unless a client has just taken it: then its kill is let finish.
        const bool taken = !outcome.killOnAcknowledgement.compare_exchange_strong(pid, 0);
        ASSERT_TRUE(taken && test::WaitUntil(killed, kRunBound))
            << "run " << kills << " acknowledges no mail";
      }
    }
    EXPECT_TRUE(gateway.Kill()) << "the gateway ended by itself in run " << kills << ":\n"
                                << gateway.ConsoleOutput();
    // What the killed gateway had numbered: its files, the scratch lists and unfinished
    // envelopes naming attachments, and the last names it took.
    used.Add(test::NumbersTaken(out));
    ASSERT_TRUE(gateway.Start()) << "restart " << kills + 1;
    EXPECT_EQ(test::CountersNotAbove(used), std::vector<std::string>{})
        << "after restart " << kills + 1;
  }
  ASSERT_TRUE(test::WaitUntil(
      [&] { return outcome.acknowledgements.load() >= kAcknowledgedPerRun * (kKills + 1); },
      kRunBound));
  clients.Stop();

  // A clean stop does not wait for a decode in progress; the next start's recovery finishes
  // it before it listens.
  EXPECT_EQ(gateway.Stop(), 0) << gateway.ConsoleOutput();
  used.Add(test::NumbersTaken(out));
  ASSERT_TRUE(gateway.Start());
  EXPECT_EQ(test::CountersNotAbove(used), std::vector<std::string>{}) << "after the clean stop";
  EXPECT_EQ(gateway.Stop(), 0) << gateway.ConsoleOutput();

  const auto check = test::CheckSpool(out, AttachmentsOf);
  EXPECT_EQ(check.problems, std::vector<std::string>{});
  EXPECT_EQ(check.leftovers, std::vector<std::string>{});
  for (const int id : outcome.acknowledged) {
    const auto it = check.ready.find(id);
    EXPECT_TRUE(it != check.ready.end() && it->second == 1) << "acknowledged mail " << id;
  }
  for (const auto& [id, count] : check.ready) {
    EXPECT_EQ(count, 1) << "mail " << id;
    EXPECT_TRUE(outcome.dataSent.contains(id)) << "mail " << id << " was never sent";
  }
  used.Add(test::NumbersTaken(out));
  EXPECT_EQ(test::CountersNotAbove(used), std::vector<std::string>{}) << "at the end";
  EXPECT_EQ(kills, kKills);
  std::printf("kills %d, acknowledged %zu of %zu sent, ready %zu, refused %d\n", kills,
              outcome.acknowledged.size(), outcome.dataSent.size(), check.ready.size(),
              outcome.refusals.load());
}

INSTANTIATE_TEST_SUITE_P(Decode, CrashTest, ::testing::Values(0u, 8u),
                         [](const ::testing::TestParamInfo<std::uint32_t>& param) {
                           return param.param == 0 ? std::string("OnTheSessions")
                                                   : std::string("OnDecodeThreads");
                         });

}  // namespace
}  // namespace faxmail
