#include "gateway/smtp_out/smtp_out.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "base/text.h"
#include "gateway/dns/dns_message.h"
#include "gateway/dns/dns_resolver.h"
#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_out/address.h"
#include "gateway/smtp_out/compose.h"
#include "gateway/smtp_out/encoder.h"
#include "gateway/smtp_out/message_stream.h"
#include "platform/temp_file.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "SMTP_OUT";

// Reply lines skipped while waiting for one code: a peer that never stops talking must not
// hold the sender forever (a line longer than kLineSize counts once per piece).
constexpr int kMaxRepliesPerWait = 1000;
// Digits of a reply code that GetAck reads; more cannot be a reply code.
constexpr int kMaxCodeDigits = 9;
constexpr std::size_t kMaxAddress = SMTPOut::kLineSize - 1;
// The work file is read in blocks of this size (a multiple of the 200-byte piece, though the
// pieces do not depend on it) ...
constexpr std::size_t kReadBlock = 16 * 1024;
// ... and sent in blocks of at least this size, or whole when it is smaller: few system calls
// for a large fax image, and a bound on what is held in memory.
constexpr std::size_t kSendBlock = 64 * 1024;

constexpr char kConnFailed[] = ".ConnFailed.Err";
constexpr char kConnTermin[] = ".ConnTermin.Err";
constexpr char kNoName[] = ".NoName.Err";
// A ready name, or an attachment of it, that is no regular file.
constexpr char kRefused[] = ".Refused.Err";
constexpr char kLogRefusedFile[] = "SMTPOut- ERROR: not a regular file, set aside: ";
constexpr char kReadySuffix[] = ".tmp";

// The extended dialogue reads whole replies: lines of up to 512 characters with their CR LF
// (the longest reply line a server may send), and at most this many lines to one reply, which
// is many more than any server's list of extensions.
constexpr int kMaxReplyLine = 512;
constexpr int kMaxReplyLines = 100;

constexpr char kLogClearRefused[] = "SMTPOut- Error: refused to send in clear: ";

std::string ToUpper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string FileNamePart(const std::string& path) {
  const auto slash = path.find_last_of(platform::kPathSeparator);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A delivered or dropped work file is deleted, or kept for inspection while the main log is on.
void FinishWorkFile(platform::TempFile work) {
  if (IsMainLogOn())
    KeepDebugCopy(work.Release());
  else
    work.Discard();
}

}  // namespace

SMTPOut::SMTPOut() {
  const SenderSettings settings = LoadSenderSettings();
  m_dnsServer = settings.dnsName;
  if (m_dnsServer.empty())
    LogMessage("SMTPOut- DNS Server IP Address: <empty>", kTag, __LINE__);
  else
    LogMessageText("SMTPOut- DNS Server IP Address: ", m_dnsServer, kTag, __LINE__);
  m_rfcMode = settings.rfcMode;
  m_remotePort = ReadPortSetting("SmtpTxPort");
  LogMessage("SMTPOut using remote port " + std::to_string(m_remotePort), kTag, __LINE__);
  std::string problems;
  m_retry = ParseRetryPolicy(settings.retrySchedule, settings.maxQueueLifetimeHours, problems);
  if (!problems.empty())
    LogMessageText("SMTPOut- Error: RetrySchedule entries left out: ", problems, kTag, __LINE__);
  if (m_retry.Active())
    LogMessage(
        "SMTPOut- Deferred retries: " + std::to_string(m_retry.delays.size()) +
            " waits, queue lifetime " +
            (m_retry.lifetime.count() > 0 ? std::to_string(m_retry.lifetime.count()) + " hours"
                                          : std::string("the schedule")),
        kTag, __LINE__);
  LoadTransportSettings(settings);
}

