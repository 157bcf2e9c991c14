#include "gateway/smtp_in/smtp_in.h"

#include <array>
#include <cctype>
#include <cstring>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_in/spool_commit.h"
#include "gateway/service/log.h"
#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "SMTP_IN";
// GetDomainName copies into a buffer of this size (the text and its zero).
constexpr std::size_t kDomainBuffer = 100;

constexpr char kBadSequence[] = "503 Bad Sequence Of Commands.\r\n";
constexpr char kUnknown[] = "500 Syntax Error, Command Unknown.\r\n";
constexpr char kNoop[] = "250 Requested mail action ok, completed\r\n";
constexpr char kReset[] = "250 Ok\r\n";
constexpr char kGoodbye[] = "221 Goodbye\r\n";
constexpr char kStartData[] = "354 Start mail input, end with <CRLF>.<CRLF>\r\n";
constexpr char kReceived[] = "250 Mail Received OK\r\n";
constexpr char kNotStored[] = "451 Requested action aborted: local error in processing\r\n";
constexpr char kTooManyRecipients[] = "452 Too many recipients\r\n";
constexpr char kNoStorage[] = "452 Requested action not taken: insufficient system storage\r\n";
// Reported when an acknowledged message could not be decoded and is kept for another try.
constexpr std::uint32_t kEventDecodeKept = 433;

constexpr std::array<const char*, 13> kHelp = {
    "214- SMTP Fax Gateway Service \r\n",
    "214- ================================================ \r\n",
    "214- Commands Accepted: \r\n",
    "214-    HELO   MAIL   RCPT   DATA   HELP   QUIT \r\n",
    "214-    NOOP   RSET  \r\n",
    "214- Normal Communication Sequence: \r\n",
    "214-    HELO mail.example.com \r\n",
    "214-    MAIL From:<sender@mail.example.com> \r\n",
    "214-    RCPT To:<fax@example.net> \r\n",
    "214-    DATA \r\n",
    "214-          << send email message here>> \r\n",
    "214-\t\tQUIT \r\n",
    "214  ================================================ \r\n",
};

constexpr std::array<std::pair<const char*, SmtpCommand>, 8> kCommands = {{
    {"HELO", HELO},
    {"MAIL", MAIL},
    {"RCPT", RCPT},
    {"DATA", DATA},
    {"HELP", HELP},
    {"QUIT", QUIT},
    {"NOOP", NOOP},
    {"RSET", RSET},
}};

// The file-name part of a path: from its last separator on (empty for an empty path).
std::string FileNamePart(const std::string& path) {
  const auto slash = path.find_last_of(platform::kPathSeparator);
  return slash == std::string::npos ? path : path.substr(slash);
}

}  // namespace

void LogBoth(std::string_view message, std::string_view text, int line) {
  LogMessageText(message, text, kTag, line);
  LogMessageText2(message, text, kTag, line);
}

SmtpCommand ParseCommand(std::string_view line) {
  if (line.size() < 4) return Unknown;
  char verb[4];
  for (std::size_t i = 0; i < 4; ++i)
    verb[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
  for (const auto& [name, command] : kCommands)
    if (std::memcmp(verb, name, 4) == 0) return command;
  return Unknown;
}

bool HasControlCharacter(std::string_view line) {
  for (const char c : line) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return true;
  }
  return false;
}

std::string CommandArgument(std::string_view line) {
  if (line.size() <= 4) return {};
  std::string_view argument = line.substr(4);
  const auto first = argument.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string() : std::string(argument.substr(first));
}

namespace {

// The spare files of OUT live in the data directory, beside OUT and IN.
constexpr char kSpareFolderName[] = ".spare";

std::string SpareFolder(const std::string& programPath) {
  return programPath.empty() ? std::string()
                             : programPath + kSpareFolderName + platform::kPathSeparator;
}

}  // namespace

SMTPIn::SMTPIn(CFileMan& fileMan)
    : m_fileMan(fileMan), m_spares(SpareFolder(fileMan.ProgramPath())) {}

// Connection threads call this object's operations: stop them before it goes.
SMTPIn::~SMTPIn() {
  Shutdown();
  {
    std::lock_guard lock(m_retryLock);
    m_stopping = true;
  }
  m_retryWake.notify_all();
  if (m_retryThread.joinable()) m_retryThread.join();
}

