// The real-mail set (tests/data/real_mail) through the whole gateway: one faxmailgw, every
// message delivered over SMTP in one session, and what lands in OUT compared with Python's
// email package's decoding of the same bytes (decode_real_mail.py, run with Debian's
// /usr/bin/python3): the message text file, each attachment file, each listed sent name, and
// the envelope's subject and fax recipients. The file rules are those of the other
// differential test (GatewayBytes); every other difference must be listed, with its reason,
// in tests/data/real_mail/DIFFERENCES, and every listed one must still occur.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/gateway_process.h"
#include "tests/support/peers.h"
#include "tests/support/python_parts.h"
#include "tests/support/smtp_client.h"
#include "tests/support/spool_check.h"
#include "tests/support/test_support.h"

namespace faxmail::test {
namespace {

namespace fs = std::filesystem;

// The one envelope recipient of every delivery; the reference accepts header addresses by it.
constexpr char kFaxRecipient[] = "12345@fax.example";
// Generous for one reply, decoding included: the largest message is well under a megabyte.
constexpr int kReplyTimeoutMs = 30000;
// The set is meant to stay large enough to be a regression set.
constexpr std::size_t kMinMessages = 100;

const std::string kSetFolder = faxmail::test::SourceDir() + "/tests/data/real_mail";

// (message file, where): where is "refused", "text", "subject", "recipients", "attachments"
// (their number), "attachment-N" (the bytes of the N-th), "name-N" (its listed sent name) or
// "cut-N" (a sent name that Python reads as UTF-8 listed as bytes that are not).
using Key = std::pair<std::string, std::string>;

struct Listed {
  std::string reason;
  int line = 0;
};

std::map<Key, Listed> ReadDifferences(const std::string& path, std::vector<std::string>& problems) {
  std::map<Key, Listed> listed;
  std::istringstream lines(ReadWholeFile(path));
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string message, where, reason;
    fields >> message >> where;
    std::getline(fields >> std::ws, reason);
    if (where.empty() || reason.empty()) {
      problems.push_back("DIFFERENCES line " + std::to_string(number) +
                         ": message, place and reason wanted");
      continue;
    }
    if (!listed.emplace(Key{message, where}, Listed{reason, number}).second)
      problems.push_back("DIFFERENCES line " + std::to_string(number) + ": listed twice");
  }
  return listed;
}

std::vector<std::string> CrlfLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The message data as it goes after DATA: lines that begin with '.' get one more.
std::string DotStuffed(const std::string& data) {
  std::string out;
  out.reserve(data.size() + data.size() / 64);
  bool lineStart = true;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (lineStart && data[i] == '.') out += '.';
    out += data[i];
    lineStart = data[i] == '\n' && i > 0 && data[i - 1] == '\r';
  }
  return out;
}

// Whether bytes are well-formed UTF-8 (no overlong forms or surrogates are looked for: a cut
// through a character is what matters here).
bool IsUtf8(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = lead < 0x80         ? 1
                               : (lead >> 5) == 6  ? 2
                               : (lead >> 4) == 14 ? 3
                               : (lead >> 3) == 30 ? 4
                                                   : 0;
    if (length == 0 || i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(bytes[i + k]) >> 6) != 2) return false;
    i += length;
  }
  return true;
}

struct Envelope {
  std::optional<std::string> subject;  // the first SUBJECT line's text
  std::set<std::string> recipients;    // the addresses of the first group's TO lines, lower case
  std::string body;                    // the message text file's name
  std::vector<std::pair<std::string, std::string>> attachments;  // (sent name, stored name)
};

