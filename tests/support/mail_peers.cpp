#include "tests/support/mail_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/support/peers.h"

namespace faxmail::test {

namespace {

std::string PeerScript() { return std::string(FAXMAIL_SOURCE_DIR) + "/tests/support/smtp_peer.py"; }

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::string& outputPath) {
  m_pid = ::fork();
  if (m_pid != 0) return;
  // A test that dies must not leave its peer behind.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (std::FILE* out = std::freopen(outputPath.c_str(), "w", stdout)) (void)out;
  ::dup2(1, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}

BackgroundProcess::~BackgroundProcess() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGTERM);
  if (WaitExit(std::chrono::seconds(5))) return;
  ::kill(m_pid, SIGKILL);
  ::waitpid(m_pid, nullptr, 0);
}

bool BackgroundProcess::Running() {
  if (m_pid <= 0) return false;
  if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
    m_pid = -1;
    return false;
  }
  return true;
}

bool BackgroundProcess::WaitExit(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool WaitForTcp(const std::string& address, std::uint16_t port, std::chrono::milliseconds timeout) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return false;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
    ::close(fd);
    if (ok) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

SmtpRecorder::SmtpRecorder(const std::string& address, std::uint16_t port, bool rejectRcpt)
    : m_process(rejectRcpt
                    ? std::vector<std::string>{kSystemPython, PeerScript(), "serve", address,
                                               std::to_string(port), m_dir.Path(), "--reject-rcpt"}
                    : std::vector<std::string>{kSystemPython, PeerScript(), "serve", address,
                                               std::to_string(port), m_dir.Path()},
                m_dir / "peer.out") {
  m_ready = WaitForTcp(address, port);
}

std::vector<RecordedMail> SmtpRecorder::Mails() const {
  std::vector<RecordedMail> mails;
  for (int n = 1;; ++n) {
    const std::string base = m_dir / std::to_string(n);
    if (!std::filesystem::exists(base + ".env")) break;
    RecordedMail mail;
    for (const auto& line : SplitLines(ReadWholeFile(base + ".env"))) {
      if (line.starts_with("helo ")) mail.helo = line.substr(5);
      if (line.starts_with("from ")) mail.mailFrom = line.substr(5);
      if (line.starts_with("to ")) mail.rcptTo.push_back(line.substr(3));
    }
    mail.data = ReadWholeFile(base + ".eml");
    mails.push_back(std::move(mail));
  }
  return mails;
}

bool SmtpRecorder::WaitForMails(std::size_t count, std::chrono::milliseconds timeout) const {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (Mails().size() < count) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::vector<std::string> SmtpSink::Argv(const std::string& address, std::uint16_t port) {
  // smtp-sink drops its privileges to nobody: the dump folder must be writable for it.
  std::filesystem::create_directories(m_dir / "dump");
  ::chmod(m_dir.Path().c_str(), 0755);
  ::chmod((m_dir / "dump").c_str(), 0777);
  return {kSmtpSink, "-u", "nobody", "-d", m_dir / "dump/%M.", address + ":" + std::to_string(port),
          "16"};
}

SmtpSink::SmtpSink(const std::string& address, std::uint16_t port)
    : m_process(Argv(address, port), m_dir / "sink.out") {
  m_ready = WaitForTcp(address, port);
}

std::vector<std::string> SmtpSink::Dumps() const {
  std::vector<std::string> dumps;
  for (const auto& entry : std::filesystem::directory_iterator(m_dir / "dump"))
    dumps.push_back(ReadWholeFile(entry.path().string()));
  return dumps;
}

PostfixInstance::PostfixInstance(
    const std::string& address, std::uint16_t port, const std::string& domain,
    const std::string& extraMain, const std::string& extraMaster,
    const std::vector<std::pair<std::string, std::string>>& confFiles) {
  const std::string dir = m_dir.Path();
  // The Postfix daemons run as the postfix user: they must reach their folders.
  ::chmod(dir.c_str(), 0755);
  std::filesystem::create_directories(m_dir / "conf");
  std::filesystem::create_directories(m_dir / "queue");
  std::filesystem::create_directories(m_dir / "data");
  if (const passwd* user = ::getpwnam("postfix"))
    if (::chown((m_dir / "data").c_str(), user->pw_uid, user->pw_gid) != 0) return;
  WriteWholeFile(m_dir / "conf/main.cf",
                 "compatibility_level = 3.6\n"
                 "queue_directory = " +
                     (m_dir / "queue") +
                     "\n"
                     "data_directory = " +
                     (m_dir / "data") +
                     "\n"
                     "mail_owner = postfix\nsetgid_group = postdrop\n"
                     "myhostname = mx." +
                     domain + "\nmydomain = " + domain +
                     "\n"
                     "myorigin = " +
                     domain +
                     "\nmydestination =\n"
                     "relay_domains = " +
                     domain +
                     "\nmynetworks = 127.0.0.0/8\n"
                     "inet_interfaces = 127.0.0.1\ninet_protocols = ipv4\n"
                     "smtpd_relay_restrictions = permit_mynetworks, reject\n"
                     "default_transport = discard:test\nrelay_transport = discard:test\n"
                     "maillog_file = " +
                     (m_dir / "maillog") +
                     "\n"
                     "maillog_file_prefixes = " +
                     dir +
                     "\n"
                     "smtputf8_enable = no\nbiff = no\nalias_maps =\nalias_database =\n" +
                     extraMain);
  WriteWholeFile(m_dir / "conf/master.cf", address + ":" + std::to_string(port) +
                                               " inet n - n - - smtpd\n"
                                               "pickup unix n - n 60 1 pickup\n"
                                               "cleanup unix n - n - 0 cleanup\n"
                                               "qmgr unix n - n 300 1 qmgr\n"
                                               "rewrite unix - - n - - trivial-rewrite\n"
                                               "bounce unix - - n - 0 bounce\n"
                                               "defer unix - - n - 0 bounce\n"
                                               "trace unix - - n - 0 bounce\n"
                                               "verify unix - - n - 1 verify\n"
                                               "proxymap unix - - n - - proxymap\n"
                                               "error unix - - n - - error\n"
                                               "discard unix - - n - - discard\n"
                                               "anvil unix - - n - 1 anvil\n"
                                               "scache unix - - n - 1 scache\n"
                                               "postlog unix-dgram n - n - 1 postlogd\n" +
                                               extraMaster);
  for (const auto& [name, content] : confFiles) {
    const std::string path = m_dir / ("conf/" + name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteWholeFile(path, content);
    // The daemons read them as the postfix user.
    ::chmod(path.c_str(), 0644);
    ::chmod(std::filesystem::path(path).parent_path().c_str(), 0755);
  }
  m_master = std::make_unique<BackgroundProcess>(
      std::vector<std::string>{kPostfix, "-c", m_dir / "conf", "start-fg"}, m_dir / "master.out");
  m_ready = WaitForTcp(address, port, std::chrono::seconds(20));
}

PostfixInstance::~PostfixInstance() {
  if (!m_master) return;
  RunProgram({kPostfix, "-c", m_dir / "conf", "stop"});
  m_master->WaitExit(std::chrono::seconds(10));
}

ParsedMail ParseMail(const std::string& message) {
  TempDir dir;
  WriteWholeFile(dir / "mail.eml", message);
  std::filesystem::create_directories(dir / "parts");
  std::string output;
  ParsedMail parsed;
  if (RunProgram({kSystemPython, PeerScript(), "parts", dir / "mail.eml", dir / "parts"},
                 &output) != 0)
    return parsed;
  for (const auto& line : SplitLines(output)) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    if (line.starts_with("defects\t")) {
      parsed.defects = std::stoi(line.substr(tab + 1));
      continue;
    }
    const auto tab2 = line.find('\t', tab + 1);
    if (tab2 == std::string::npos) continue;
    MailPart part;
    part.contentType = line.substr(tab + 1, tab2 - tab - 1);
    part.fileName = line.substr(tab2 + 1);
    part.payload = ReadWholeFile(dir / ("parts/" + line.substr(0, tab)));
    parsed.parts.push_back(std::move(part));
  }
  return parsed;
}

}  // namespace faxmail::test