void SMTPOut::LoadTransportSettings(const SenderSettings& settings) {
  m_txTls = settings.smtpTxTls;
  if (m_txTls > kTxTlsRequired) {
    LogMessage("SMTPOut- Error: SmtpTxTls " + std::to_string(m_txTls) +
                   " is no level (0, 1, 2); TLS taken as required",
               kTag, __LINE__);
    m_txTls = kTxTlsRequired;
  }
  m_relayConfigured = !settings.relayHost.empty();
  if (m_relayConfigured) {
    m_relay = ParseRelayHost(settings.relayHost);
    if (m_relay)
      LogMessage("SMTPOut- Relay host: " + m_relay->host + ":" + std::to_string(m_relay->port),
                 kTag, __LINE__);
    else
      LogMessageText("SMTPOut- Error: RelayHost is no host[:port], nothing will be sent: ",
                     settings.relayHost, kTag, __LINE__);
  }
  if (!settings.relayUser.empty() && !m_relayConfigured)
    LogMessage("SMTPOut- RelayUser is used only with RelayHost; ignored", kTag, __LINE__);
  if (m_relayConfigured && !settings.relayUser.empty()) {
    m_relayUser = settings.relayUser;
    LogMessageText("SMTPOut- Relay user: ", m_relayUser, kTag, __LINE__);
    std::string why;
    m_relayPasswordUsable = ReadRelayPassword(settings.relayPasswordFile, m_relayPassword, why);
    if (!m_relayPasswordUsable) {
      LogMessageText("SMTPOut- Error: RelayPasswordFile not used, nothing will be sent: ",
                     settings.relayPasswordFile + ": " + why, kTag, __LINE__);
      ReportGatewayEvent(platform::EventType::Error, kEventRelayPasswordRefused, kServiceName,
                         settings.relayPasswordFile.c_str(), why.c_str());
    }
  }
  // TLS is required where there is a password to protect, or where the port speaks nothing
  // else; there the certificate is checked unless SmtpTxTlsVerify says 0.
  const bool implicitTls = m_relay && m_relay->port == kImplicitTlsPort;
  const bool required = m_txTls == kTxTlsRequired || !m_relayUser.empty() || implicitTls;
  m_txTlsVerify = settings.smtpTxTlsVerify ? *settings.smtpTxTlsVerify != 0 : required;
  if (m_txTls == kTxTlsOff && !required) return;
  std::string error;
  m_tlsClient = TlsContext::Client(m_txTlsVerify, error);
  if (!m_tlsClient) {
    m_tlsProblem = error;
    LogMessageText("SMTPOut- Error: TLS on send not available: ", error, kTag, __LINE__);
  }
  LogMessage(
      std::string("SMTPOut- TLS on send ") + (required ? "required" : "when offered") +
          (m_txTlsVerify ? ", server certificates verified" : ", server certificates not verified"),
      kTag, __LINE__);
}

SMTPOut::~SMTPOut() {
  m_stop = true;
  m_wake.Set();
  m_arrivals.Interrupt();
  if (m_ended) {
    if (!m_ended->Wait(m_timings.destroyWait)) {
      // The run uses this object: it cannot be freed under it.
      LogMessage("SMTPOut- Delivery in progress at shutdown; waiting for it to end.", kTag,
                 __LINE__);
      m_ended->Wait();
    }
    if (m_MainThreadID.IsHeld()) m_MainThreadID.Join();
  }
  // Only once the run has ended: it reads the password while it authenticates.
  WipeSecret(m_relayPassword);
}

int SMTPOut::Start() {
  if (m_stop) {
    LogMessage("SMTPOut- Error: Shutdown flag is set so unable to start.", kTag, __LINE__);
    return 1;
  }
  if (m_fileMan == nullptr) {
    LogMessage("SMTPOut- Error: started without a file manager.", kTag, __LINE__);
    std::abort();
  }
  if (m_ended) return 0;  // already running
  const std::string in = m_fileMan->ProgramPath() + "IN";
  if (const long error = platform::DirectoryWatch::Open(in, m_arrivals); error != 0)
    LogMessage("SMTPOut- No notice of arrivals in IN (error " + std::to_string(error) +
                   "); it is polled every " + std::to_string(m_timings.idlePoll.count() / 1000) +
                   " seconds.",
               kTag, __LINE__);
  m_lastPoll = std::chrono::steady_clock::now();
  if (m_retry.Active()) {
    m_retryStore = std::make_unique<RetryStore>(m_fileMan->ProgramPath() + kRetryFolderName +
                                                platform::kPathSeparator);
    LoadDeferred();
  }
  auto ended = std::make_shared<platform::Event>(true);
  if (platform::Thread::Start(
          [this, ended] {
            SMTPMainThread();
            ended->Set();
          },
          0, m_MainThreadID) != platform::kErrorSuccess) {
    LogMessage("SMTPOut- Unable to Create thread.", kTag, __LINE__);
    return 2;
  }
  m_ended = std::move(ended);
  return 0;
}

void SMTPOut::ReleaseMainThread() {
  if (m_MainThreadID.IsHeld()) m_MainThreadID.Detach();
}

void SMTPOut::Pause(std::chrono::milliseconds duration) { m_wake.Wait(duration); }

void SMTPOut::IdleWait() {
  // Files whose next attempt has come are taken again; the wait ends when the next one comes.
  const auto now = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> nextDue;
  for (auto it = m_deferred.begin(); it != m_deferred.end();) {
    if (it->second <= now) {
      it = m_deferred.erase(it);
      continue;
    }
    if (!nextDue || it->second < *nextDue) nextDue = it->second;
    ++it;
  }
  if (nextDue && *nextDue < m_lastPoll + m_timings.idlePoll) {
    const auto untilDue = std::chrono::ceil<std::chrono::milliseconds>(*nextDue - now);
    if (m_arrivals.IsOpen()) {
      std::vector<std::string> arrived;
      m_arrivals.Wait(
          untilDue, [](std::string_view name) { return EndsWithNoCase(name, kReadySuffix); },
          &arrived);
      for (const std::string& name : arrived) m_heldBack.erase(name);
    } else {
      Pause(untilDue);
    }
    return;
  }
  // Rounded up: a wait cut short by a fraction of a millisecond would find the poll not yet
  // due, and the next pass would find it due at once - two runs for one poll.
  const auto untilPoll = std::chrono::ceil<std::chrono::milliseconds>(
      m_lastPoll + m_timings.idlePoll - std::chrono::steady_clock::now());
  // A wait that ran its full time is the poll, whatever the clocks say to the microsecond.
  bool pollDue = untilPoll.count() <= 0;
  if (!pollDue) {
    if (m_arrivals.IsOpen()) {
      std::vector<std::string> arrived;
      const auto woken = m_arrivals.Wait(
          untilPoll, [](std::string_view name) { return EndsWithNoCase(name, kReadySuffix); },
          &arrived);
      // A name given anew, or closed by its writer, is worth another try at once.
      for (const std::string& name : arrived) m_heldBack.erase(name);
      if (woken == platform::DirectoryWatch::Woken::Overflow) m_heldBack.clear();
      pollDue = woken == platform::DirectoryWatch::Woken::Timeout;
    } else {
      Pause(untilPoll);
      pollDue = true;  // or the object is going, when it does not matter
    }
  }
  if (pollDue || std::chrono::steady_clock::now() - m_lastPoll >= m_timings.idlePoll) {
    // A new poll: files held back are tried once more.
    m_heldBack.clear();
    m_lastPoll = std::chrono::steady_clock::now();
  }
}

