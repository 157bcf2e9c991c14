// The ready-file rows' part of the hostile suite: a gateway whose sender asks a scripted DNS
// server (on loopback port 53, at an address of this test's own) and delivers to an SMTP sink
// in the test; the ready files the rows write; and the run of one row with its outcome and the
// check that a normal ready file still goes out whole.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventlog.h"
#include "platform/socket.h"
#include "tests/hostile/hostile_support.h"
#include "tests/unit/dns/dns_test_util.h"

namespace faxmail::test {

// The bytes of every file that a hostile attachment line tries to reach: a mail that carries
// them, raw or in base64 ("U0VDUkVU"), has leaked it.
inline constexpr char kSecretBytes[] = "SECRET-SECRET-SECRET";
inline constexpr char kSecretBase64[] = "U0VDUkVULVNFQ1JFVC1TRUNSRVQ";

inline std::string Reference(const std::string& tag) { return "Reference: in-" + tag; }

// A notification to a mail sender: no attachments are mailed with it.
inline std::string Notification(const std::string& tag,
                                const std::string& address = "alice@localhost") {
  return "FROM: Fax Server <fax@fax.example>\r\nTO: Alice <" + address +
         ">\r\nSUBJECT: Fax sent OK to 5551234\r\n\r\nBEGIN BODY\r\n\r\n" + Reference(tag) +
         "\r\n\r\nEND BODY\r\n\r\n";
}

// A received fax for its addressee, whose attachments are mailed: lines are the attachment
// section's lines.
inline std::string FaxReceived(const std::string& tag, const std::string& lines) {
  return "FROM: Fax Server <fax@fax.example>\r\nTO: Alice <alice@localhost>\r\n"
         "SUBJECT: Fax received from 5551234\r\n\r\nBEGIN BODY\r\n\r\n" +
         Reference(tag) + "\r\n\r\nEND BODY\r\n\r\nBEGIN ATTACH\r\n" + lines + "\r\nEND ATTACH\r\n";
}

// Answers to a query (the message without its length prefix): its own question, with the
// AA bit, and the records the row wants.
using DnsScript = std::function<Reply(const Bytes& query)>;

inline Wire AnswerStart(const Bytes& query, unsigned an) {
  Wire m;
  m.bytes = query;
  if (m.bytes.size() < 12) m.bytes.resize(12);
  const unsigned flags = ResponseFlags(true);
  m.bytes[2] = static_cast<std::uint8_t>(flags >> 8);
  m.bytes[3] = static_cast<std::uint8_t>(flags & 0xFF);
  m.bytes[6] = static_cast<std::uint8_t>(an >> 8);
  m.bytes[7] = static_cast<std::uint8_t>(an & 0xFF);
  return m;
}

// Offset of the question's name in a message.
inline constexpr std::size_t kQuestionAt = 12;

// One exchanger named name for whatever was asked.
inline Reply ExchangerAnswer(const Bytes& query, const std::string& name) {
  Wire m = AnswerStart(query, 1);
  Wire rdata;
  rdata.U16(10).Name(name);
  m.Pointer(kQuestionAt).Record(15, 60, rdata.bytes);
  return Answer(m.bytes);
}

// An MX record whose owner name is a pointer to itself.
inline DnsScript PointerLoopAnswer() {
  return [](const Bytes& query) {
    Wire m = AnswerStart(query, 1);
    m.Pointer(m.Size()).Record(15, 60, {0, 10, 0});
    return Answer(m.bytes);
  };
}

// count MX records, each naming the exchanger name.
inline DnsScript ManyExchangersAnswer(int count, const std::string& name) {
  return [=](const Bytes& query) {
    Wire m = AnswerStart(query, static_cast<unsigned>(count));
    Wire rdata;
    rdata.U16(10).Name(name);
    for (int i = 0; i < count; ++i) m.Pointer(kQuestionAt).Record(15, 60, rdata.bytes);
    return Answer(m.bytes);
  };
}

// A plain SMTP server on 127.0.0.1 that accepts every mail and keeps it whole.
class SmtpSink {
 public:
  struct Mail {
    std::vector<std::string> recipients;
    std::string data;  // up to the end line, transparency dots as sent
  };