void SMTPIn::SetDecodeRetryInterval(std::chrono::milliseconds interval) {
  {
    std::lock_guard lock(m_retryLock);
    m_retryInterval = interval;
  }
  m_retryWake.notify_all();
}

std::size_t SMTPIn::PendingCount() const {
  std::lock_guard lock(m_pendingLock);
  return m_pending.size() + m_retrying;
}

void SMTPIn::AddPending(const std::string& path, bool report) {
  if (report) {
    LogBoth("SMTPIn- Error: Message not decoded, kept for another try: ", path, __LINE__);
    ReportGatewayEvent(platform::EventType::Error, kEventDecodeKept, kServiceName, path.c_str());
  }
  {
    std::lock_guard lock(m_pendingLock);
    m_pending.push_back(path);
  }
  std::lock_guard lock(m_retryLock);
  if (!m_retryThread.joinable() && !m_stopping)
    m_retryThread = std::thread([this] { RetryLoop(); });
}

void SMTPIn::RetryLoop() {
  std::unique_lock lock(m_retryLock);
  while (!m_stopping) {
    m_retryWake.wait_for(lock, m_retryInterval);
    if (m_stopping) break;
    lock.unlock();
    RetryPending();
    lock.lock();
  }
}

std::size_t SMTPIn::RetryPending() {
  std::lock_guard pass(m_retryPass);
  std::vector<std::string> waiting;
  {
    std::lock_guard lock(m_pendingLock);
    waiting.swap(m_pending);
    m_retrying = waiting.size();
  }
  std::vector<std::string> failed;
  for (const std::string& path : waiting) {
    if (DecodeCommitted(path, nullptr))
      LogBoth("SMTPIn- Kept message decoded: ", path, __LINE__);
    else
      failed.push_back(path);
  }
  std::lock_guard lock(m_pendingLock);
  m_pending.insert(m_pending.begin(), failed.begin(), failed.end());
  m_retrying = 0;
  return m_pending.size();
}

void SMTPIn::RemoveDecoded(const std::string& path, const std::string& marker) {
  if (IsMainLogOn())
    KeepDebugCopy(path);
  else
    m_spares.Give(path);
  m_spares.Give(marker);
}

bool SMTPIn::DecodeCommitted(const std::string& path, const std::vector<std::string>* recipients) {
  const std::string record = CommitRecordPath(path);
  std::optional<std::vector<std::string>> stored;
  if (!recipients) {
    stored = ReadCommitRecord(record);
    if (!stored) {
      // Trying again cannot mend it; the files stay for the administrator.
      LogBoth("SMTPIn- Error: Commit record unreadable, message left as it is: ", record, __LINE__);
      return true;
    }
    recipients = &*stored;
  }
  std::string marker;
  if (!DecodeFile(path, *recipients, record, &marker)) return false;
  RemoveDecoded(path, marker);
  return true;
}

void SMTPIn::DecodeAcknowledged(const std::string& path,
                                const std::vector<std::string>& recipients) {
  if (!DecodeCommitted(path, &recipients)) {
    AddPending(path, true);
    return;
  }
  if (PendingCount() > 0) RetryPending();
}

std::unique_ptr<C_WSTHREAD> SMTPIn::CreateConnection() {
  return std::make_unique<SMTPInThread>(*this);
}

void SMTPIn::ReleaseConnection(std::unique_ptr<C_WSTHREAD> connection) { connection.reset(); }

SMTPInThread::SMTPInThread(SMTPIn& server) : m_server(server) {
  m_server.FileMan().GetDomainName(m_domainName, kDomainBuffer);
}

void SMTPInThread::Reply(std::string_view text) {
  // Sent by its length: a reply is never cut short of its CR LF by a byte it echoes.
  if (!text.empty()) SendBytes(text.data(), static_cast<int>(text.size()));
}

void SMTPInThread::SendHelp() {
  for (const char* line : kHelp) SendText(line);
}

void SMTPInThread::SendGoodbye() { SendText(kGoodbye); }

