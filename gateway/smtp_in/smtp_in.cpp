#include "gateway/smtp_in/smtp_in.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstring>

#include "base/text.h"
#include "gateway/queue/counters.h"
#include "gateway/queue/file_man.h"
#include "gateway/smtp_in/mail_path.h"
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
// Replies of the opt-in features, as a session that said HELO gets them; one that said EHLO
// gets them with the enhanced status code given where they are sent (WithStatusCode).
constexpr char kTooBig[] = "552 Message size exceeds fixed maximum message size\r\n";
constexpr char kBadParameters[] = "501 Syntax error in parameters or arguments\r\n";
constexpr char kUnknownParameter[] =
    "555 MAIL FROM parameters not recognized or not implemented\r\n";
constexpr char kLineTooLong[] = "500 Line too long\r\n";
constexpr char kReadyForTls[] = "220 Ready to start TLS\r\n";
constexpr char kTlsActive[] = "503 TLS already active\r\n";
constexpr char kNoParameters[] = "501 Syntax error (no parameters allowed)\r\n";
constexpr char kAuthOk[] = "235 Authentication successful\r\n";
constexpr char kAuthInvalid[] = "535 Authentication credentials invalid\r\n";
constexpr char kAuthTooMany[] =
    "421 Too many failed authentication attempts, closing connection\r\n";
constexpr char kAuthCancelled[] = "501 Authentication cancelled\r\n";
constexpr char kAuthBadEncoding[] = "501 Cannot decode response\r\n";
constexpr char kAuthMechanism[] = "504 Unrecognized authentication type\r\n";
constexpr char kAuthNeedsTls[] =
    "538 Encryption required for requested authentication mechanism\r\n";
constexpr char kAuthAlready[] = "503 Already authenticated\r\n";
constexpr char kAuthRequired[] = "530 Authentication required\r\n";
// The challenges of AUTH: an empty one (PLAIN), and "Username:" and "Password:" (LOGIN).
constexpr char kChallengeEmpty[] = "334 \r\n";
constexpr char kChallengeUser[] = "334 VXNlcm5hbWU6\r\n";
constexpr char kChallengePassword[] = "334 UGFzc3dvcmQ6\r\n";
// Longest SIZE= value taken: more digits than any size a 64-bit count holds.
constexpr std::size_t kSizeDigitsLimit = 19;
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

SmtpCommand ParseExtendedCommand(std::string_view line) {
  const std::string_view verb = line.substr(0, line.find(' '));
  if (EqualsNoCase(verb, "EHLO")) return EHLO;
  if (EqualsNoCase(verb, "STARTTLS")) return STARTTLS;
  if (EqualsNoCase(verb, "AUTH")) return AUTH;
  return ParseCommand(line);
}

std::string WithStatusCode(std::string_view text, std::string_view code) {
  if (code.empty() || text.size() < 4) return std::string(text);
  std::string coded(text.substr(0, 4));
  coded += code;
  if (text.size() > 4 && text[4] != ' ') coded += ' ';
  coded += text.substr(4);
  return coded;
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

// Commits a raw file whose data is all written: by its note, or by a record where no note can
// be kept. Either way the raw file's number is durable before anything names the file
// acknowledged. kind: how it was committed.
bool CommitRaw(SMTPIn& server, const std::string& path, const std::vector<std::string>& recipients,
               platform::File& file, const std::optional<std::string>& seal, CommitKind& kind) {
  const auto numberDurable = [] { return FlushCounters() == platform::kErrorSuccess; };
  switch (CommitByNote(path, recipients, file, &server.FolderSync(), numberDurable, seal)) {
    case NoteCommit::kCommitted: kind = CommitKind::kNote; return true;
    case NoteCommit::kFailed: return false;
    case NoteCommit::kNotKept: break;
  }
  kind = CommitKind::kRecord;
  return WriteCommitRecord(path, recipients, &server.FolderSync(), &server.Spares(), &file,
                           numberDurable);
}

}  // namespace

SMTPIn::SMTPIn(CFileMan& fileMan) : SMTPIn(fileMan, InboundSettings{}) {}