  explicit SmtpSink(std::uint16_t port) {
    m_ok = platform::Socket::Create(0, m_listening) == 0 && m_listening.SetReuseAddress() == 0 &&
           m_listening.Bind(platform::MakeAddress(port, 0x7f000001)) == 0 &&
           m_listening.Listen(8) == 0;
    if (m_ok) m_thread = std::thread([this] { Serve(); });
  }
  ~SmtpSink() {
    m_stop = true;
    m_listening.Shutdown();
    if (m_thread.joinable()) m_thread.join();
  }
  bool Ok() const { return m_ok; }
  std::vector<Mail> Mails() const {
    std::lock_guard lock(m_mutex);
    return m_mails;
  }
  // Whether a mail holding text has arrived.
  bool Has(const std::string& text) const {
    std::lock_guard lock(m_mutex);
    for (const Mail& mail : m_mails)
      if (mail.data.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  void Serve() {
    while (!m_stop) {
      platform::Socket client;
      platform::SocketAddress peer;
      if (m_listening.Accept(client, peer) != 0) return;
      client.SetReceiveTimeout(30000);
      Talk(client);
    }
  }
  static bool Say(platform::Socket& client, const std::string& text) {
    return client.Send(text.data(), text.size()) == static_cast<long>(text.size());
  }
  void Talk(platform::Socket& client) {
    if (!Say(client, "220 sink\r\n")) return;
    std::string buffer;
    Mail mail;
    bool inData = false;
    char block[64 * 1024];
    for (;;) {
      const auto end = buffer.find('\n');
      if (end == std::string::npos) {
        const long n = client.Recv(block, sizeof block);
        if (n <= 0) return;
        buffer.append(block, static_cast<std::size_t>(n));
        continue;
      }
      if (inData) {
        // Data is taken in whole blocks: the end line closes it.
        const auto stop = buffer.find("\r\n.\r\n");
        if (stop == std::string::npos && !buffer.starts_with(".\r\n")) {
          const long n = client.Recv(block, sizeof block);
          if (n <= 0) return;
          buffer.append(block, static_cast<std::size_t>(n));
          continue;
        }
        const std::size_t length = buffer.starts_with(".\r\n") ? 0 : stop + 2;
        mail.data = buffer.substr(0, length);
        buffer.erase(0, length + 3);
        {
          std::lock_guard lock(m_mutex);
          m_mails.push_back(std::move(mail));
        }
        mail = Mail();
        inData = false;
        if (!Say(client, "250 kept\r\n")) return;
        continue;
      }
      const std::string line = buffer.substr(0, end + 1);
      buffer.erase(0, end + 1);
      std::string verb = line.substr(0, 4);
      for (char& ch : verb) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      if (verb == "RCPT") mail.recipients.push_back(line);
      if (verb == "DATA") {
        inData = true;
        if (!Say(client, "354 go on\r\n")) return;
      } else if (verb == "QUIT") {
        Say(client, "221 bye\r\n");
        return;
      } else if (!Say(client, "250 ok\r\n")) {
        return;
      }
    }
  }

  platform::Socket m_listening;
  bool m_ok = false;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;
  std::vector<Mail> m_mails;
  std::thread m_thread;
};

enum class InOutcome { Delivered, SetAside };

class InHostileTest;

// What a row's setup may do.
class InContext {
 public:
  explicit InContext(InHostileTest& test) : m_test(test) {}
  std::string Root() const;
  std::string Data() const;  // ends with '/'
  std::string In() const;    // ends with '/'
  // A ready file written under its ready name at once.
  void Ready(const std::string& name, const std::string& content) const;
  // A file outside IN that must neither leave in a mail nor be deleted.
  void Secret(const std::string& path);
  void Own(const std::string& path);
  void Link(const std::string& target, const std::string& link);
  void Fifo(const std::string& path);
  // The DNS server's answers from now on (until the probe after the row).
  void Dns(DnsScript script);

 private:
  InHostileTest& m_test;
};

struct InRow {
  const char* name;
  std::function<void(InContext&)> setup;
  InOutcome outcome;
  const char* setAsideAs;           // the file's new name in IN, for SetAside
  const char* logged;               // a text one of the logs holds (or null)
  std::vector<std::string> leftIn;  // files of IN that stay
  std::uint32_t event = 0;          // an event the row reports (0: none looked for)
};

inline void PrintTo(const InRow& row, std::ostream* os) { *os << row.name; }

class InHostileTest : public HostileTest {
 public:
  void Configure() override {
    const std::uint16_t unique = FreeLoopbackPort();
    const std::uint32_t dns = 0x7f4e0000u | unique;  // 127.78.x.y, this test's own
    m_dnsAddress = "127.78." + std::to_string(unique >> 8) + "." + std::to_string(unique & 0xFF);
    m_dns = std::make_unique<ScriptedDnsServer>(dns, DNSResolver_kPort, [this](const Bytes& q) {
      std::lock_guard lock(m_scriptLock);
      return m_script(q);
    });
    ASSERT_TRUE(m_dns->Ok()) << "no DNS server on " << m_dnsAddress << ":53";
    const std::uint16_t smtp = FreeLoopbackPort();
    m_sink = std::make_unique<SmtpSink>(smtp);
    ASSERT_TRUE(m_sink->Ok());
    SetGatewayText("DNSName", m_dnsAddress);
    SetGatewayNumber("SmtpTxPort", smtp);
  }

  void SetScript(DnsScript script) {
    std::lock_guard lock(m_scriptLock);
    m_script = std::move(script);
  }
  void RememberSecret(const std::string& path) {
    WriteWholeFile(path, kSecretBytes);
    OwnPath(path);
    m_secrets.push_back(path);
  }
  void Remember(const std::string& path) { OwnPath(path); }
  std::string RootPath() const { return Root(); }
  std::string InPath() const { return In(); }
  std::string DataPath() { return Gateway().Data(); }

  // How long a row's file may take: five attempts with their DNS lookups, or a large body.
  static constexpr auto kOutcomeBound = std::chrono::seconds(120);

  void RunRow(const InRow& row) {
    InContext context(*this);
    row.setup(context);
    if (row.outcome == InOutcome::Delivered) {
      EXPECT_TRUE(WaitUntil(
          [&] { return !m_sink->Mails().empty() && Gateway().Files("IN", "*.tmp").empty(); },
          kOutcomeBound))
          << "not delivered\n"
          << Gateway().MainLog();
      for (const auto& mail : m_sink->Mails()) {
        EXPECT_EQ(mail.recipients.size(), 1u);
        const std::string header = mail.data.substr(0, mail.data.find("\r\n\r\n"));
        for (const std::string& line : CrLfLines(header)) {
          EXPECT_FALSE(line.starts_with("X-Injected")) << line;
          for (const char ch : line)
            EXPECT_TRUE(ch == '\t' || (static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f))
                << "control in the header line " << line;
        }
      }
    } else {
      EXPECT_TRUE(WaitUntil(
          [&] {
            std::error_code error;
            return std::filesystem::exists(
                std::filesystem::symlink_status(In() + row.setAsideAs, error));
          },
          kOutcomeBound))
          << "not set aside as " << row.setAsideAs << "\n"
          << Gateway().MainLog();
      EXPECT_TRUE(Gateway().Files("IN", "*.tmp").empty());
    }
    for (const auto& mail : m_sink->Mails()) {
      EXPECT_EQ(mail.data.find(kSecretBytes), std::string::npos) << "a secret left";
      EXPECT_EQ(mail.data.find(kSecretBase64), std::string::npos) << "a secret left";
      EXPECT_EQ(mail.data.find(Reference("leak")), std::string::npos) << "a linked file left";
    }
    for (const std::string& secret : m_secrets)
      EXPECT_EQ(ReadWholeFile(secret), kSecretBytes) << secret << " was touched";
    for (const std::string& name : row.leftIn)
      EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(In() + name)))
          << name << " gone from IN";
    if (row.event != 0) {
      std::vector<platform::EventRecord> events;
      platform::ReadEventLog(events);
      EXPECT_TRUE(std::any_of(events.begin(), events.end(),
                              [&](const auto& e) { return e.eventId == row.event; }))
          << "no event " << row.event;
    }
    if (row.logged) {
      EXPECT_TRUE(Logged(row.logged)) << row.logged << "\n" << Gateway().MainLog();
    }

    // A normal ready file still goes out, whole.
    SetScript(Sound());
    const std::size_t before = m_sink->Mails().size();
    context.Ready("probe.tmp", Notification("probe"));
    EXPECT_TRUE(WaitUntil([&] { return m_sink->Has(Reference("probe")); }, kOutcomeBound))
        << "the probe was not delivered\n"
        << Gateway().MainLog();
    EXPECT_EQ(m_sink->Mails().size(), before + 1);
    ExpectNothingElseLost(nullptr, After::Closed);
  }

