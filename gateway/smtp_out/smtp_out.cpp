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
}

SMTPOut::~SMTPOut() {
  m_stop = true;
  m_wake.Set();
  m_arrivals.Interrupt();
  if (!m_ended) return;
  if (!m_ended->Wait(m_timings.destroyWait)) {
    // The run uses this object: it cannot be freed under it.
    LogMessage("SMTPOut- Delivery in progress at shutdown; waiting for it to end.", kTag, __LINE__);
    m_ended->Wait();
  }
  if (m_MainThreadID.IsHeld()) m_MainThreadID.Join();
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

bool SMTPOut::ConnectToHost(const std::string& name, std::string& shown) {
  char buffer[kLineSize] = {};
  const std::size_t length = std::min(name.size(), kLineSize - 1);
  std::copy_n(name.data(), length, buffer);
  ResolveHostAddress(buffer, static_cast<int>(kLineSize));
  shown = buffer;
  return Connect(static_cast<std::uint16_t>(m_remotePort), buffer, m_timings.connectTimeoutMs) == 0;
}

int SMTPOut::SendViaMX(platform::File& work, const std::string& address, std::string receiverLine) {
  const std::string domain = AddressDomain(receiverLine);
  DNSResolver resolver;
  if (resolver.Lookup(m_dnsServer, domain) != 0)
    LogMessage("SMTPOut- Error: Auth Lookup Failed", kTag, __LINE__);

  // Exchangers in the order of the response; the preference is not looked at.
  bool connected = false;
  for (int n = 0; !connected; ++n) {
    DNSRecord record;
    if (!resolver.FindRecord(n, dns::kTypeMX, record)) break;
    LogMessageText("SMTPOut- MX Rec Found : ", record.text1, kTag, __LINE__);
    std::string shown;
    connected = ConnectToHost(record.text1, shown);
    if (!connected)
      LogMessageText("SMTPOut- Unable to connect to the host: ", shown, kTag, __LINE__);
  }
  if (!connected) {
    LogMessageText("SMTPOut- No MX Rec: Using: ", domain, kTag, __LINE__);
    std::string shown;
    if (!ConnectToHost(domain, shown)) {
      LogMessageText("SMTP Out- Unable to connect to the host: ", domain, kTag, __LINE__);
      return kNoMailHost;
    }
  }

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

}  // namespace faxmail