SMTPIn::SMTPIn(CFileMan& fileMan, InboundSettings inbound)
    : m_fileMan(fileMan),
      m_inbound(std::move(inbound)),
      m_spares(SpareFolder(fileMan.ProgramPath())) {
  LoadTls();
  LoadUsers();
  if (m_inbound.requireAuth && m_users == std::nullopt)
    LogMessage("SMTPIn- RequireAuth is set but AUTH is not available: every MAIL is refused", kTag,
               __LINE__);
  SetInboundPolicy(m_inbound);
  StartDecoders(std::min(m_inbound.decodeThreads, kMaxDecodeThreads));
}

void SMTPIn::LoadTls() {
  const bool certificate = !m_inbound.tlsCertificate.empty();
  const bool key = !m_inbound.tlsKey.empty();
  if (!certificate && !key) return;
  std::string error;
  if (!certificate || !key) {
    error = "TlsCertificate and TlsKey must both be set";
  } else if (auto context = TlsContext::Server(m_inbound.tlsCertificate, m_inbound.tlsKey, error)) {
    m_tls = std::move(*context);
    LogMessageText("SMTPIn- STARTTLS available with certificate: ", m_inbound.tlsCertificate, kTag,
                   __LINE__);
    if (!m_inbound.esmtp)
      LogMessage("SMTPIn- ESMTP is off: STARTTLS is not offered", kTag, __LINE__);
    return;
  }
  LogMessageText("SMTPIn- Error: TLS certificate or key not loaded, STARTTLS not offered: ", error,
                 kTag, __LINE__);
  ReportGatewayEvent(platform::EventType::Error, kEventTlsNotLoaded, kServiceName, error.c_str());
}

void SMTPIn::LoadUsers() {
  if (m_inbound.authUsers.empty()) return;
  m_users = AuthUsers::Load(m_inbound.authUsers);
  if (!m_users) return;
  if (m_users->Empty()) {
    LogMessageText("SMTPIn- AuthUsers lists no valid user, AUTH not offered: ", m_inbound.authUsers,
                   kTag, __LINE__);
    m_users.reset();
  } else if (!m_tls || !m_inbound.esmtp) {
    // Passwords never travel in clear: AUTH exists only inside TLS.
    LogMessage("SMTPIn- AUTH needs ESMTP and STARTTLS: not offered", kTag, __LINE__);
    m_users.reset();
  }
}

// Connection threads call this object's operations: stop them before it goes.
SMTPIn::~SMTPIn() {
  Shutdown();
  // No session hands over any more: what was handed over is decoded before the rest goes.
  StopDecoders();
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

void SMTPIn::RemoveDecoded(const std::string& path, const std::string& marker, CommitKind commit) {
  if (commit == CommitKind::kNote) {
    // The raw file itself, under its decoded name.
    if (IsMainLogOn())
      KeepDebugCopy(marker, path);
    else
      m_spares.Give(marker);
    return;
  }
  if (IsMainLogOn())
    KeepDebugCopy(path);
  else
    m_spares.Give(path);
  // The marker holds the recipients, a record's worth: the next record is written over it.
  m_spares.Give(marker, SpareData::kKept);
}

bool SMTPIn::DecodeCommitted(const std::string& path, const std::vector<std::string>* recipients,
                             std::optional<CommitKind> commit) {
  const std::string record = CommitRecordPath(path);
  if (!commit) commit = platform::FileExists(record) ? CommitKind::kRecord : CommitKind::kNote;
  std::optional<std::vector<std::string>> stored;
  if (!recipients) {
    stored = *commit == CommitKind::kRecord ? ReadCommitRecord(record) : ReadCommitNote(path);
    if (!stored) {
      // Trying again cannot mend it; the files stay for the administrator.
      LogBoth("SMTPIn- Error: Commit record unreadable, message left as it is: ",
              *commit == CommitKind::kRecord ? record : path, __LINE__);
      return true;
    }
    recipients = &*stored;
  }
  std::string marker;
  if (!DecodeFile(path, *recipients, commit, &marker)) return false;
  RemoveDecoded(path, marker, *commit);
  return true;
}

void SMTPIn::DecodeAcknowledged(const std::string& path, const std::vector<std::string>& recipients,
                                CommitKind commit) {
  if (!DecodeCommitted(path, &recipients, commit)) {
    AddPending(path, true);
    return;
  }
  if (PendingCount() > 0) RetryPending();
}

void SMTPIn::HandAcknowledged(const std::string& path, const std::vector<std::string>& recipients,
                              CommitKind commit) {
  {
    std::lock_guard lock(m_decodeLock);
    // StopDecoders empties the list: nothing is handed over once the threads are going.
    if (!m_decoders.empty() && m_handed.size() < kDecodeQueueLimit) {
      m_handed.push_back(HandedMessage{path, recipients, commit});
      m_decodeWake.notify_one();
      return;
    }
  }
  DecodeAcknowledged(path, recipients, commit);
}

std::size_t SMTPIn::QueuedCount() const {
  std::lock_guard lock(m_decodeLock);
  return m_handed.size() + m_decoding;
}

void SMTPIn::StartDecoders(std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    platform::Thread thread;
    // Like the sessions: one that wakes does not set aside the decode holding the work lock.
    if (platform::Thread::Start([this] { DecodeLoop(); }, 0, thread,
                                platform::Thread::Scheduling::kThroughput) !=
        platform::kErrorSuccess) {
      LogMessage("SMTPIn- Unable to start a decode thread; sessions decode what the others leave",
                 kTag, __LINE__);
      break;
    }
    std::lock_guard lock(m_decodeLock);
    m_decoders.push_back(std::move(thread));
  }
}

