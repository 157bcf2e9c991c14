// The real faxmailgw killed with SIGKILL at random moments while ten clients send mail, and
// started again on the same folders each time: every mail that got its 250 ends as one whole
// ready envelope, no mail becomes two, and nothing unready or unreferenced is left.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "tests/support/gateway_process.h"
#include "tests/support/spool_check.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

constexpr int kClients = 10;
constexpr int kMailsPerClient = 60;
constexpr int kKills = 15;
constexpr std::size_t kAttachment = 3000;
constexpr int kAttemptsPerMail = 500;

class CrashTest : public test::RootTest {};

TEST_F(CrashTest, AcknowledgedMailSurvivesKills) {
  test::GatewayProcess gateway(Root(), false);
  ASSERT_TRUE(gateway.Start());
  const std::uint16_t port = gateway.Port();

  std::mutex lock;
  std::set<int> acknowledged;
  std::atomic<int> finished{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int m = 0; m < kMailsPerClient; ++m) {
        const int id = c * kMailsPerClient + m;
        // A mail whose data went out is never sent again, so it must appear at most once, and
        // exactly once when it was acknowledged; one cut off before is tried again.
        for (int attempt = 0; attempt < kAttemptsPerMail; ++attempt) {
          bool dataSent = false;
          const std::string reply =
              test::SendMail(port, test::MailWithAttachment(id, kAttachment), 10000, &dataSent);
          if (reply == "250 Mail Received OK\r\n") {
            std::lock_guard guard(lock);
            acknowledged.insert(id);
          }
          if (dataSent || !reply.empty()) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the gateway restarts
        }
      }
      ++finished;
    });
  }

  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> pause(30, 400);
  int kills = 0;
  while (kills < kKills && finished.load() < kClients) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    gateway.Kill();
    ++kills;
    ASSERT_TRUE(gateway.Start()) << "restart " << kills;
  }
  for (auto& client : clients) client.join();
  EXPECT_GE(kills, 10);

  // A clean stop can still cut a decode short (the console's stop does not wait); the next
  // start's recovery finishes it before it listens.
  gateway.Kill();
  ASSERT_TRUE(gateway.Start());
  EXPECT_EQ(gateway.Stop(), 0);

  const auto check = test::CheckSpool(gateway.Data() + "OUT/", kAttachment);
  EXPECT_EQ(check.problems, std::vector<std::string>{});
  EXPECT_EQ(check.leftovers, std::vector<std::string>{});
  for (const int id : acknowledged) {
    const auto it = check.ready.find(id);
    EXPECT_TRUE(it != check.ready.end() && it->second == 1) << "acknowledged mail " << id;
  }
  for (const auto& [id, count] : check.ready) EXPECT_EQ(count, 1) << "mail " << id;
  std::printf("kills %d, acknowledged %zu of %d, ready %zu\n", kills, acknowledged.size(),
              kClients * kMailsPerClient, check.ready.size());
  EXPECT_GT(acknowledged.size(), 0u);
}

}  // namespace
}  // namespace faxmail