void SMTPInThread::Run() {
  LogMessage("SMTPIn - New Connection", kTag, __LINE__);
  LogMessage2("SMTPIn - New Connection", kTag, __LINE__);
  Reply("220 " + m_domainName + " Service Ready\r\n");
  char buffer[kLineLimit + 1];
  for (;;) {
    if (m_state == DataStream) {
      LimitPhase(m_server.DataTimeLimit());
      ReceiveMessage();
      if (ReceiveDeadlineReached()) break;
      continue;
    }
    switch (m_state) {
      case WaitHelo: LogMessage("SMTPIn- Wait for HELO", kTag, __LINE__); break;
      case WaitMail: LogMessage("SMTPIn- Wait for MAIL", kTag, __LINE__); break;
      default: LogMessage("SMTPIn- Wait for RCPT or DATA", kTag, __LINE__); break;
    }
    LimitPhase(m_server.CommandTimeLimit());
    const int length = ReceiveLine(buffer, kLineLimit);
    if (length <= 0) break;
    if (!HandleCommand(std::string(buffer, static_cast<std::size_t>(length)))) break;
  }
  if (ReceiveDeadlineReached())
    LogBoth("SMTPIn- Session time limit reached, connection closed: ", PeerAddressText(), __LINE__);
  LogBoth("SMTPIn- Message processing complete: ", FileNamePart(m_messageFile), __LINE__);
}

void SMTPInThread::LimitPhase(std::uint32_t milliseconds) {
  SetReceiveDeadline(Clock::now() + std::chrono::milliseconds(milliseconds));
}

bool SMTPInThread::HandleCommand(const std::string& line) {
  // A control character has no place in a command line; such a line is no command at all,
  // and what it carries is never taken into the session.
  const SmtpCommand command = HasControlCharacter(line) ? Unknown : ParseCommand(line);
  if (m_state == WaitHelo && command != HELO) {
    LogMessage("SMTPIn- HELO not received", kTag, __LINE__);
  } else if (m_state == WaitMail && command != MAIL) {
    LogBoth("SMTPIn- MAIL not received: ", line, __LINE__);
  } else if (m_state == WaitRcptOrData && command != RCPT && command != DATA) {
    LogBoth("SMTPIn- RCPT or DATA not received: ", line, __LINE__);
  }

  switch (command) {
    case HELO:
      if (m_state != WaitHelo) {
        Reply(kBadSequence);
        break;
      }
      LogMessage("SMTPIn- HELO received", kTag, __LINE__);
      m_relayDomain = CommandArgument(line);
      LogMessageText("SMTPIn- Acknowledged HELO (RelayDomainName): ", *m_relayDomain, kTag,
                     __LINE__);
      Reply("250 " + m_domainName + " " + *m_relayDomain + "\r\n");
      m_state = WaitMail;
      break;
    case MAIL:
      if (m_state != WaitMail) {
        Reply(kBadSequence);
        break;
      }
      LogMessage("SMTPIn- MAIL received", kTag, __LINE__);
      if (const auto refusal =
              m_server.Policy().Refusal(PeerAddressText(), CommandArgument(line), m_authUser)) {
        Reply(*refusal);
        break;
      }
      m_sender = CommandArgument(line);
      m_recipients.clear();
      LogBoth("SMTPIn- Acknowledged MAIL (From): ", *m_sender, __LINE__);
      Reply("250 OK  " + *m_sender + " \r\n");
      m_state = WaitRcptOrData;
      break;
    case RCPT: {
      if (m_state != WaitRcptOrData) {
        Reply(kBadSequence);
        break;
      }
      LogMessage("SMTPIn- RCPT received", kTag, __LINE__);
      if (m_recipients.size() >= kMaxRecipients) {
        Reply(kTooManyRecipients);
        break;
      }
      std::string recipient = CommandArgument(line);
      LogBoth("SMTPIn- Acknowledged RCPT (Recipient): ", recipient, __LINE__);
      Reply("250 OK  " + recipient + " \r\n");
      m_recipients.push_back(std::move(recipient));
      break;
    }
    case DATA:
      if (m_state == WaitRcptOrData) {
        LogMessage("SMTPIn- DATA received", kTag, __LINE__);
        LogMessage2("SMTPIn- DATA received", kTag, __LINE__);
      }
      if (m_state != WaitRcptOrData || m_recipients.empty()) {
        Reply(kBadSequence);
        break;
      }
      Reply(kStartData);
      m_state = DataStream;
      break;
    case HELP: SendHelp(); break;
    case QUIT:
      // The client may connect again the moment it has the goodbye.
      EndOfSession();
      SendGoodbye();
      return false;
    case NOOP: Reply(kNoop); break;
    case RSET: Reply(kReset); break;
    case Unknown: Reply(kUnknown); break;
  }
  return true;
}