void SMTPIn::StopDecoders() {
  std::vector<platform::Thread> decoders;
  {
    std::lock_guard lock(m_decodeLock);
    m_decodersStopping = true;
    decoders.swap(m_decoders);
  }
  m_decodeWake.notify_all();
  for (platform::Thread& decoder : decoders) decoder.Join();
}

void SMTPIn::DecodeLoop() {
  std::unique_lock lock(m_decodeLock);
  for (;;) {
    m_decodeWake.wait(lock, [this] { return m_decodersStopping || !m_handed.empty(); });
    if (m_handed.empty()) return;
    HandedMessage message = std::move(m_handed.front());
    m_handed.pop_front();
    ++m_decoding;
    lock.unlock();
    DecodeAcknowledged(message.path, message.recipients, message.commit);
    lock.lock();
    --m_decoding;
  }
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

void SMTPInThread::Reply(std::string_view text, std::string_view code) {
  if (m_extended)
    Reply(WithStatusCode(text, code));
  else
    Reply(text);
}

void SMTPInThread::SendHelp() {
  for (const char* line : kHelp) {
    if (m_extended)
      Reply(WithStatusCode(line, "2.0.0"));
    else
      SendText(line);
  }
}

void SMTPInThread::SendGoodbye() { Reply(kGoodbye, "2.0.0"); }

bool SMTPInThread::TlsActive() const noexcept { return Tls() != nullptr; }

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
    std::string line;
    if (m_server.Inbound().esmtp) {
      const LineRead read = ReadExtendedLine(line);
      if (read == LineRead::Closed || read == LineRead::Empty) break;
      if (read == LineRead::TooLong) {
        Reply(kLineTooLong, "5.5.2");
        continue;
      }
    } else {
      const int length = ReceiveLine(buffer, kLineLimit);
      if (length <= 0) break;
      line.assign(buffer, static_cast<std::size_t>(length));
    }
    if (!HandleCommand(line)) break;
  }
  if (ReceiveDeadlineReached())
    LogBoth("SMTPIn- Session time limit reached, connection closed: ", PeerAddressText(), __LINE__);
  LogBoth("SMTPIn- Message processing complete: ", FileNamePart(m_messageFile), __LINE__);
}