Envelope ReadEnvelope(const std::string& path) {
  Envelope envelope;
  const auto lines = CrlfLines(ReadWholeFile(path));
  constexpr std::string_view kSubject = "SUBJECT: ";
  bool inBody = false, inAttach = false;
  constexpr std::string_view kTo = "TO: ";
  for (const std::string& line : lines) {
    if (!envelope.subject && line.compare(0, kTo.size(), kTo) == 0) {
      const std::size_t open = line.rfind('<');
      std::string address = line.substr(open + 1, line.find('>', open) - open - 1);
      std::transform(address.begin(), address.end(), address.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      envelope.recipients.insert(address);
    }
    if (!envelope.subject && line.compare(0, kSubject.size(), kSubject) == 0)
      envelope.subject = line.substr(kSubject.size());
    if (line == "BEGIN BODY") inBody = true;
    if (line == "END BODY") inBody = false;
    if (line == "BEGIN ATTACH") inAttach = true;
    if (line == "END ATTACH") inAttach = false;
    if (line.size() < 4 || line.compare(0, 2, "<<") != 0 ||
        line.compare(line.size() - 2, 2, ">>") != 0)
      continue;
    const std::string entry = line.substr(2, line.size() - 4);
    if (inBody) envelope.body = entry;
    if (inAttach) {
      const std::size_t colon = entry.find(':');
      envelope.attachments.emplace_back(entry.substr(0, colon),
                                        colon == std::string::npos ? "" : entry.substr(colon + 1));
    }
  }
  return envelope;
}

class RealMailTest : public RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    FAXMAIL_REQUIRE_PEER(kSystemPython);
  }

  // Compares what the gateway left in OUT for one message with Python's decoding.
  void Compare(const std::string& folder, const std::string& stem, const std::string& out,
               const Envelope& envelope) {
    const std::vector<PythonPart> parts = ReadPythonParts(folder, stem);
    std::string expectedText;
    std::vector<const PythonPart*> attachments;
    for (const PythonPart& part : parts) {
      if (part.text)
        expectedText += GatewayBytes(part);
      else
        attachments.push_back(&part);
    }
    if (envelope.body.empty())
      Note(stem, "text", "no message text file in the envelope");
    else
      Note(stem, "text", Difference(ReadWholeFile(out + envelope.body), expectedText));

    const std::string subjectFile = folder + "/" + stem + ".subject";
    if (fs::exists(subjectFile)) {
      const std::string expected = FromHex(ReadWholeFile(subjectFile));
      if (!envelope.subject)
        Note(stem, "subject", "no SUBJECT line, Python \"" + expected + "\"");
      else if (*envelope.subject != expected)
        Note(stem, "subject", "gateway \"" + *envelope.subject + "\", Python \"" + expected + "\"");
    }

    const std::string recipientsFile = folder + "/" + stem + ".recipients";
    if (fs::exists(recipientsFile)) {
      std::istringstream lines(ReadWholeFile(recipientsFile));
      std::set<std::string> expected;
      for (std::string line; std::getline(lines, line);) expected.insert(line);
      if (envelope.recipients != expected) {
        std::string detail = "gateway {";
        for (const std::string& address : envelope.recipients) detail += " " + address;
        detail += " }, Python {";
        for (const std::string& address : expected) detail += " " + address;
        Note(stem, "recipients", detail + " }");
      }
    }

    if (envelope.attachments.size() != attachments.size()) {
      std::string detail = "gateway " + std::to_string(envelope.attachments.size()) + " (";
      for (const auto& [sent, stored] : envelope.attachments) detail += sent + " ";
      detail += "), Python " + std::to_string(attachments.size()) + " (";
      for (const PythonPart* part : attachments) detail += part->mediaType + " ";
      Note(stem, "attachments", detail + ")");
      return;  // paired one by one they would only repeat this
    }
    for (std::size_t i = 0; i < attachments.size(); ++i) {
      const auto& [sent, stored] = envelope.attachments[i];
      const std::string n = std::to_string(i + 1);
      Note(stem, "attachment-" + n,
           Difference(ReadWholeFile(out + stored), GatewayBytes(*attachments[i])));
      const std::optional<std::string>& name = attachments[i]->name;
      if (name && sent != *name)
        Note(stem, "name-" + n, "gateway \"" + sent + "\", Python \"" + *name + "\"");
      if (name && IsUtf8(*name) && !IsUtf8(sent))
        Note(stem, "cut-" + n, "a UTF-8 name listed as \"" + sent + "\", not UTF-8");
      if (sent.empty()) Note(stem, "name-" + n, "empty sent name");
    }
  }

  void Note(const std::string& stem, const std::string& where, const std::string& detail) {
    if (!detail.empty()) m_seen[{stem + ".eml", where}] = detail;
  }

  std::map<Key, std::string> m_seen;  // differences that occurred, with what differed
};

// A session on a new connection, after HELO; false when the gateway does not answer.
bool OpenSession(ScriptedClient& client, std::uint16_t port) {
  client.Close();
  if (!client.Connect(port)) return false;
  if (client.ReadLine(kReplyTimeoutMs).compare(0, 3, "220") != 0) return false;
  return client.Send("HELO relay.example\r\n") &&
         client.ReadLine(kReplyTimeoutMs).compare(0, 3, "250") == 0;
}