void SMTPInThread::ReceiveMessage() {
  LogMessage("SMTPIn- DATASTREAM start", kTag, __LINE__);
  platform::File file;
  std::string path;
  const bool created = m_server.FileMan().Que_AddMsg(file, path) == 0;
  m_messageFile = path;
  const std::string name = FileNamePart(path);
  LogMessageText("SMTPIn- Write First Message: ", name, kTag, __LINE__);
  bool writable =
      created && CFileMan::WriteText(file, "Received: from " + m_relayDomain.value_or("") + " by " +
                                               m_domainName + " ; \r\n");

  // The data ends only with "." CR LF at the start of a line that follows a CR LF; the first
  // data line follows the CR LF of DATA. Chunks end after a LF or after kLineLimit bytes, so a
  // line start always begins a chunk, and a CR LF may be split over two chunks.
  char chunk[kLineLimit + 1];
  bool lineStart = true;
  char last = '\0';
  bool complete = false;
  // The data goes to the file in large writes, not a write per line.
  std::string pending;
  pending.reserve(kDataWriteBatch);
  DuplicateGuard* const duplicates = m_server.Duplicates();
  MessageIdScanner messageId;
  const auto flush = [&] {
    if (writable && !pending.empty() &&
        CFileMan::Write(file, pending.data(), pending.size()) != pending.size()) {
      LogMessageText("SMTPIn- Error: Unable to write the message file: ", name, kTag, __LINE__);
      writable = false;
    }
    pending.clear();
  };
  for (;;) {
    const int length = ReceiveRawLine(chunk, kLineLimit);
    if (length <= 0) break;
    const std::string_view data(chunk, static_cast<std::size_t>(length));
    if (lineStart && data == ".\r\n") {
      complete = true;
      break;
    }
    std::string_view stored = data;
    if (lineStart && stored.front() == '.') stored.remove_prefix(1);
    pending.append(stored);
    if (duplicates) messageId.Feed(stored);
    if (pending.size() >= kDataWriteBatch) flush();
    const char previous = length >= 2 ? data[data.size() - 2] : last;
    last = data.back();
    lineStart = last == '\n' && previous == '\r';
  }

  flush();
  LogMessageText("SMTPIn- Datastream ended - close file: ", name, kTag, __LINE__);
  if (created) {
    // The message is acknowledged only once it is safe on disk.
    if (writable && file.Sync() != platform::kErrorSuccess) writable = false;
    if (CFileMan::CloseFile(file) != 0) writable = false;
  }
  m_state = WaitMail;

  DuplicateClaim claim;
  if (complete && created && duplicates) {
    claim = duplicates->Claim(messageId.MessageId(), m_recipients, PeerAddressText());
    if (claim.IsDuplicate()) {
      Reply(kReceived);
      platform::DeleteFile(path);
      return;
    }
  }
  if (!complete) {
    LogBoth("SMTPIn- Data ended without the end line, message not spooled: ", name, __LINE__);
  } else if (!created) {
    Reply(kNotStored);
  } else if (!writable ||
             !WriteCommitRecord(path, m_recipients, &m_server.FolderSync(), &m_server.Spares())) {
    // Not all of it is on disk: the client keeps the message and sends it again later.
    LogBoth("SMTPIn- Error: Message could not be stored whole, refused with 452: ", name, __LINE__);
    Reply(kNoStorage);
    platform::DeleteFile(path);
    return;
  } else {
    claim.Record();
    Reply(kReceived);
    m_server.DecodeAcknowledged(path, m_recipients);
    return;
  }
  if (created) {
    if (IsMainLogOn())
      KeepDebugCopy(path);
    else
      platform::DeleteFile(path);
  }
}

}  // namespace faxmail
