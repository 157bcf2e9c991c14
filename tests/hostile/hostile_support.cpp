#include "tests/hostile/hostile_support.h"

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/spare_files.h"
#include "platform/file.h"
#include "tests/support/spool_check.h"

namespace faxmail::test {

namespace {

namespace fs = std::filesystem;

// Size of the probe mails' attachment: a few base64 lines.
constexpr std::size_t kProbeAttachment = 3000;
// Entries that the gateway may add at the top of its root while it runs: its console output,
// the two logs, the event log and the private store of split messages.
const std::set<std::string> kTopLevelAllowed = {"console.out", "eventlog", "main.log",
                                                "secondary.log", "tmp"};

bool IsSettledName(const std::string& name) {
  std::uint32_t number = 0;
  if (name.ends_with(".debug") || AttachmentNumber(name, number)) return true;
  for (const char* suffix : {".tmp", ".bdy"})
    if (name.ends_with(suffix) &&
        EnvelopeNumber(name.substr(0, name.size() - std::string(suffix).size()), number))
      return true;
  return false;
}

// Kind letter of a path, not following a link.
std::string KindOf(const fs::directory_entry& entry) {
  std::error_code error;
  const auto status = entry.symlink_status(error);
  if (fs::is_symlink(status)) return "l";
  if (fs::is_directory(status)) return "d";
  if (fs::is_regular_file(status)) return "f";
  return "o";
}

// Entries directly in folder, by name (the temporary folder is shared with other tests: only
// names matter there).
std::map<std::string, std::string> ListFolder(const std::string& folder) {
  std::map<std::string, std::string> entries;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    entries[it->path().filename().string()] = KindOf(*it);
  return entries;
}

}  // namespace

long ResidentKiB(pid_t pid) {
  const std::string status = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find("VmRSS:");
  if (at == std::string::npos) return 0;
  return std::strtol(status.c_str() + at + 6, nullptr, 10);
}

std::map<std::string, std::string> ListTree(const std::string& folder) {
  std::map<std::string, std::string> tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error))
    tree[it->path().string()] = KindOf(*it);
  return tree;
}

bool OpenTransaction(ScriptedClient& client, After state, std::string* replies) {
  std::string script;
  int expected = 3;
  if (state == After::WaitHelo) {
    script = "HELO probe.example\r\n";
    ++expected;
  }
  script += "MAIL FROM:<probe@example.org>\r\nRCPT TO:<12345@fax.example>\r\nDATA\r\n";
  if (!client.Send(script)) return false;
  std::string all;
  for (int i = 0; i < expected; ++i) {
    const std::string line = client.ReadLine(kReplyMs);
    all += line;
    const bool last = i + 1 == expected;
    if (line.substr(0, 3) != (last ? "354" : "250")) {
      if (replies) *replies = all;
      return false;
    }
  }
  if (replies) *replies = all;
  return true;
}

void Exchange(ScriptedClient& client, const std::string& bytes,
              const std::vector<std::string>& replies) {
  EXPECT_TRUE(client.Send(bytes));
  for (const std::string& reply : replies) {
    const std::string line = client.ReadLine(kReplyMs);
    EXPECT_EQ(line, reply);
    if (line.empty()) return;
  }
}

void HostileTest::SetUp() {
  RootTest::SetUp();
  // The store of split messages is then the gateway's private one in its root, where the check
  // after each row can see it.
  ::unsetenv("TMP");
  m_gateway = std::make_unique<GatewayProcess>(Root());
  Configure();
  ASSERT_TRUE(m_gateway->Start()) << m_gateway->ConsoleOutput();
  m_treeAtStart = ListTree(Root());
  m_parentAtStart = ListFolder(fs::path(Root()).parent_path().string());
}

void HostileTest::TearDown() {
  if (m_gateway && ResidentKiB(m_gateway->Pid()) > 0) {
    EXPECT_EQ(m_gateway->Stop(), 0);
  }
  m_gateway.reset();
  RootTest::TearDown();
}

std::unique_ptr<ScriptedClient> HostileTest::Connect() {
  auto client = std::make_unique<ScriptedClient>();
  EXPECT_TRUE(client->Connect(m_gateway->Port()));
  EXPECT_EQ(client->ReadLine(kReplyMs), "220 fax.example Service Ready\r\n");
  return client;
}

bool HostileTest::WaitSettled() {
  return WaitUntil(
      [&] {
        for (const auto& name : m_gateway->Files("OUT", "*"))
          if (!IsSettledName(name)) return false;
        return true;
      },
      kSettleBound);
}