int SMTPOut::CountReadyFiles() { return m_fileMan->Que_CountMsgs("IN", NotNow()); }

std::set<std::string> SMTPOut::NotNow() const {
  if (m_deferred.empty()) return m_heldBack;
  std::set<std::string> names = m_heldBack;
  const auto now = std::chrono::steady_clock::now();
  for (const auto& [name, due] : m_deferred)
    if (due > now) names.insert(name);
  return names;
}

namespace {

// Now, as the retry records keep times: seconds since 1970.
std::int64_t WallSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool SMTPOut::Defer(const std::string& path) {
  const std::string name = FileNamePart(path);
  const std::int64_t now = WallSeconds();
  const std::optional<RetryRecord> next = AfterFailure(m_retry, m_retryStore->Read(name), now);
  if (!next) {
    LogMessageText("SMTPOut- Retries used up, message given up: ", name, kTag, __LINE__);
    return false;
  }
  if (!m_retryStore->Write(name, *next))
    LogMessageText(
        "SMTPOut- Error: Retry record not written (the count starts again after a "
        "restart): ",
        name, kTag, __LINE__);
  const auto wait = std::chrono::seconds(std::max<std::int64_t>(next->nextAttempt - now, 0));
  m_deferred[name] = std::chrono::steady_clock::now() + wait;
  LogMessageText("SMTPOut- Delivery failed " + std::to_string(next->failures) +
                     " times, next attempt in " + std::to_string(wait.count()) + " s: ",
                 name, kTag, __LINE__);
  return true;
}

void SMTPOut::Forget(const std::string& path) {
  if (!m_retryStore) return;
  const std::string name = FileNamePart(path);
  m_deferred.erase(name);
  m_retryStore->Remove(name);
}

void SMTPOut::LoadDeferred() {
  const std::string in = m_fileMan->ProgramPath() + "IN" + platform::kPathSeparator;
  const std::int64_t now = WallSeconds();
  for (const std::string& name : m_retryStore->Names()) {
    const std::optional<RetryRecord> record = m_retryStore->Read(name);
    // A record without its ready file (delivered or taken away meanwhile), or one that does
    // not read, is of no further use.
    if (!record || !platform::FileExists(in + name)) {
      if (!record)
        LogMessageText("SMTPOut- Error: Retry record unreadable, removed: ", name, kTag, __LINE__);
      m_retryStore->Remove(name);
      continue;
    }
    m_deferred[name] = std::chrono::steady_clock::now() +
                       std::chrono::seconds(std::max<std::int64_t>(record->nextAttempt - now, 0));
  }
}

void SMTPOut::SMTPMainThread() {
  LogMessage("SMTPOut- SMTPMainThread() begin.", kTag, __LINE__);
  bool idleLogged = false;
  while (!m_stop) {
    const int ready = CountReadyFiles();
    if (m_running < ready && m_running < m_threadLimit) {
      LogMessage("SMTPOut- New message thread started", kTag, __LINE__);
      ++m_running;
      idleLogged = false;
      if (SMTPOutThread()) continue;
      // Nothing could be opened (every ready file still held by its writer): taking the same
      // files again at once would only spin.
    }
    if (!idleLogged) {
      LogMessage("SMTPOut- No messages to send.", kTag, __LINE__);
      idleLogged = true;
    }
    IdleWait();
  }
  LogMessage("SMTPOut::SMTPMainThread() end.", kTag, __LINE__);
}

void SMTPOut::HoldBack(const std::string& path) {
  const std::string name = FileNamePart(path);
  LogMessageText("SMTPOut- Ready file held back until the next poll: ", name, kTag, __LINE__);
  m_heldBack.insert(name);
}

void SMTPOut::SetAside(const std::string& path, std::string_view suffix, bool capitals,
                       const char* failedText) {
  const auto slash = path.find_last_of(platform::kPathSeparator);
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  // Only the file's own name: the folders of the path keep their letters, and a ".tmp" in a
  // folder name is not the file's extension.
  std::string name = FileNamePart(path);
  if (capitals) name = ToUpper(name);
  if (EndsWithNoCase(name, kReadySuffix)) name.resize(name.size() - 4);
  const std::string newPath = folder + name + std::string(suffix);
  if (const long error = platform::RenameFile(path, newPath); error != platform::kErrorSuccess) {
    LogMessage(failedText, kTag, __LINE__);
    HoldBack(path);
    // The administrator learns of the failed message even with the diagnostic log off: the
    // event names the file and, where the new name would stand, why it is still there. The
    // file is tried again at every poll; the event is reported once per name.
    if (m_unmovedReported.size() >= kMaxUnmovedReported) m_unmovedReported.clear();
    if (m_unmovedReported.insert(path).second)
      ReportGatewayEvent(platform::EventType::Error, 435, kServiceName, path.c_str(),
                         std::string(platform::ErrorText(error)).c_str());
    return;
  }
  m_unmovedReported.erase(path);
  ReportGatewayEvent(platform::EventType::Error, 435, kServiceName, path.c_str(), newPath.c_str());
}

bool SMTPOut::SMTPOutThread() {
  LogMessage("SMTPOut::SMTPOutThread() Begin.", kTag, __LINE__);
  int attempts = 0;
  bool tookFile = true;
  for (;;) {
    platform::File ready;
    std::string path;
    const int opened = m_fileMan->Que_OpenMsg(ready, path, NotNow());
    if (opened == CFileMan::kOpenRefused) {
      LogMessageText(kLogRefusedFile, FileNamePart(path), kTag, __LINE__);
      SetAside(path, kRefused, false, "SMTPOut- ERROR: Could not rename the message file.");
      break;
    }
    if (opened != 0) {
      tookFile = false;
      if (opened == platform::kErrorSharingViolation) Pause(m_timings.inUsePause);
      LogMessage("SMTPOut- no files to send", kTag, __LINE__);
      break;
    }
    const Attempt attempt = AttemptDelivery(ready);
    const bool failed = attempt == Attempt::NoMailHost || attempt == Attempt::DialogueFailed;
    // A file that ends here (delivered, dropped, set aside) has no further attempt.
    if (!failed && attempt != Attempt::NoWorkFile && attempt != Attempt::WriteFailed) Forget(path);
    if (attempt == Attempt::NoWorkFile || attempt == Attempt::WriteFailed) {
      HoldBack(path);
    } else if (attempt == Attempt::Refused) {
      LogMessageText(kLogRefusedFile, FileNamePart(path), kTag, __LINE__);
      SetAside(path, kRefused, false, "SMTPOut- ERROR: Could not rename the message file.");
    } else if (attempt == Attempt::NoReceiver) {
      LogMessage("SMTPOut- ERROR: no rcpt name", kTag, __LINE__);
      SetAside(path, kNoName, false, "SMTPOut- ERROR: Could not rename the message file.");
    } else if (attempt == Attempt::AuthRefused) {
      // Another attempt would give the relay the same refused password.
      SetAside(path, kConnTermin, true, "SMTPOut- Could not rename the message file.");
    } else if (failed) {
      if (m_retry.Active()) {
        if (Defer(path)) break;  // it waits in IN; the next file is taken
        Forget(path);
      } else if (++attempts < kMaxAttempts) {
        continue;
      }
      SetAside(path, attempt == Attempt::NoMailHost ? kConnFailed : kConnTermin, true,
               "SMTPOut- Could not rename the message file.");
    }
    break;
  }
  --m_running;
  LogMessage("SMTPOut- SMTPOutThread() end.", kTag, __LINE__);
  return tookFile;
}

SMTPOut::Attempt SMTPOut::AttemptDelivery(platform::File& ready) {
  // Named after the ready file's open handle, which no other run holds at the same time.
  const std::string workPath = m_fileMan->ProgramPath() + "IN" + platform::kPathSeparator +
                               std::to_string(ready.Id()) + ".cqx";
  // Every return below lets the work file go - and with it its name in IN - after the ready
  // file is closed, unless it is kept as a debug copy. Never opened through a link that
  // someone left at the name; what is found there is not taken over.
  platform::TempFile work;
  if (platform::TempFile::Create(workPath, platform::Disposition::CreateAlways, work) !=
      platform::kErrorSuccess) {
    LogMessage("SMTPOut- SMTPOutThread() : Unable to create & new file for send.", kTag, __LINE__);
    m_fileMan->Que_CloseMsg(ready);
    return Attempt::NoWorkFile;
  }

  // The first attachment goes with its ready file: deleted when the file is delivered or
  // dropped, kept while the file stays in IN or is set aside.
  std::string attachment;
  const int composed = ComposeMessage(ready, work.file(), *m_fileMan, attachment);
  if (composed == kComposeWriteFailed || composed == kComposeRefused) {
    m_fileMan->Que_CloseMsg(ready);
    return composed == kComposeRefused ? Attempt::Refused : Attempt::WriteFailed;
  }
  if (composed == kComposeDropped) {
    LogMessage("SMTPOut- encoding not done.", kTag, __LINE__);
    m_fileMan->Que_CloseAndDeleteMsg(ready);
    FinishWorkFile(std::move(work));
    if (!attachment.empty()) platform::DeleteFile(attachment);
    return Attempt::Dropped;
  }

  std::string receiver;
  if (!FindReceiver(work.file(), receiver)) {
    m_fileMan->Que_CloseMsg(ready);
    return Attempt::NoReceiver;
  }
  LogMessageText("SMTPOut- receiver name: ", receiver, kTag, __LINE__);
  std::string address = ExtractAddress(receiver);
  if (address.size() > kMaxAddress) address.resize(kMaxAddress);

  const int sent = SendViaMX(work.file(), address, receiver);
  if (sent == kDelivered) {
    m_fileMan->Que_CloseAndDeleteMsg(ready);
    FinishWorkFile(std::move(work));
    if (!attachment.empty()) platform::DeleteFile(attachment);
    return Attempt::Delivered;
  }
  m_fileMan->Que_CloseMsg(ready);
  if (sent == kAuthRefused) return Attempt::AuthRefused;
  return sent == kNoMailHost ? Attempt::NoMailHost : Attempt::DialogueFailed;
}

std::string SMTPOut::DomainName() const {
  std::string name;
  m_fileMan->GetDomainName(name, kShortTextLimit);
  return name;
}

int SMTPOut::GetAck(std::string_view line) {
  LogMessageText("SMTPOut- Ack: ", line, kTag, __LINE__);
  int code = 0;
  for (std::size_t i = 0; i < line.size() && i < kMaxCodeDigits; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) break;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

SMTPOut::Wait SMTPOut::WaitForReply(int code, std::string& line, bool* postfixFlag) {
  char buffer[kLineSize + 1];
  for (int replies = 0; replies < kMaxRepliesPerWait; ++replies) {
    const int length = ReceiveLine(buffer, static_cast<int>(kLineSize));
    if (length <= 0) return Wait::Failed;
    line.assign(buffer, static_cast<std::size_t>(length));
    const int got = GetAck(line);
    if (postfixFlag && got == 220 && line.find("Postfix") != std::string::npos) {
      LogMessage("SMTPOut- This is a postfix server", kTag, __LINE__);
      *postfixFlag = true;
    }
    if (got == code) return Wait::Got;
  }
  return Wait::Failed;
}

int SMTPOut::FailDialogue() {
  LogSocketError();
  Close();
  return kDialogueFailed;
}

bool SMTPOut::SendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const int sent = SendBytes(bytes.data(), static_cast<int>(bytes.size()));
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool SMTPOut::SendMessage(platform::File& work) {
  std::uint64_t size = 0;
  work.Size(size);
  bool endLine = false;
  if (size >= 3) {
    char tail[4] = {};
    const std::uint64_t from = size >= 4 ? size - 4 : 0;
    const std::size_t want = static_cast<std::size_t>(size - from);
    std::size_t got = 0;
    work.Seek(static_cast<std::int64_t>(from), SEEK_SET);
    if (work.Read(tail, want, got) == platform::kErrorSuccess && got == want)
      endLine = MessageStream::EndsWithEndLine(std::string_view(tail, got), size);
  }
  work.Seek(0, SEEK_SET);

  // The message goes out in blocks of kSendBlock, and a message that fits goes in one send:
  // pieces sent one by one would each wait for the peer's acknowledgement of the one before
  // (the sender's small segments are held back until then), some 40 ms a mail on loopback.
  MessageStream stream(size, endLine);
  std::vector<char> block(kReadBlock);
  std::string out;
  out.reserve(kSendBlock + 2 * kReadBlock);
  for (;;) {
    std::size_t got = 0;
    if (work.Read(block.data(), block.size(), got) != platform::kErrorSuccess || got == 0) break;
    stream.Feed(std::string_view(block.data(), got), out);
    if (out.size() >= kSendBlock) {
      if (!SendAll(out)) return false;
      out.clear();
    }
  }
  stream.Finish(out);
  return SendAll(out);
}

bool SMTPOut::ConnectToHost(const std::string& name, std::uint16_t port, std::string& shown) {
  char buffer[kLineSize] = {};
  const std::size_t length = std::min(name.size(), kLineSize - 1);
  std::copy_n(name.data(), length, buffer);
  ResolveHostAddress(buffer, static_cast<int>(kLineSize));
  shown = buffer;
  return Connect(port, buffer, m_timings.connectTimeoutMs) == 0;
}

int SMTPOut::SendViaMX(platform::File& work, const std::string& address, std::string receiverLine) {
  if (m_relayConfigured) return SendViaRelay(work, address);
  const std::string domain = AddressDomain(receiverLine);
  DNSResolver resolver;
  if (resolver.Lookup(m_dnsServer, domain) != 0)
    LogMessage("SMTPOut- Error: Auth Lookup Failed", kTag, __LINE__);
  const auto port = static_cast<std::uint16_t>(m_remotePort);

  // Exchangers in the order of the response; the preference is not looked at.
  bool connected = false;
  for (int n = 0; !connected; ++n) {
    DNSRecord record;
    if (!resolver.FindRecord(n, dns::kTypeMX, record)) break;
    LogMessageText("SMTPOut- MX Rec Found : ", record.text1, kTag, __LINE__);
    std::string shown;
    if (!Extended()) {
      connected = ConnectToHost(record.text1, port, shown);
    } else {
      const Opened opened = OpenSession(record.text1, record.text1, port, false, shown);
      if (opened == Opened::DialogueFailed) return kDialogueFailed;
      if (opened == Opened::Refused) continue;  // logged why; the next one
      connected = opened == Opened::Ready;
    }
    if (!connected)
      LogMessageText("SMTPOut- Unable to connect to the host: ", shown, kTag, __LINE__);
  }
  if (!connected) {
    LogMessageText("SMTPOut- No MX Rec: Using: ", domain, kTag, __LINE__);
    std::string shown;
    Opened opened = Opened::Unreachable;
    if (Extended())
      opened = OpenSession(domain, domain, port, false, shown);
    else if (ConnectToHost(domain, port, shown))
      opened = Opened::Ready;
    if (opened == Opened::DialogueFailed) return kDialogueFailed;
    if (opened == Opened::Refused) return kNoMailHost;
    if (opened != Opened::Ready) {
      LogMessageText("SMTP Out- Unable to connect to the host: ", domain, kTag, __LINE__);
      return kNoMailHost;
    }
  }
  if (Extended()) return Transfer(work, address, false);

  LogMessage("SMTPOut- Connecting", kTag, __LINE__);
  SetReceiveTimeout(m_timings.receiveTimeoutMs);
  // Nothing is thrown away here: on a new connection the only input there can be is the
  // greeting, which RFC mode waits for and which shows a Postfix server in either mode.
  bool postfix = false;
  std::string reply;
  if (m_rfcMode && WaitForReply(220, reply, &postfix) == Wait::Failed) return FailDialogue();

  LogMessage("SMTPOut- Sending HELO - Waiting for ack (250)", kTag, __LINE__);
  SendAll("HELO " + DomainName() + "\r\n");
  // Without RFC mode the greeting is read only here.
  if (WaitForReply(250, reply, m_rfcMode ? nullptr : &postfix) == Wait::Failed)
    return FailDialogue();
  return Transfer(work, address, postfix);
}

int SMTPOut::Transfer(platform::File& work, const std::string& address, bool postfix) {
  std::string reply;
  LogMessage("SMTPOut- Sending MAIL - Waiting for ack (250)", kTag, __LINE__);
  if (!postfix) SendAll("Mail from:<" + DomainName() + ">\r\n");
  if (WaitForReply(250, reply) == Wait::Failed) {
    // Nothing accepted within the time-out (for a Postfix server nothing was sent yet): the
    // recipient's own address as the reverse path.
    SendAll("Mail from:<" + address + ">\r\n");
    if (WaitForReply(250, reply) == Wait::Failed) return FailDialogue();
  }

  LogMessage("SMTPOut- Sending RCPT - Waiting for ack (250)", kTag, __LINE__);
  SendAll("RCPT to:<" + address + ">\r\n");
  if (WaitForReply(250, reply) == Wait::Failed) return FailDialogue();

  LogMessage("SMTPOut- Sending DATA - Waiting for ack (354)", kTag, __LINE__);
  SendAll("DATA\r\n");
  if (WaitForReply(354, reply) == Wait::Failed) return FailDialogue();

  LogMessage("SMTPOut- Sending Message", kTag, __LINE__);
  // A failed send shows as the missing reply below.
  SendMessage(work);

  LogMessage("SMTPOut- Waiting for DATA end ack (250)", kTag, __LINE__);
  if (WaitForReply(250, reply) == Wait::Failed) return FailDialogue();

  LogMessage("SMTPOut- Sending QUIT - Waiting for ack (221)", kTag, __LINE__);
  SendAll("QUIT\r\n");
  if (WaitForReply(221, reply) == Wait::Failed) {
    // The server took the message with its 250: trying again would deliver it twice.
    LogSocketError();
    LogMessage("SMTPOut- No QUIT ack; the message was accepted and counts as delivered", kTag,
               __LINE__);
    Close();
    return kDelivered;
  }
  LogMessageText("QUIT Ack - ", reply, kTag, __LINE__);
  Close();
  return kDelivered;
}

int SMTPOut::SendViaRelay(platform::File& work, const std::string& address) {
  if (!m_relay) {
    LogMessage("SMTPOut- Error: RelayHost is no host[:port]; nothing sent", kTag, __LINE__);
    return kNoMailHost;
  }
  if (!m_relayUser.empty() && !m_relayPasswordUsable) {
    LogMessageText("SMTPOut- Error: no usable RelayPasswordFile; nothing sent for relay user ",
                   m_relayUser, kTag, __LINE__);
    return kAuthRefused;
  }
  // A name is looked up with the gateway's own resolver (its A record), else the system's.
  std::string target = m_relay->host;
  if (!platform::InetAddr(target)) {
    DNSResolver resolver;
    resolver.LookupAddress(m_dnsServer, m_relay->host);
    DNSRecord record;
    for (int n = 0; resolver.FindRecord(n, dns::kTypeA, record); ++n) {
      if (EqualsNoCase(record.ownerName, m_relay->host) && platform::InetAddr(record.text1)) {
        target = record.text1;
        break;
      }
    }
  }
  LogMessageText("SMTPOut- Relay host: ", m_relay->host + " (" + target + ")", kTag, __LINE__);
  std::string shown;
  const Opened opened = OpenSession(m_relay->host, target, m_relay->port, true, shown);
  switch (opened) {
    case Opened::Ready: return Transfer(work, address, false);
    case Opened::Unreachable:
      LogMessageText("SMTPOut- Unable to connect to the relay host: ",
                     shown + ":" + std::to_string(m_relay->port), kTag, __LINE__);
      return kNoMailHost;
    case Opened::Refused: return kNoMailHost;
    case Opened::AuthRefused: return kAuthRefused;
    case Opened::DialogueFailed: break;
  }
  return kDialogueFailed;
}

SMTPOut::Opened SMTPOut::OpenSession(const std::string& name, const std::string& address,
                                     std::uint16_t port, bool relay, std::string& shown) {
  if (!ConnectToHost(address, port, shown)) return Opened::Unreachable;
  LogMessage("SMTPOut- Connecting", kTag, __LINE__);
  SetReceiveTimeout(m_timings.receiveTimeoutMs);
  const bool withUser = relay && !m_relayUser.empty();
  const bool implicitTls = relay && port == kImplicitTlsPort;
  const bool tlsRequired = m_txTls == kTxTlsRequired || withUser || implicitTls;
  bool secure = false;
  if (implicitTls) {
    if (const Opened begun = BeginTls(name); begun != Opened::Ready) return begun;
    secure = true;
  }
  const Reply greeting = ReadReply();
  if (greeting.code == 0) return Broken();
  if (greeting.code != 220) {
    LogMessageText("SMTPOut- Error: no service offered, next host: ", name + ": " + greeting.last,
                   kTag, __LINE__);
    Quit();
    return Opened::Refused;
  }
  Extensions offered;
  if (const Opened hello = Hello(name, secure, tlsRequired, offered); hello != Opened::Ready)
    return hello;

  if (!secure && (m_txTls != kTxTlsOff || tlsRequired)) {
    if (!offered.startTls) {
      if (tlsRequired) return QuitAndRefuse(name + " offers no STARTTLS");
      LogMessageText("SMTPOut- No STARTTLS offered, in clear: ", name, kTag, __LINE__);
    } else {
      LogMessage("SMTPOut- Sending STARTTLS - Waiting for ack (220)", kTag, __LINE__);
      SendAll("STARTTLS\r\n");
      const Reply ready = ReadReply();
      if (ready.code == 0) return Broken();
      if (ready.code != 220) {
        if (tlsRequired) return QuitAndRefuse(name + " refused STARTTLS: " + ready.last);
        LogMessageText("SMTPOut- STARTTLS refused, in clear: ", name + ": " + ready.last, kTag,
                       __LINE__);
      } else {
        if (const Opened begun = BeginTls(name); begun != Opened::Ready) return begun;
        secure = true;
        // What the server offered in clear counts no more.
        offered = Extensions{};
        if (const Opened hello = Hello(name, secure, tlsRequired, offered); hello != Opened::Ready)
          return hello;
      }
    }
  }
  if (withUser) {
    // The password never goes out in clear, whatever the level.
    if (!secure) return QuitAndRefuse(name + " offers no TLS for the password");
    return Authenticate(name, offered);
  }
  return Opened::Ready;
}

SMTPOut::Opened SMTPOut::Hello(const std::string& name, bool secure, bool tlsRequired,
                               Extensions& offered) {
  LogMessage("SMTPOut- Sending EHLO - Waiting for ack (250)", kTag, __LINE__);
  SendAll("EHLO " + DomainName() + "\r\n");
  const Reply reply = ReadReply();
  if (reply.code == 0) return Broken();
  if (reply.code == 250) {
    // The first line names the server; each further one an extension and its parameters.
    for (std::size_t i = 1; i < reply.texts.size(); ++i) {
      std::string words = ToUpper(reply.texts[i]);
      for (char& c : words)
        if (c == '=') c = ' ';  // the old "AUTH=PLAIN LOGIN" as well
      std::size_t at = 0;
      std::vector<std::string> tokens;
      while (at < words.size()) {
        const std::size_t end = std::min(words.find(' ', at), words.size());
        if (end > at) tokens.push_back(words.substr(at, end - at));
        at = end + 1;
      }
      if (tokens.empty()) continue;
      if (tokens[0] == "STARTTLS") offered.startTls = true;
      if (tokens[0] != "AUTH") continue;
      for (std::size_t t = 1; t < tokens.size(); ++t) {
        if (tokens[t] == "PLAIN") offered.authPlain = true;
        if (tokens[t] == "LOGIN") offered.authLogin = true;
      }
    }
    return Opened::Ready;
  }
  if (reply.code < 500) {
    Quit();
    return Opened::DialogueFailed;
  }
  // Refused: the basic greeting, which offers no extension (and so no STARTTLS).
  if (!secure && tlsRequired) return QuitAndRefuse(name + " does not take EHLO");
  LogMessage("SMTPOut- Sending HELO - Waiting for ack (250)", kTag, __LINE__);
  SendAll("HELO " + DomainName() + "\r\n");
  const Reply helo = ReadReply();
  if (helo.code != 250) {
    if (helo.code != 0) Quit();
    return Broken();
  }
  return Opened::Ready;
}

SMTPOut::Opened SMTPOut::BeginTls(const std::string& name) {
  std::string error = m_tlsProblem;
  if (m_tlsClient && StartTls(*m_tlsClient, name, error)) {
    LogMessageText("SMTPOut- TLS started: ", name + " " + Tls()->Protocol() + " " + Tls()->Cipher(),
                   kTag, __LINE__);
    return Opened::Ready;
  }
  // Nothing more can be said on this connection: the handshake has had its bytes.
  LogMessageText("SMTPOut- Error: TLS failed, next host: ", name + ": " + error, kTag, __LINE__);
  Close();
  return Opened::Refused;
}

SMTPOut::Opened SMTPOut::Authenticate(const std::string& name, const Extensions& offered) {
  Reply reply;
  if (offered.authPlain) {
    LogMessage("SMTPOut- Sending AUTH PLAIN - Waiting for ack (235)", kTag, __LINE__);
    std::string command = "AUTH PLAIN " + PlainResponse(m_relayUser, m_relayPassword) + "\r\n";
    SendAll(command);
    WipeSecret(command);
    reply = ReadReply();
  } else if (offered.authLogin) {
    LogMessage("SMTPOut- Sending AUTH LOGIN - Waiting for ack (235)", kTag, __LINE__);
    SendAll("AUTH LOGIN\r\n");
    reply = ReadReply();
    if (reply.code == 334) {
      SendAll(Base64Encode(m_relayUser) + "\r\n");
      reply = ReadReply();
    }
    if (reply.code == 334) {
      std::string response = Base64Encode(m_relayPassword) + "\r\n";
      SendAll(response);
      WipeSecret(response);
      reply = ReadReply();
    }
  } else {
    LogMessageText("SMTPOut- Error: relay offers no AUTH PLAIN or LOGIN: ", name, kTag, __LINE__);
    Quit();
    return Opened::AuthRefused;
  }
  if (reply.code == 235) {
    LogMessageText("SMTPOut- Authenticated to the relay as ", m_relayUser, kTag, __LINE__);
    return Opened::Ready;
  }
  LogMessageText(
      "SMTPOut- Error: relay " + name + " refused the authentication of " + m_relayUser + ": ",
      reply.code == 0 ? std::string("no reply") : reply.last, kTag, __LINE__);
  if (reply.code == 0) return Broken();
  Quit();
  // A temporary refusal (4xx) may pass at the next attempt; any other is for good.
  if (reply.code >= 400 && reply.code < 500) return Opened::DialogueFailed;
  return Opened::AuthRefused;
}

SMTPOut::Opened SMTPOut::Broken() {
  FailDialogue();
  return Opened::DialogueFailed;
}

SMTPOut::Opened SMTPOut::QuitAndRefuse(const std::string& why) {
  LogMessageText(kLogClearRefused, why, kTag, __LINE__);
  Quit();
  return Opened::Refused;
}

void SMTPOut::Quit() {
  LogMessage("SMTPOut- Sending QUIT - Waiting for ack (221)", kTag, __LINE__);
  SendAll("QUIT\r\n");
  ReadReply();
  Close();
}

SMTPOut::Reply SMTPOut::ReadReply() {
  Reply reply;
  char buffer[kMaxReplyLine + 1];
  for (int n = 0; n < kMaxReplyLines; ++n) {
    const int length = ReceiveLine(buffer, kMaxReplyLine);
    if (length <= 0) return Reply{};
    const std::string_view line(buffer, static_cast<std::size_t>(length));
    const int code = GetAck(line);
    // A line that did not end within the limit, or that does not start as a reply line does
    // ("ddd", "ddd text", "ddd-text"), or whose code changes: no reply to go by.
    const bool shaped = length < kMaxReplyLine && line.size() >= 3 && code >= 100 && code <= 599 &&
                        (line.size() == 3 || line[3] == ' ' || line[3] == '-') &&
                        (n == 0 || code == reply.code);
    if (!shaped) {
      LogMessage("SMTPOut- Error: not a reply line", kTag, __LINE__);
      return Reply{};
    }
    reply.code = code;
    reply.texts.emplace_back(line.size() > 4 ? line.substr(4) : std::string_view());
    reply.last.assign(line);
    if (line.size() == 3 || line[3] == ' ') return reply;
  }
  LogMessage("SMTPOut- Error: reply of too many lines", kTag, __LINE__);
  return Reply{};
}

}  // namespace faxmail
