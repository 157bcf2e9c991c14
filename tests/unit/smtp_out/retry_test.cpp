// Deferred retries: the schedule as administrators write it, what follows a failed attempt,
// the records kept across restarts; and the sender against a server that refuses a recipient
// a given number of times: the attempts at their times, other files meanwhile, a restart that
// keeps the count, and a lifetime that has run out.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <thread>

#include "gateway/smtp_out/retry_schedule.h"
#include "gateway/smtp_out/smtp_out.h"
#include "platform/socket.h"
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

TEST(RetryPolicyTest, SchedulesAreReadWithTheirMistakesNamed) {
  struct Case {
    const char* schedule;
    std::vector<long> delays;
    bool problems;
  } cases[] = {
      {"", {}, false},
      {"60,300,900,3600,14400", {60, 300, 900, 3600, 14400}, false},
      {" 60 , 300 ,, 900 ", {60, 300, 900}, false},
      {"60,0,-5,abc,1e3,300", {60, 300}, true},
      {"604800,604801", {604800}, true},  // a week at most
      {"x", {}, true},                    // nothing usable: the old immediate attempts
  };
  for (const Case& c : cases) {
    std::string problems;
    const RetryPolicy policy = ParseRetryPolicy(c.schedule, 0, problems);
    std::vector<long> delays;
    for (const auto d : policy.delays) delays.push_back(static_cast<long>(d.count()));
    EXPECT_EQ(delays, c.delays) << c.schedule;
    EXPECT_EQ(!problems.empty(), c.problems) << c.schedule << ": " << problems;
    EXPECT_EQ(policy.Active(), !c.delays.empty());
  }
  std::string problems;
  std::string many;
  for (int i = 0; i < 40; ++i) many += "5,";
  EXPECT_EQ(ParseRetryPolicy(many, 0, problems).delays.size(), kMaxRetryEntries);
  EXPECT_NE(problems.find("beyond"), std::string::npos);
}

TEST(RetryPolicyTest, FailuresFollowTheScheduleUntilItOrTheLifetimeEnds) {
  std::string problems;
  const RetryPolicy schedule = ParseRetryPolicy("10,100", 0, problems);
  const RetryPolicy lifetime = ParseRetryPolicy("10,100", 1, problems);  // one hour
  const std::int64_t t0 = 1'000'000;
  // Without a lifetime: one attempt per wait, then given up.
  auto first = AfterFailure(schedule, std::nullopt, t0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->failures, 1u);
  EXPECT_EQ(first->firstFailure, t0);
  EXPECT_EQ(first->nextAttempt, t0 + 10);
  auto second = AfterFailure(schedule, first, t0 + 10);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->nextAttempt, t0 + 110);
  EXPECT_FALSE(AfterFailure(schedule, second, t0 + 110));
  // With a lifetime the last wait repeats, and the last attempt falls on the lifetime's end.
  RetryRecord record{5, t0, t0};
  auto later = AfterFailure(lifetime, record, t0 + 3400);
  ASSERT_TRUE(later);
  EXPECT_EQ(later->failures, 6u);
  EXPECT_EQ(later->nextAttempt, t0 + 3500);
  later = AfterFailure(lifetime, record, t0 + 3550);
  ASSERT_TRUE(later);
  EXPECT_EQ(later->nextAttempt, t0 + 3600);
  EXPECT_FALSE(AfterFailure(lifetime, record, t0 + 3600));
  EXPECT_FALSE(AfterFailure(RetryPolicy{}, std::nullopt, t0));  // no schedule: no deferral
}

TEST(RetryPolicyTest, RecordsReadBackOrNotAtAll) {
  const RetryRecord record{3, 1700000000, 1700000900};
  const auto back = ParseRetryRecord(FormatRetryRecord(record));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->failures, 3u);
  EXPECT_EQ(back->firstFailure, 1700000000);
  EXPECT_EQ(back->nextAttempt, 1700000900);
  for (const char* bad : {"", "3 1 2", "3 1 2\n\n", "0 1 2\n", "x 1 2\n", "3 5 2\n", "3 1 2 4\n",
                          "-1 1 2\n", "99999999999 1 2\n"})
    EXPECT_FALSE(ParseRetryRecord(bad)) << bad;
  EXPECT_FALSE(ParseRetryRecord(std::string(100, '1') + "\n"));
}