std::map<std::string, HostileTest::Ready> HostileTest::TakeReady() {
  std::map<std::string, Ready> ready;
  for (const auto& name : m_gateway->Files("OUT", "ENV*.tmp")) {
    Ready& r = ready[name];
    r.envelope = ReadWholeFile(Out() + name);
    // FROM, TO and SUBJECT groups; an empty line, the body block; the attachment block.
    enum { Headers, Body, Between, Attach, Done } at = Headers;
    for (const std::string& line : CrLfLines(r.envelope)) {
      const bool named = line.size() >= 4 && line.starts_with("<<") && line.ends_with(">>");
      if (at == Headers && (line.starts_with("FROM: ") || line.starts_with("TO: ") ||
                            line.starts_with("SUBJECT: ") || line.empty())) {
      } else if ((at == Headers) && line == "BEGIN BODY") {
        at = Body;
      } else if (at == Body && named && r.body.empty()) {
        r.body = ReadWholeFile(Out() + line.substr(2, line.size() - 4));
      } else if (at == Body && line == "END BODY") {
        at = Between;
      } else if (at == Between && line.empty()) {
      } else if (at == Between && line == "BEGIN ATTACH") {
        at = Attach;
      } else if (at == Attach && named && line.find(':') != std::string::npos) {
        const auto colon = line.find(':');
        Ready::Attachment a;
        a.sent = line.substr(2, colon - 2);
        a.stored = line.substr(colon + 1, line.size() - colon - 3);
        std::error_code error;
        a.present = a.stored.find('/') == std::string::npos &&
                    fs::is_regular_file(fs::symlink_status(Out() + a.stored, error));
        r.attachments.push_back(a);
      } else if (at == Attach && line == "END ATTACH") {
        at = Done;
      } else {
        r.problems.push_back(line);
      }
    }
    if (at != Between && at != Done) r.problems.push_back("(unfinished sections)");
    TakeEnvelope(Out(), name);
  }
  return ready;
}

std::map<std::string, std::string> HostileTest::TakeReadyTexts() {
  std::map<std::string, std::string> texts;
  for (auto& [name, ready] : TakeReady()) texts[name] = std::move(ready.body);
  return texts;
}

bool HostileTest::Logged(const std::string& text) const {
  return m_gateway->MainLog().find(text) != std::string::npos ||
         m_gateway->SecondaryLog().find(text) != std::string::npos;
}

void HostileTest::ExpectNothingElseLost(ScriptedClient* session, After after) {
  const pid_t pid = m_gateway->Pid();
  ASSERT_GT(ResidentKiB(pid), 0) << "the gateway is gone\n" << m_gateway->ConsoleOutput();
  ASSERT_TRUE(WaitSettled()) << "OUT never settled";
  TakeReady();
  for (const auto& name : m_gateway->Files("OUT", "*.debug")) platform::DeleteFile(Out() + name);

  std::set<int> probes;
  if (session && after != After::Closed) {
    const int id = m_nextProbe++;
    std::string replies;
    EXPECT_TRUE(OpenTransaction(*session, after, &replies)) << "same session: " << replies;
    EXPECT_TRUE(session->Send(MailWithAttachment(id, kProbeAttachment) + ".\r\n"));
    EXPECT_EQ(session->ReadLine(kReplyMs), kAcknowledged) << "same session";
    probes.insert(id);
  }
  const int id = m_nextProbe++;
  EXPECT_EQ(SendMail(m_gateway->Port(), MailWithAttachment(id, kProbeAttachment), kReplyMs),
            kAcknowledged)
      << "new session";
  probes.insert(id);

  SpoolCheck check;
  const bool whole = WaitUntil(
      [&] {
        check = CheckSpool(Out(), kProbeAttachment);
        return check.ready.size() == probes.size();
      },
      kSettleBound);
  EXPECT_TRUE(whole) << "probe mails not all ready";
  for (const int probe : probes) EXPECT_EQ(check.ready[probe], 1) << "probe " << probe;
  for (const auto& problem : check.problems) ADD_FAILURE() << problem;
  for (const auto& leftover : check.leftovers)
    if (!leftover.ends_with(".debug")) ADD_FAILURE() << "left in OUT: " << leftover;

  const long resident = ResidentKiB(pid);
  EXPECT_GT(resident, 0) << "the gateway is gone";
  EXPECT_LT(resident, kResidentBoundKiB) << "resident memory in KiB";

  const std::string root = Root() + "/";
  const std::string data = root + "data/";
  for (const auto& [path, kind] : ListTree(Root())) {
    if (m_treeAtStart.contains(path) || m_ownPaths.contains(path)) continue;
    const std::string relative = path.substr(root.size());
    const auto slash = relative.find('/');
    if (slash == std::string::npos) {
      EXPECT_TRUE(kTopLevelAllowed.contains(relative)) << "new in the root: " << path;
    } else if (relative.starts_with("data/")) {
      const std::string inData = relative.substr(5);
      // The gateway's spare files: empty or a record's worth, and plain files of that one
      // folder.
      if (inData == ".spare" || inData.starts_with(".spare/")) {
        EXPECT_TRUE(inData == ".spare" ? kind == "d"
                                       : kind == "f" && fs::file_size(path) <= kKeptSpareData &&
                                             inData.find('/', 7) == std::string::npos)
            << "not a spare file: " << path << " (" << kind << ")";
        continue;
      }
      EXPECT_TRUE(inData.starts_with("OUT/") || inData.starts_with("IN/"))
          << "new in the data directory: " << path;
      if (inData.starts_with("OUT/")) {
        EXPECT_TRUE(kind == "f" && inData.find('/', 4) == std::string::npos)
            << "not a plain file of OUT: " << path << " (" << kind << ")";
      }
    }
    // The store's folder names are made of an id's safe characters, the marker's among them.
    if (!relative.starts_with("tmp/parts/")) {
      EXPECT_EQ(fs::path(path).filename().string().find(kEscapeMarker), std::string::npos)
          << "a hostile name reached " << path;
    }
  }
  for (const auto& [name, kind] : ListFolder(fs::path(Root()).parent_path().string()))
    if (!m_parentAtStart.contains(name)) {
      EXPECT_EQ(name.find(kEscapeMarker), std::string::npos)
          << "a hostile name reached beside the root: " << name;
    }
  // What the probes left goes too, so that a row may check again.
  TakeReady();
}

}  // namespace faxmail::test
