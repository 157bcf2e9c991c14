// Mail servers that nobody here wrote, started by a test on a loopback address of its own:
// Python's aiosmtpd recording every transaction (smtp_peer.py), Postfix's smtp-sink, and a
// private Postfix instance (master and smtpd) with its own configuration and queue. Each is
// stopped when its object goes. MIME decoding of a recorded mail with Python's email package.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

namespace faxmail::test {

// A child process with its output in a file; ended (SIGTERM, then SIGKILL) with the object, and
// ended with the test process should that die first.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const std::string& outputPath);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  bool Running();
  // Waits for the process to end by itself; whether it did within timeout.
  bool WaitExit(std::chrono::milliseconds timeout);

 private:
  pid_t m_pid = -1;
};

// Whether address:port takes TCP connections within timeout.
bool WaitForTcp(const std::string& address, std::uint16_t port,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

struct RecordedMail {
  std::string helo;
  std::string mailFrom;
  std::vector<std::string> rcptTo;
  std::string data;  // as received, transparency dots removed
};

// aiosmtpd on address:port recording each transaction into a folder of its own.
class SmtpRecorder {
 public:
  SmtpRecorder(const std::string& address, std::uint16_t port, bool rejectRcpt = false);
  bool Ready() const { return m_ready; }
  std::vector<RecordedMail> Mails() const;
  bool WaitForMails(std::size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  std::string Output() const { return ReadWholeFile(m_dir / "peer.out"); }

 private:
  TempDir m_dir;
  BackgroundProcess m_process;
  bool m_ready = false;
};

// Postfix's smtp-sink on address:port, dumping each transaction into its folder.
class SmtpSink {
 public:
  SmtpSink(const std::string& address, std::uint16_t port);
  bool Ready() const { return m_ready; }
  // The dump files' contents, in no particular order.
  std::vector<std::string> Dumps() const;

 private:
  TempDir m_dir;
  std::vector<std::string> Argv(const std::string& address, std::uint16_t port);
  BackgroundProcess m_process;
  bool m_ready = false;
};

// A private Postfix (master, smtpd, cleanup, qmgr, discard) listening on address:port, relaying
// for domain into the discard transport; its log in MailLog(). Needs root. extraMain and
// extraMaster are appended to main.cf and master.cf (a later main.cf value wins), say to relay
// through its smtp client instead; Folder() holds the files they name. confFiles are written
// into the configuration folder before Postfix starts (name relative to it, content), such as
// "sasl/smtpd.conf", which Debian's smtpd looks for there.
class PostfixInstance {
 public:
  PostfixInstance(const std::string& address, std::uint16_t port, const std::string& domain,
                  const std::string& extraMain = {}, const std::string& extraMaster = {},
                  const std::vector<std::pair<std::string, std::string>>& confFiles = {});
  // The instance's own folder (its conf, queue and data are below it).
  const std::string& Folder() const { return m_dir.Path(); }
  ~PostfixInstance();
  bool Ready() const { return m_ready; }
  std::string MailLog() const { return ReadWholeFile(m_dir / "maillog"); }

 private:
  TempDir m_dir;
  std::unique_ptr<BackgroundProcess> m_master;
  bool m_ready = false;
};

struct MailPart {
  std::string contentType;
  std::string fileName;  // "-" when the part names none
  std::string payload;   // decoded
};
struct ParsedMail {
  int defects = -1;  // the message's own defects as Python's parser counts them
  std::vector<MailPart> parts;
};
// Parses a message with Python's email package; defects -1 when the parser could not run.
ParsedMail ParseMail(const std::string& message);

inline constexpr char kSmtpSink[] = "/usr/sbin/smtp-sink";
inline constexpr char kPostfix[] = "/usr/sbin/postfix";

}  // namespace faxmail::test
