// The shared part of the hostile-input rows: a real faxmailgw -m per test, and the check that
// follows every row, whatever it sent: nothing else was lost. A normal mail in the session the
// row used (while it lives) and one in a new session each become a whole ready envelope; the
// process is alive and its resident memory under a bound; no file appeared outside the data
// directory and the gateway's own root.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/gateway_process.h"
#include "tests/support/smtp_client.h"
#include "tests/support/spool_check.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

// Every hostile name (an attachment's, a split message's id, a ready file's) that tries to
// leave its folder carries this word, so that a file it made anywhere is found by name.
inline constexpr char kEscapeMarker[] = "escape";

// The gateway's resident memory after a row. The quick rows send at most a few megabytes and
// the heavy ones stream up to 100 MB: a gateway that held a message, a header block or a list
// of parts in memory would pass the bound. Sanitizers add their shadow memory and quarantine.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr long kResidentBoundKiB = 512 * 1024;
#else
inline constexpr long kResidentBoundKiB = 96 * 1024;
#endif

// Bounds only against a hang: a reply, the decode of a row's mail, a whole slow row.
inline constexpr int kReplyMs = 30000;
inline constexpr auto kSettleBound = std::chrono::seconds(120);

inline constexpr char kAcknowledged[] = "250 Mail Received OK\r\n";

// Where a row leaves the session it used.
enum class After {
  Closed,    // ended (by either side): only the new-session mail is sent
  WaitHelo,  // no HELO accepted yet
  WaitMail,  // HELO accepted, no transaction open
};

// Resident memory (VmRSS) of a process in KiB; 0 when it is gone (or a zombie).
long ResidentKiB(pid_t pid);

// Every path below folder, with its kind ("d" folder, "f" file, "l" link, "o" other), by path.
std::map<std::string, std::string> ListTree(const std::string& folder);

// Sends the greeting wait and the commands of one transaction up to the 354 on an open
// session in state WaitHelo or WaitMail; false when a reply was not the expected one.
bool OpenTransaction(ScriptedClient& client, After state, std::string* replies = nullptr);

// The test name of a row: its name field.
struct RowName {
  template <class Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
    return row.param.name;
  }
};

// Sends bytes and reads one reply line for each expected one, each compared in turn.
void Exchange(ScriptedClient& client, const std::string& bytes,
              const std::vector<std::string>& replies);

class HostileTest : public RootTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Settings of the gateway's key to write before it starts (the registry of Root()).
  virtual void Configure() {}

  GatewayProcess& Gateway() { return *m_gateway; }
  std::string Out() const { return m_gateway->Data() + "OUT/"; }
  std::string In() const { return m_gateway->Data() + "IN/"; }

  // A connected session whose greeting has been read; fails the test when none comes.
  std::unique_ptr<ScriptedClient> Connect();

  // Waits until every message the gateway took is decoded: OUT holds only ready envelopes,
  // their texts, attachments and kept debug copies. False after the bound.
  bool WaitSettled();
  // The ready envelopes in OUT, by name; each is then taken away with its files, as the fax
  // server would, so that the check afterwards sees only its own mails.
  struct Ready {
    std::string envelope;  // its text
    std::string body;      // the message text file it names ("" when it names none)
    // Its attachment lines "<<sent:stored>>": sent, stored and whether stored is a plain
    // file of OUT.
    struct Attachment {
      std::string sent, stored;
      bool present = false;
    };
    std::vector<Attachment> attachments;
    std::vector<std::string> problems;  // lines of no known form
  };
  std::map<std::string, Ready> TakeReady();
  // The same, the message texts alone.
  std::map<std::string, std::string> TakeReadyTexts();
  // The check after every row; session: the row's session in state after (ignored for
  // Closed). Also takes away what the row left in OUT.
  void ExpectNothingElseLost(ScriptedClient* session, After after);

  // Whether the main or the secondary log holds text.
  bool Logged(const std::string& text) const;
  // A file or folder that a row itself made outside the data directory (a target for a hostile
  // name to reach), which the check after the row is not to count against the gateway.
  void OwnPath(const std::string& path) { m_ownPaths.insert(path); }

 private:
  std::unique_ptr<GatewayProcess> m_gateway;
  std::map<std::string, std::string> m_treeAtStart;
  std::map<std::string, std::string> m_parentAtStart;
  std::set<std::string> m_ownPaths;
  int m_nextProbe = 900000;
};

}  // namespace faxmail::test
