// The relay tests' fixture: one delivery attempt of a short message against a scripted server,
// the relay host with its user and a private password file, and the values every case shares.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/smtp_out.h"
#include "platform/file.h"
#include "tests/support/test_support.h"
#include "tests/unit/smtp_out/scripted_server.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail::test {

inline constexpr char kRelayMessage[] =
    "TO: <USER@127.0.0.1>\r\nSubject: test\r\n\r\nhello\r\n.\r\n";
inline constexpr char kRelayUser[] = "relayuser";
inline constexpr char kRelayPassword[] = "s3cret pass";
// Base64 of the user, of the password, and of NUL user NUL password.
inline constexpr char kRelayUser64[] = "cmVsYXl1c2Vy";
inline constexpr char kRelayPassword64[] = "czNjcmV0IHBhc3M=";
inline constexpr char kRelayPlain64[] = "AHJlbGF5dXNlcgBzM2NyZXQgcGFzcw==";

inline constexpr char kEhloClear[] = "250-scripted.test\r\n250 8BITMIME\r\n";
inline constexpr char kEhloStartTls[] =
    "250-scripted.test\r\n250-STARTTLS\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n";
inline constexpr char kTransfer[] =
    "Mail from:<fax.example>\r\nRCPT to:<USER@127.0.0.1>\r\nDATA\r\n";

// A server that offers STARTTLS and answers it; its TLS layer is the test's to give.
inline ServerScript StartTlsScript() {
  ServerScript script;
  script.replies["EHLO"] = kEhloStartTls;
  script.replies["STARTTLS"] = "220 2.0.0 go ahead\r\n";
  return script;
}

class RelayTest : public SenderTest {
 protected:
  void SetUp() override {
    SenderTest::SetUp();
    SetEnv("SSL_CERT_FILE", std::nullopt);
  }
  void TearDown() override {
    SetEnv("SSL_CERT_FILE", std::nullopt);
    SenderTest::TearDown();
  }
  std::string PasswordFilePath() const { return Root() + "/relay.password"; }
  // The password file with content, closed to everyone but its owner.
  std::string PrivatePasswordFile(const std::string& content) {
    const std::string path = PasswordFilePath();
    WriteWholeFile(path, content);
    platform::File file;
    EXPECT_EQ(platform::File::Open(path, platform::Access::ReadWrite, platform::Share::None,
                                   platform::Disposition::OpenExisting, file),
              0);
    EXPECT_EQ(file.RestrictToOwner(), 0);
    return path;
  }
  void SetRelay(const std::string& host, bool withUser = true) {
    SetString("RelayHost", host);
    if (!withUser) return;
    SetString("RelayUser", kRelayUser);
    SetString("RelayPasswordFile", PrivatePasswordFile(std::string(kRelayPassword) + "\n"));
  }
  // One delivery attempt of kRelayMessage with the values set so far.
  int Deliver(std::uint16_t port) {
    SetDword("SmtpTxPort", port);
    CFileMan fileMan;
    SMTPOut sender;
    sender.SetFileManager(fileMan);
    SMTPOut::Timings timings;
    timings.receiveTimeoutMs = 3000;
    sender.SetTimings(timings);
    WriteWholeFile(In("w.cqx"), kRelayMessage);
    platform::File work;
    EXPECT_EQ(platform::File::Open(In("w.cqx"), platform::Access::Read, platform::Share::None,
                                   platform::Disposition::OpenExisting, work),
              0);
    return sender.SendViaMX(work, "USER@127.0.0.1", "TO: <USER@127.0.0.1>");
  }
};

}  // namespace faxmail::test