// One transaction; the gateway's reply to the end of the data, or to the first command that
// it refused, empty when the connection broke.
std::string Deliver(ScriptedClient& client, const std::string& data) {
  const std::vector<std::string> commands = {"MAIL FROM:<sender@example.org>\r\n",
                                             "RCPT TO:<" + std::string(kFaxRecipient) + ">\r\n",
                                             "DATA\r\n"};
  for (const std::string& command : commands) {
    if (!client.Send(command)) return {};
    const std::string reply = client.ReadLine(kReplyTimeoutMs);
    if (reply.compare(0, 1, "2") != 0 && reply.compare(0, 1, "3") != 0) return reply;
  }
  if (!client.Send(DotStuffed(data) + ".\r\n")) return {};
  return client.ReadLine(kReplyTimeoutMs);
}

TEST_F(RealMailTest, EveryMessageIsWhatPythonDecodesOrAListedDifference) {
  TempDir corpus;
  std::string output;
  const std::string script =
      faxmail::test::SourceDir() + "/tests/interop/real_mail/decode_real_mail.py";
  ASSERT_EQ(RunProgram({kSystemPython, script, kSetFolder, corpus.Path(), kFaxRecipient}, &output),
            0)
      << output;
  std::vector<std::string> stems;
  for (const auto& entry : fs::directory_iterator(kSetFolder))
    if (entry.path().extension() == ".eml") stems.push_back(entry.path().stem().string());
  std::sort(stems.begin(), stems.end());
  ASSERT_GE(stems.size(), kMinMessages);

  // Every message names its origin and licence.
  const std::string sources = ReadWholeFile(kSetFolder + "/SOURCES");
  for (const std::string& stem : stems)
    EXPECT_NE(sources.find("\n" + stem + ".eml "), std::string::npos)
        << stem << ".eml is not in SOURCES";

  std::vector<std::string> problems;
  const std::map<Key, Listed> listed = ReadDifferences(kSetFolder + "/DIFFERENCES", problems);
  for (const std::string& problem : problems) ADD_FAILURE() << problem;

  GatewayProcess gateway(Root(), false);
  ASSERT_TRUE(gateway.Start());
  const std::string out = gateway.Data() + "OUT/";
  ScriptedClient client;
  ASSERT_TRUE(OpenSession(client, gateway.Port()));
  for (const std::string& stem : stems) {
    SCOPED_TRACE(stem + ".eml");
    const std::string reply = Deliver(client, ReadWholeFile(corpus / (stem + ".eml")));
    if (reply != "250 Mail Received OK\r\n") {
      m_seen[{stem + ".eml", "refused"}] = reply.empty() ? "connection broken" : reply;
      ASSERT_TRUE(OpenSession(client, gateway.Port()));
    } else {
      // The session reads its next command once the message has been decoded and spooled.
      ASSERT_TRUE(client.Send("NOOP\r\n"));
      ASSERT_EQ(client.ReadLine(kReplyTimeoutMs).compare(0, 3, "250"), 0);
    }
    const std::vector<std::string> ready = gateway.Files("OUT/", "ENV*.tmp");
    ASSERT_EQ(ready.size(), reply.compare(0, 3, "250") == 0 ? 1u : 0u);
    if (ready.empty()) continue;
    Compare(corpus.Path(), stem, out, ReadEnvelope(out + ready[0]));
    TakeEnvelope(out, ready[0]);
    EXPECT_EQ(gateway.Files("OUT/", "*"), std::vector<std::string>{})
        << "files in OUT that the envelope does not name";
  }
  client.Send("QUIT\r\n");
  EXPECT_EQ(gateway.Stop(), 0);

  for (const auto& [key, detail] : m_seen) {
    const auto entry = listed.find(key);
    if (entry == listed.end())
      ADD_FAILURE() << "not listed in DIFFERENCES: " << key.first << " " << key.second << ": "
                    << detail;
  }
  for (const auto& [key, entry] : listed)
    if (!m_seen.contains(key))
      ADD_FAILURE() << "DIFFERENCES line " << entry.line << " no longer occurs: " << key.first
                    << " " << key.second << " (" << entry.reason << ")";
}

}  // namespace
}  // namespace faxmail::test