// An SMTP server on loopback that closes the connection at RCPT for a recipient as many times
// as it is told to, and takes every other message; it notes when each recipient was delivered
// and how many connections it took.
class FlakyServer {
 public:
  explicit FlakyServer(std::map<std::string, int> refusals) : m_refusals(std::move(refusals)) {
    m_listening = test::ListenOnLoopback(8, m_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~FlakyServer() {
    m_stop = true;
    m_listening.Shutdown();  // wakes the accepting thread
    m_thread.join();
  }
  std::uint16_t Port() const { return m_port; }
  int Connections() const { return m_connections; }
  // Recipients in the order delivered.
  std::vector<std::string> Delivered() {
    std::lock_guard lock(m_lock);
    return m_delivered;
  }
  // Seconds since the server started at which each connection for recipient came.
  std::vector<double> Tries(const std::string& recipient) {
    std::lock_guard lock(m_lock);
    return m_tries[recipient];
  }

 private:
  // How long a line of the client may take, and how long a line may be.
  static constexpr std::uint32_t kLineWaitMs = 5000;
  static constexpr std::size_t kLineLimit = 4096;

  void Serve() {
    while (!m_stop) {
      platform::Socket connection;
      platform::SocketAddress peer;
      if (m_listening.Accept(connection, peer) != 0) continue;
      ++m_connections;
      connection.SetReceiveTimeout(kLineWaitMs);
      Session(connection);
    }
  }
  void Send(platform::Socket& connection, const std::string& text) {
    test::SendAllOf(connection, text);
  }
  // One line, or empty when the client went or took too long.
  std::string Line(platform::Socket& connection) {
    std::string line;
    char c = 0;
    while (line.size() < kLineLimit) {
      if (connection.Recv(&c, 1) != 1) return {};
      line += c;
      if (c == '\n') return line;
    }
    return line;
  }
  void Session(platform::Socket& connection) {
    Send(connection, "220 flaky.test\r\n");
    std::string recipient;
    for (std::string line = Line(connection); !line.empty(); line = Line(connection)) {
      const std::string verb = line.substr(0, 4);
      if (verb == "RCPT") {
        // The sender writes the address in capitals.
        recipient = line.substr(line.find('<') + 1, line.find('>') - line.find('<') - 1);
        for (char& c : recipient)
          c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::lock_guard lock(m_lock);
        m_tries[recipient].push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count());
        if (m_refusals[recipient]-- > 0) return;  // the connection drops: the dialogue fails
        Send(connection, "250 ok\r\n");
      } else if (verb == "DATA") {
        Send(connection, "354 go\r\n");
        while (true) {
          const std::string data = Line(connection);
          if (data.empty()) return;
          if (data == ".\r\n") break;
        }
        {
          std::lock_guard lock(m_lock);
          m_delivered.push_back(recipient);
        }
        Send(connection, "250 queued\r\n");
      } else if (verb == "QUIT") {
        Send(connection, "221 bye\r\n");
        return;
      } else {
        Send(connection, "250 ok\r\n");
      }
    }
  }

  std::map<std::string, int> m_refusals;
  platform::Socket m_listening;
  std::uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  std::mutex m_lock;
  std::vector<std::string> m_delivered;
  std::map<std::string, std::vector<double>> m_tries;
  const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  std::thread m_thread;
};

class DeferredRetryTest : public test::SenderTest {
 protected:
  void SetUp() override {
    SenderTest::SetUp();
    m_timings.idlePoll = 100ms;
    m_timings.inUsePause = 100ms;
    m_timings.destroyWait = 2s;
    m_timings.receiveTimeoutMs = 2000;
  }
  void Ready(const std::string& name, const std::string& recipient) {
    ReadyFile ready;
    ready.header = {"FROM: Fax Server <fax@fax.example>", "TO: <" + recipient + ">"};
    // Written under another name and given its ready name last, as the fax server does: a
    // running sender may look at IN between the create and the write.
    WriteWholeFile(In(name + ".part"), ready.Text());
    ASSERT_EQ(platform::RenameFile(In(name + ".part"), In(name), false), 0);
  }
  std::string Record(const std::string& name) {
    return platform::FileExists(m_data + ".retry/" + name)
               ? ReadWholeFile(m_data + ".retry/" + name)
               : std::string();
  }
};

TEST_F(DeferredRetryTest, RefusedTwiceDeliveredOnTheThirdAttemptWhileOthersGoOn) {
  FlakyServer server({{"slow@127.0.0.1", 2}});
  SetString("RetrySchedule", "1,2,60");
  Ready("slow.tmp", "slow@127.0.0.1");
  StartSender(server.Port());
  ASSERT_TRUE(WaitFor([&] { return server.Tries("slow@127.0.0.1").size() == 1; }, 10s));
  Ready("fast.tmp", "fast@127.0.0.1");  // arrives while the first waits
  ASSERT_TRUE(WaitFor([&] { return server.Delivered().size() == 2; }, 20s)) << Log();
  StopSender();
  EXPECT_EQ(server.Delivered(), (std::vector<std::string>{"fast@127.0.0.1", "slow@127.0.0.1"}));
  const std::vector<double> tries = server.Tries("slow@127.0.0.1");
  ASSERT_EQ(tries.size(), 3u);
  EXPECT_GE(tries[1] - tries[0], 0.9);  // the schedule's first wait
  EXPECT_GE(tries[2] - tries[1], 1.9);  // and its second
  EXPECT_EQ(server.Tries("fast@127.0.0.1").size(), 1u);
  EXPECT_TRUE(InFiles("*.tmp").empty());  // delivered files are gone
  EXPECT_EQ(Record("slow.tmp"), "");      // and so is the record
  EXPECT_TRUE(Logged("SMTPOut- Delivery failed 2 times, next attempt in 2 s: slow.tmp"));
  EXPECT_TRUE(Events(435).empty());
}

TEST_F(DeferredRetryTest, ARestartKeepsTheCountAndUsedUpRetriesSetTheFileAside) {
  FlakyServer server({{"never@127.0.0.1", 100}});
  SetString("RetrySchedule", "1,1");
  Ready("never.tmp", "never@127.0.0.1");
  StartSender(server.Port());
  ASSERT_TRUE(WaitFor([&] { return Record("never.tmp").starts_with("1 "); }, 10s)) << Log();
  StopSender();
  EXPECT_TRUE(platform::FileExists(In("never.tmp")));  // waiting under its ready name
  StartSender(server.Port());
  ASSERT_TRUE(WaitFor([&] { return platform::FileExists(In("NEVER.ConnTermin.Err")); }, 20s))
      << Log();
  StopSender();
  // One attempt and two waits in all, the restart counted in: not three more after it.
  EXPECT_EQ(server.Tries("never@127.0.0.1").size(), 3u);
  EXPECT_TRUE(Logged("SMTPOut- Retries used up, message given up: never.tmp"));
  EXPECT_EQ(Record("never.tmp"), "");
  if (EventsKept()) {
    EXPECT_EQ(Events(435).size(), 1u);
  }
}

TEST_F(DeferredRetryTest, LifetimeRunOutBeforeTheRestartGivesUpAtTheNextFailure) {
  FlakyServer server({{"old@127.0.0.1", 100}});
  SetString("RetrySchedule", "60");
  SetDword("MaxQueueLifetime", 1);
  Ready("old.tmp", "old@127.0.0.1");
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  ASSERT_EQ(platform::CreateDirectory(m_data + ".retry"), 0);
  // Failed first two hours ago; its next attempt is due.
  WriteWholeFile(m_data + ".retry/old.tmp", FormatRetryRecord({4, now - 7200, now - 10}));
  WriteWholeFile(m_data + ".retry/gone.tmp", "1 1 2\n");  // its ready file is no more
  WriteWholeFile(m_data + ".retry/junk.tmp", "junk");
  StartSender(server.Port());
  ASSERT_TRUE(WaitFor([&] { return platform::FileExists(In("OLD.ConnTermin.Err")); }, 10s))
      << Log();
  StopSender();
  EXPECT_EQ(server.Tries("old@127.0.0.1").size(), 1u);
  EXPECT_FALSE(platform::FileExists(m_data + ".retry/gone.tmp"));
  EXPECT_FALSE(platform::FileExists(m_data + ".retry/junk.tmp"));
  EXPECT_TRUE(Logged("SMTPOut- Error: Retry record unreadable, removed: junk.tmp"));
}

TEST_F(DeferredRetryTest, WithoutAScheduleFiveImmediateAttemptsAsBefore) {
  FlakyServer server({{"x@127.0.0.1", 100}});
  SetString("RetrySchedule", "0,nonsense");  // nothing usable
  Ready("x.tmp", "x@127.0.0.1");
  StartSender(server.Port());
  ASSERT_TRUE(WaitFor([&] { return platform::FileExists(In("X.ConnTermin.Err")); }, 20s)) << Log();
  StopSender();
  EXPECT_EQ(server.Tries("x@127.0.0.1").size(), 5u);
  EXPECT_FALSE(platform::FileExists(m_data + ".retry"));
  EXPECT_TRUE(Logged("SMTPOut- Error: RetrySchedule entries left out: "));
}

}  // namespace
}  // namespace faxmail