  static DnsScript Sound() {
    return [](const Bytes& query) { return ExchangerAnswer(query, "localhost"); };
  }

  SmtpSink& Sink() { return *m_sink; }

 private:
  static constexpr std::uint16_t DNSResolver_kPort = 53;
  std::string m_dnsAddress;
  std::mutex m_scriptLock;
  DnsScript m_script = Sound();
  std::unique_ptr<ScriptedDnsServer> m_dns;
  std::unique_ptr<SmtpSink> m_sink;
  std::vector<std::string> m_secrets;
};

inline std::string InContext::Root() const { return m_test.RootPath(); }
inline std::string InContext::Data() const { return m_test.DataPath(); }
inline std::string InContext::In() const { return m_test.InPath(); }
inline void InContext::Ready(const std::string& name, const std::string& content) const {
  // Written under another name and given its ready name whole, as the fax server does.
  WriteWholeFile(In() + name + ".part", content);
  std::filesystem::rename(In() + name + ".part", In() + name);
}
inline void InContext::Secret(const std::string& path) { m_test.RememberSecret(path); }
inline void InContext::Own(const std::string& path) { m_test.Remember(path); }
inline void InContext::Link(const std::string& target, const std::string& link) {
  std::filesystem::create_symlink(target, link);
}
inline void InContext::Fifo(const std::string& path) { ::mkfifo(path.c_str(), 0600); }
inline void InContext::Dns(DnsScript script) { m_test.SetScript(std::move(script)); }

}  // namespace faxmail::test
