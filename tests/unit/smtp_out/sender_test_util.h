// Helpers of the sender's tests: a private FAXMAIL_ROOT with a data directory, the gateway's
// settings for the sender, ready files in IN, and the main log and event log read back.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <memory>

#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_out/smtp_out.h"
#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

// Where no DNS server listens: a lookup there fails at once and the sender falls back to the
// recipient's domain.
inline constexpr char kNoDnsServer[] = "127.25.255.254";

class SenderTest : public RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    m_data = Root() + "/data/";
    ASSERT_EQ(platform::CreateDirectory(Root() + "/data"), 0);
    ASSERT_EQ(platform::CreateDirectory(m_data + "IN"), 0);
    ASSERT_EQ(platform::CreateDirectory(m_data + "OUT"), 0);
    SetString("ProgramPath", m_data);
    SetString("DomainName", "fax.example");
    SetString("DNSName", kNoDnsServer);
    SetString("logfile", Root() + "/main.log");
    GetDebugSettings2();
  }
  void TearDown() override {
    StopSender();
    RootTest::TearDown();
    if (m_eventsNotKept)
      GTEST_SKIP() << "Wine's event log takes the reports and keeps no records to read back "
                      "(the case's other checks have run)";
  }
  // Starts a sender for the remote port with m_timings.
  void StartSender(std::uint16_t port) {
    SetDword("SmtpTxPort", port);
    m_fileMan = std::make_unique<CFileMan>();
    m_sender = std::make_unique<SMTPOut>();
    m_sender->SetFileManager(*m_fileMan);
    m_sender->SetTimings(m_timings);
    ASSERT_EQ(m_sender->Start(), 0);
  }
  // Ends the scheduler: what its last run did is all done afterwards.
  void StopSender() {
    m_sender.reset();
    m_fileMan.reset();
  }
  static void SetString(const char* name, const std::string& value) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetString(key, name, value), 0);
    platform::RegCloseKey(key);
  }
  static void SetDword(const char* name, std::uint32_t value) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetDword(key, name, value), 0);
    platform::RegCloseKey(key);
  }
  // The advanced options (read by the file manager only when AdvancedOptions is 1).
  static void SetOptions(std::uint32_t includeTiff, std::uint32_t subjectLine,
                         std::uint32_t notifyOnSuccess = 1, std::uint32_t notifyOnFailure = 1) {
    SetDword("AdvancedOptions", 1);
    SetDword("IncludeTIFF", includeTiff);
    SetDword("SubjectLine", subjectLine);
    SetDword("NotifyOnSuccess", notifyOnSuccess);
    SetDword("NotifyOnFailure", notifyOnFailure);
  }

  // A path in IN, with the system's separator from IN on (as the sender builds its paths).
  std::string In(const std::string& name) const { return m_data + NativePath("IN/" + name); }
  std::string Log() const { return ReadWholeFile(Root() + "/main.log"); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
  // How many entries of the log begin with message.
  int CountEntries(const std::string& message) const {
    const std::string log = Log();
    int count = 0;
    for (std::size_t at = 0; (at = log.find(message, at)) != std::string::npos;
         at += message.size())
      if (at == 0 || log[at - 1] == '\n') ++count;
    return count;
  }
  // Whether the events reported can be read back. Where the system's log keeps no records
  // (Wine) the case's event checks are left out and the case is reported skipped at its end.
  bool EventsKept() {
    std::vector<platform::EventRecord> all;
    platform::ReadEventLog(all);
    if (!all.empty() || !UnderWine()) return true;
    m_eventsNotKept = true;
    return false;
  }
  static std::vector<platform::EventRecord> Events(std::uint32_t id) {
    std::vector<platform::EventRecord> all;
    platform::ReadEventLog(all);
    std::vector<platform::EventRecord> matching;
    std::copy_if(all.begin(), all.end(), std::back_inserter(matching),
                 [id](const auto& e) { return e.eventId == id; });
    return matching;
  }
  // Names in IN matching pattern, sorted.
  std::vector<std::string> InFiles(const std::string& pattern = "*") const {
    std::vector<platform::DirEntry> entries;
    platform::FindFiles(m_data + "IN", pattern, entries);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string m_data;
  SMTPOut::Timings m_timings;
  std::unique_ptr<CFileMan> m_fileMan;
  std::unique_ptr<SMTPOut> m_sender;
  bool m_eventsNotKept = false;
};

// A ready file as the fax server writes it (CR LF lines).
struct ReadyFile {
  std::vector<std::string> header = {"FROM: Fax Server <fax@fax.example>",
                                     "TO: Alice <alice@dest.test>"};
  std::string subject = "SUBJECT: Fax sent OK to 5551234";
  std::vector<std::string> body = {"Your fax was sent.", "Pages: 1"};
  std::vector<std::string> attachments;  // "<<shown:file>>" lines; none: no section

  std::string Text() const {
    std::string text;
    for (const auto& line : header) text += line + "\r\n";
    if (!subject.empty()) text += subject + "\r\n";
    text += "\r\nBEGIN BODY\r\n\r\n";
    for (const auto& line : body) text += line + "\r\n";
    text += "\r\nEND BODY\r\n\r\n";
    if (!attachments.empty()) {
      text += "BEGIN ATTACH\r\n";
      for (const auto& line : attachments) text += line + "\r\n";
      text += "END ATTACH\r\n";
    }
    return text;
  }
};

}  // namespace faxmail::test