SMTPInThread::LineRead SMTPInThread::ReadExtendedLine(std::string& line) {
  line.clear();
  char piece[kLineLimit + 1];
  bool tooLong = false;
  for (;;) {
    const int length = ReceiveRawLine(piece, kLineLimit);
    if (length <= 0) return LineRead::Closed;
    // The rest of a line too long is read and thrown away, to stay in step with the client.
    if (!tooLong) line.append(piece, static_cast<std::size_t>(length));
    if (line.size() > kExtendedLineLimit + 2) {
      tooLong = true;
      line.clear();
    }
    if (piece[length - 1] == '\n') break;
  }
  if (tooLong) return LineRead::TooLong;
  line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line.empty() ? LineRead::Empty : LineRead::Line;
}

void SMTPInThread::LimitPhase(std::uint32_t milliseconds) {
  SetReceiveDeadline(Clock::now() + std::chrono::milliseconds(milliseconds));
}

bool SMTPInThread::HandleCommand(const std::string& line) {
  // A control character has no place in a command line; such a line is no command at all,
  // and what it carries is never taken into the session.
  const SmtpCommand command = HasControlCharacter(line)  ? Unknown
                              : m_server.Inbound().esmtp ? ParseExtendedCommand(line)
                                                         : ParseCommand(line);
  // An AUTH line may carry a password: only its verb is logged.
  const std::string_view logged = command == AUTH ? std::string_view("AUTH") : line;
  if (m_state == WaitHelo && command != HELO && command != EHLO) {
    LogMessage("SMTPIn- HELO not received", kTag, __LINE__);
  } else if (m_state == WaitMail && command != MAIL) {
    LogBoth("SMTPIn- MAIL not received: ", logged, __LINE__);
  } else if (m_state == WaitRcptOrData && command != RCPT && command != DATA) {
    LogBoth("SMTPIn- RCPT or DATA not received: ", logged, __LINE__);
  }

  switch (command) {
    case HELO:
      if (m_state != WaitHelo) {
        Reply(kBadSequence, "5.5.1");
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
        Reply(kBadSequence, "5.5.1");
        break;
      }
      LogMessage("SMTPIn- MAIL received", kTag, __LINE__);
      if (m_server.Inbound().requireAuth && !m_authUser) {
        LogBoth("SMTPIn- MAIL refused, client not authenticated: ", PeerAddressText(), __LINE__);
        Reply(kAuthRequired, "5.7.0");
        break;
      }
      if (m_extended && !CheckMailParameters(CommandArgument(line))) break;
      if (const auto refusal =
              m_server.Policy().Refusal(PeerAddressText(), CommandArgument(line), m_authUser)) {
        Reply(*refusal);
        break;
      }
      m_sender = CommandArgument(line);
      m_recipients.clear();
      LogBoth("SMTPIn- Acknowledged MAIL (From): ", *m_sender, __LINE__);
      Reply("250 OK  " + *m_sender + " \r\n", "2.1.0");
      m_state = WaitRcptOrData;
      break;
    case RCPT: {
      if (m_state != WaitRcptOrData) {
        Reply(kBadSequence, "5.5.1");
        break;
      }
      LogMessage("SMTPIn- RCPT received", kTag, __LINE__);
      if (m_recipients.size() >= kMaxRecipients) {
        Reply(kTooManyRecipients, "4.5.3");
        break;
      }
      std::string recipient = CommandArgument(line);
      LogBoth("SMTPIn- Acknowledged RCPT (Recipient): ", recipient, __LINE__);
      Reply("250 OK  " + recipient + " \r\n", "2.1.5");
      m_recipients.push_back(std::move(recipient));
      break;
    }
    case DATA:
      if (m_state == WaitRcptOrData) {
        LogMessage("SMTPIn- DATA received", kTag, __LINE__);
        LogMessage2("SMTPIn- DATA received", kTag, __LINE__);
      }
      if (m_state != WaitRcptOrData || m_recipients.empty()) {
        Reply(kBadSequence, "5.5.1");
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
    case NOOP: Reply(kNoop, "2.0.0"); break;
    case RSET: Reply(kReset, "2.0.0"); break;
    case Unknown: Reply(kUnknown, "5.5.2"); break;
    case EHLO: return HandleEhlo(line);
    case STARTTLS: return HandleStartTls(line);
    case AUTH: return HandleAuth(line);
  }
  return true;
}

bool SMTPInThread::HandleEhlo(const std::string& line) {
  if (m_state != WaitHelo) {
    Reply(kBadSequence, "5.5.1");
    return true;
  }
  LogMessage("SMTPIn- EHLO received", kTag, __LINE__);
  m_relayDomain = CommandArgument(line);
  m_extended = true;
  LogMessageText("SMTPIn- Acknowledged EHLO (RelayDomainName): ", *m_relayDomain, kTag, __LINE__);
  std::vector<std::string> extensions = {
      // "SIZE 0": no fixed limit.
      "SIZE " + std::to_string(m_server.Inbound().maxMessageSize),
      "8BITMIME",
      "PIPELINING",
      "ENHANCEDSTATUSCODES",
  };
  if (m_server.Tls() && !TlsActive()) extensions.emplace_back("STARTTLS");
  if (m_server.Users() && TlsActive()) extensions.emplace_back("AUTH PLAIN LOGIN");
  // One write for the whole reply.
  std::string reply = "250-" + m_domainName + " " + *m_relayDomain + "\r\n";
  for (std::size_t i = 0; i < extensions.size(); ++i)
    reply += (i + 1 == extensions.size() ? "250 " : "250-") + extensions[i] + "\r\n";
  Reply(reply);
  m_state = WaitMail;
  return true;
}

bool SMTPInThread::CheckMailParameters(const std::string& argument) {
  const std::optional<MailPath> path = ParseMailPath(argument, "FROM");
  if (!path) {
    Reply(kBadParameters, "5.5.4");
    return false;
  }
  const std::uint32_t limit = m_server.Inbound().maxMessageSize;
  for (const auto& [keyword, value] : path->parameters) {
    if (keyword == "SIZE") {
      std::uint64_t declared = 0;
      const char* end = value.data() + value.size();
      if (value.empty() || value.size() > kSizeDigitsLimit ||
          std::from_chars(value.data(), end, declared).ptr != end) {
        Reply(kBadParameters, "5.5.4");
        return false;
      }
      if (limit != 0 && declared > limit) {
        LogBoth("SMTPIn- MAIL refused, declared size over MaxMessageSize: ", value, __LINE__);
        Reply(kTooBig, "5.3.4");
        return false;
      }
    } else if (keyword == "BODY") {
      if (!EqualsNoCase(value, "7BIT") && !EqualsNoCase(value, "8BITMIME")) {
        Reply(kBadParameters, "5.5.4");
        return false;
      }
    } else if (keyword != "AUTH") {
      // AUTH= names who first submitted the message; it is accepted and not used.
      Reply(kUnknownParameter, "5.5.4");
      return false;
    }
  }
  return true;
}

bool SMTPInThread::HandleStartTls(const std::string& line) {
  const TlsContext* context = m_server.Tls();
  if (context == nullptr) {
    Reply(kUnknown, "5.5.2");
    return true;
  }
  if (line.find_first_not_of(' ', std::string_view("STARTTLS").size()) != std::string::npos) {
    Reply(kNoParameters, "5.5.4");
    return true;
  }
  if (TlsActive()) {
    Reply(kTlsActive, "5.5.1");
    return true;
  }
  if (m_state == WaitHelo) {
    Reply(kBadSequence, "5.5.1");
    return true;
  }
  LogMessage("SMTPIn- STARTTLS received", kTag, __LINE__);
  Reply(kReadyForTls, "2.0.0");
  // Whatever came with the command in clear is never taken as a command inside TLS.
  if (HasBufferedInput())
    LogBoth("SMTPIn- Input sent with STARTTLS discarded: ", PeerAddressText(), __LINE__);
  std::string error;
  if (!StartTls(*context, error)) {
    LogBoth("SMTPIn- TLS handshake failed, connection closed: ", PeerAddressText() + ": " + error,
            __LINE__);
    return false;
  }
  LogBoth("SMTPIn- TLS started: ",
          PeerAddressText() + " " + Tls()->Protocol() + " " + Tls()->Cipher(), __LINE__);
  // A fresh session: nothing learnt in clear counts inside TLS.
  m_relayDomain.reset();
  m_sender.reset();
  m_recipients.clear();
  m_authUser.reset();
  m_extended = false;
  m_state = WaitHelo;
  return true;
}

bool SMTPInThread::ReadAuthResponse(std::string& response) {
  const LineRead read = ReadExtendedLine(response);
  if (read == LineRead::Closed) return false;
  // An empty or overlong line is no response (the empty one is "="): it fails to decode.
  if (read != LineRead::Line) response.clear();
  return true;
}

bool SMTPInThread::AuthFailed(std::string_view user) {
  ++m_authFailures;
  LogBoth("SMTPIn- AUTH failed: ",
          PeerAddressText() + " user " + std::string(user.substr(0, kLoggedNameLimit)), __LINE__);
  const auto delay = m_server.AuthFailureDelay() * (1 << (m_authFailures - 1));
  std::this_thread::sleep_for(delay);
  if (m_authFailures >= SMTPIn::kMaxAuthFailures) {
    LogBoth("SMTPIn- Too many AUTH failures, connection closed: ", PeerAddressText(), __LINE__);
    EndOfSession();
    Reply(kAuthTooMany, "4.7.0");
    return false;
  }
  Reply(kAuthInvalid, "5.7.8");
  return true;
}

bool SMTPInThread::HandleAuth(const std::string& line) {
  const AuthUsers* users = m_server.Users();
  if (users == nullptr) {
    Reply(kUnknown, "5.5.2");
    return true;
  }
  if (!TlsActive()) {
    LogBoth("SMTPIn- AUTH refused outside TLS: ", PeerAddressText(), __LINE__);
    Reply(kAuthNeedsTls, "5.7.11");
    return true;
  }
  if (m_authUser) {
    Reply(kAuthAlready, "5.5.1");
    return true;
  }
  if (m_state != WaitMail) {
    Reply(kBadSequence, "5.5.1");
    return true;
  }
  // "AUTH" mechanism [initial-response]
  std::string_view rest = std::string_view(line).substr(4);
  rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
  const std::string_view mechanism = rest.substr(0, rest.find(' '));
  std::string_view initial = rest.substr(mechanism.size());
  initial.remove_prefix(std::min(initial.find_first_not_of(' '), initial.size()));
  const bool plain = EqualsNoCase(mechanism, "PLAIN");
  if (!plain && !EqualsNoCase(mechanism, "LOGIN")) {
    Reply(kAuthMechanism, "5.5.4");
    return true;
  }
  LogMessageText("SMTPIn- AUTH received: ", plain ? "PLAIN" : "LOGIN", kTag, __LINE__);

  // One step of the exchange: the client's answer to challenge (or the initial response),
  // decoded. Nothing when the exchange is over: cancelled, undecodable or the connection gone
  // (ended set).
  bool ended = false;
  const auto step = [&](const char* challenge, bool useInitial) -> std::optional<std::string> {
    std::string response;
    if (useInitial) {
      response = std::string(initial);
    } else {
      Reply(challenge);
      if (!ReadAuthResponse(response)) {
        ended = true;
        return std::nullopt;
      }
    }
    if (response == "*") {
      Reply(kAuthCancelled, "5.7.0");
      return std::nullopt;
    }
    std::optional<std::string> decoded = DecodeSaslBase64(response);
    if (!decoded) Reply(kAuthBadEncoding, "5.5.2");
    return decoded;
  };

  std::string user;
  std::string password;
  if (plain) {
    const std::optional<std::string> response = step(kChallengeEmpty, !initial.empty());
    if (!response) return !ended;
    const std::optional<PlainCredentials> credentials = SplitPlainResponse(*response);
    if (!credentials) return AuthFailed("");
    user = credentials->user;
    password = credentials->password;
  } else {
    const std::optional<std::string> name = step(kChallengeUser, !initial.empty());
    if (!name) return !ended;
    const std::optional<std::string> secret = step(kChallengePassword, false);
    if (!secret) return !ended;
    user = *name;
    password = *secret;
  }
  if (!users->Check(user, password)) return AuthFailed(user);
  m_authUser = user;
  LogBoth("SMTPIn- AUTH succeeded: ",
          PeerAddressText() + " user " + user.substr(0, kLoggedNameLimit), __LINE__);
  Reply(kAuthOk, "2.7.0");
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
  // Everything written to the raw file is sealed as it goes: the seal lets its note go to the
  // disk with the data in one sync.
  DataSeal seal;
  const std::string received =
      "Received: from " + m_relayDomain.value_or("") + " by " + m_domainName + " ; \r\n";
  seal.Add(received);
  bool writable = created && CFileMan::WriteText(file, received);

  // The data ends only with "." CR LF at the start of a line that follows a CR LF; the first
  // data line follows the CR LF of DATA. Chunks end after a LF or after kLineLimit bytes, so a
  // line start always begins a chunk, and a CR LF may be split over two chunks.
  char chunk[kLineLimit + 1];
  bool lineStart = true;
  char last = '\0';
  bool complete = false;
  // MaxMessageSize: data past it is still read to the end line, and none of it is kept.
  const std::uint64_t sizeLimit = m_server.Inbound().maxMessageSize;
  std::uint64_t size = 0;
  bool tooBig = false;
  // The data goes to the file in large writes, not a write per line.
  std::string pending;
  pending.reserve(kDataWriteBatch);
  DuplicateGuard* const duplicates = m_server.Duplicates();
  MessageIdScanner messageId;
  const auto flush = [&] {
    if (writable && !pending.empty()) seal.Add(pending);
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
    size += stored.size();
    if (sizeLimit != 0 && size > sizeLimit) tooBig = true;
    if (!tooBig) {
      pending.append(stored);
      if (duplicates) messageId.Feed(stored);
      if (pending.size() >= kDataWriteBatch) flush();
    }
    const char previous = length >= 2 ? data[data.size() - 2] : last;
    last = data.back();
    lineStart = last == '\n' && previous == '\r';
  }

  if (!tooBig) flush();
  LogMessageText("SMTPIn- Datastream ended - close file: ", name, kTag, __LINE__);
  // The message is acknowledged only once it is safe on disk: its write-back starts now, and
  // the commit record waits for it together with its own (the raw file stays open until then).
  if (created && writable) file.StartWriteBack();
  bool closed = !created;
  const auto closeRaw = [&] {
    if (!closed && CFileMan::CloseFile(file) != 0) writable = false;
    closed = true;
  };
  m_state = WaitMail;

  DuplicateClaim claim;
  if (complete && created && duplicates && !tooBig) {
    claim = duplicates->Claim(messageId.MessageId(), m_recipients, PeerAddressText());
    if (claim.IsDuplicate()) {
      closeRaw();
      Reply(kReceived, "2.0.0");
      platform::DeleteFile(path);
      return;
    }
  }
  const bool commit = complete && !tooBig && created && writable;
  if (!commit) closeRaw();
  CommitKind commitKind = CommitKind::kRecord;
  if (!complete) {
    LogBoth("SMTPIn- Data ended without the end line, message not spooled: ", name, __LINE__);
  } else if (tooBig) {
    // Gone before the client hears of it.
    if (created) platform::DeleteFile(path);
    LogBoth("SMTPIn- Message over MaxMessageSize, refused with 552: ", name, __LINE__);
    Reply(kTooBig, "5.3.4");
    return;
  } else if (!created) {
    Reply(kNotStored, "4.3.0");
  } else if (!writable || !CommitRaw(m_server, path, m_recipients, file, seal.Text(), commitKind)) {
    closeRaw();
    // Not all of it is on disk: the client keeps the message and sends it again later.
    LogBoth("SMTPIn- Error: Message could not be stored whole, refused with 452: ", name, __LINE__);
    Reply(kNoStorage, "4.3.1");
    platform::DeleteFile(path);
    return;
  } else {
    // Synced with its record or note: the close cannot lose it any more.
    closeRaw();
    claim.Record();
    Reply(kReceived, "2.0.0");
    m_server.HandAcknowledged(path, m_recipients, commitKind);
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
