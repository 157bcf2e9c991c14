// SMTPIn: the SMTP server side. One SMTPInThread session per accepted connection, on the
// connection's own thread, from the 220 greeting to QUIT.
//
// The dialogue is small and fixed: HELO, MAIL, RCPT, DATA, HELP, QUIT, NOOP, RSET; no
// extensions, no authentication, no check of the addresses. Only the first four characters of
// a command line decide the command. Command lines are read 100 bytes at a time; message data
// is stored chunk by chunk as it arrives, so memory does not grow with the message.
//
// The data ends only with the line "." that follows a CR LF and ends in CR LF; a leading "."
// of any other line at such a line start is removed (dot transparency). A message is
// acknowledged with 250 only once its file is complete, synced and closed; a message whose
// data ends without the end line is not spooled (the client got no 250 and will send it
// again). Then Decode turns the file into the fax server's files, under the listener's work
// lock, one message at a time in the process.
//
// Nothing acknowledged is lost: the 250 goes out only once the raw file and its commit record
// are durable (spool_commit.h); a message whose files cannot all be written (a full disk) gets
// 452 and nothing is kept. A decode that cannot write its files leaves no ready envelope and
// keeps the raw file, which is decoded again every kDecodeRetryInterval, after the next
// message, and at the next start, where RecoverSpool also finishes or undoes what a crash left.
//
// Over the connection limit a session is refused without a byte. Every step is logged under
// the tag "SMTP_IN".
//
// The receiver's opt-in values (InboundSettings) are read once where it is made and are fixed
// afterwards; with all of them absent the dialogue is the one above, byte for byte. With ESMTP
// on, EHLO is answered with its extensions, and replies of a session that said EHLO carry
// enhanced status codes. MaxMessageSize bounds the message data whether or not ESMTP is on: a
// larger message is read to its end, refused with 552 and not kept. A certificate and key that
// load make STARTTLS available; after it everything read before the handshake is gone and the
// session starts again from its greeting. AUTH (PLAIN, LOGIN) is offered and taken only inside
// TLS; failures are slowed down and the third ends the session. RequireAuth refuses MAIL
// without it. DecodeThreads hands each acknowledged message to that many decode threads, so that
// the session reads its client's next command at once instead of after the decode; a session
// that finds kDecodeQueueLimit messages waiting decodes its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/folder_names.h"
#include "common/shared_sync.h"
#include "common/spare_files.h"
#include "gateway/net/connection.h"
#include "gateway/net/listener.h"
#include "gateway/net/tls.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_in/auth_users.h"
#include "gateway/smtp_in/duplicate_guard.h"
#include "gateway/smtp_in/sender_policy.h"
#include "gateway/smtp_in/spool_commit.h"
#include "platform/thread.h"

namespace faxmail {

class CFileMan;
struct InboundSettings;

enum SessionState : std::int32_t {
  WaitHelo = 1,
  WaitMail = 2,
  WaitRcptOrData = 3,
  DataStream = 101,
};

enum SmtpCommand : int {
  Unknown = 0,
  HELO = 1,
  MAIL = 2,
  RCPT = 3,
  DATA = 4,
  HELP = 5,
  QUIT = 6,
  NOOP = 7,
  RSET = 8,
  // Known only while ESMTP is on.
  EHLO = 9,
  STARTTLS = 10,
  AUTH = 11,
};

SmtpCommand ParseCommand(std::string_view line);
// With ESMTP on: EHLO, STARTTLS and AUTH as whole words (any letter case), else ParseCommand.
SmtpCommand ParseExtendedCommand(std::string_view line);
// A reply for a session that said EHLO: the enhanced status code put after the reply code
// ("503 Bad..." and "5.5.1" give "503 5.5.1 Bad..."); text unchanged when code is empty.
std::string WithStatusCode(std::string_view text, std::string_view code);
// One receiver entry, message + text, on both log channels (tag "SMTP_IN").
void LogBoth(std::string_view message, std::string_view text, int line);
// Whether a command line holds a control character other than TAB (NUL, a CR in the middle,
// DEL...): such a line is answered as an unknown command.
bool HasControlCharacter(std::string_view line);
// The argument of HELO, MAIL and RCPT: what follows the first four characters, without its
// leading blanks (code 32 only).
std::string CommandArgument(std::string_view line);

class SMTPIn : public C_WINSOCK {
 public:
  // How long a message whose decode failed waits before it is tried again: long enough not to
  // fill the log while a disk stays full, short enough that faxes go out soon after space
  // returns.
  static constexpr std::chrono::milliseconds kDecodeRetryInterval{30000};
  // A session's limits, beyond the receive time-out that each byte restarts: a client that
  // trickles its bytes must not hold one of the few places for ever. A command line must be
  // complete within this time of the greeting or of the previous command; any real client
  // sends a command in one piece.
  static constexpr std::uint32_t kCommandTimeLimitMs = 5 * 60 * 1000;
  // The whole message data, from the 354 to the end line: a mail of several megabytes over a
  // slow line fits.
  static constexpr std::uint32_t kDataTimeLimitMs = 10 * 60 * 1000;

  // Delay before the answer to a failed AUTH, doubled for each further failure in the session:
  // a guesser gets three tries in some seconds, a person who mistyped hardly notices.
  static constexpr std::chrono::milliseconds kAuthFailureDelay{1000};
  // Failed AUTH attempts after which the session is closed.
  static constexpr int kMaxAuthFailures = 3;
  // Event reported when the TLS certificate or key cannot be loaded (STARTTLS is then off).
  static constexpr std::uint32_t kEventTlsNotLoaded = 441;

  // The basic receiver: every opt-in value off.
  explicit SMTPIn(CFileMan& fileMan);
  // inbound: the receiver's values as read at start; the TLS certificate and key, the user
  // list, the sender policy and the duplicate guard are made here, and what cannot be is
  // logged and left off.
  SMTPIn(CFileMan& fileMan, InboundSettings inbound);
  ~SMTPIn() override;

  const InboundSettings& Inbound() const noexcept { return m_inbound; }
  // The server's TLS context when STARTTLS is available, else none.
  const TlsContext* Tls() const noexcept { return m_tls ? &*m_tls : nullptr; }
  // The user list when AUTH can be offered (inside TLS), else none.
  const AuthUsers* Users() const noexcept { return m_users ? &*m_users : nullptr; }
  // Tests shorten the delay.
  void SetAuthFailureDelay(std::chrono::milliseconds delay) noexcept {
    m_authDelayMs.store(static_cast<std::uint32_t>(delay.count()));
  }
  std::chrono::milliseconds AuthFailureDelay() const noexcept {
    return std::chrono::milliseconds(m_authDelayMs.load());
  }

  std::unique_ptr<C_WSTHREAD> CreateConnection() override;
  void ReleaseConnection(std::unique_ptr<C_WSTHREAD> connection) override;

  CFileMan& FileMan() noexcept { return m_fileMan; }
  // The sender policy and the duplicate guard from the receiver's settings (the constructor's
  // own, or, in tests, others), before the listener opens. Problems are logged here.
  void SetInboundPolicy(const InboundSettings& settings);
  const SenderPolicy& Policy() const noexcept { return m_policy; }
  // Null while DuplicateWindow is off.
  DuplicateGuard* Duplicates() noexcept { return m_duplicates.get(); }
  SharedFolderSync& FolderSync() noexcept { return m_folderSync; }
  SpareFiles& Spares() noexcept { return m_spares; }
  FolderNames& OutNames() noexcept { return m_outNames; }

  // Turns a raw message file into the envelope, message text and attachment files that the
  // fax server takes from OUT, under the work lock. commit: how the message was committed
  // (none: it was not); its record becomes the decoded marker, or the raw file itself is renamed
  // to its decoded name, before the envelope gets its ready name. False when a file could not
  // be written: then nothing of the decode is left but the raw file and its record. marker: set
  // to the decoded marker's path (the raw file's new path for a note) when there was a commit.
  bool DecodeFile(const std::string& path, const std::vector<std::string>& recipients,
                  std::optional<CommitKind> commit, std::string* marker = nullptr);
  // An acknowledged message (raw file and commit record or note): decoded and removed, or kept
  // and queued for another try. Then the messages still waiting are tried again.
  void DecodeAcknowledged(const std::string& path, const std::vector<std::string>& recipients,
                          CommitKind commit);
  // The same, on a decode thread when DecodeThreads is set and fewer than kDecodeQueueLimit
  // messages wait for one; else at once on the caller's thread.
  void HandAcknowledged(const std::string& path, const std::vector<std::string>& recipients,
                        CommitKind commit);
  // Messages handed to the decode threads and not yet decoded (or kept for another try).
  std::size_t QueuedCount() const;
  // Start-up, before the listener opens: finishes decodes a crash cut off after their marker,
  // removes what unfinished decodes and unacknowledged messages left, resets the in-use flags
  // and decodes every acknowledged message still waiting. unfinished: the envelope that was in
  // use when the gateway last ended (FileName while FileNameUse was set, read before the file
  // manager clears the flag), empty for none. Returns how many it decoded.
  int RecoverSpool(const std::string& unfinished);
  // Tries every message still waiting once; returns how many are left. PendingCount includes
  // the messages a pass is trying.
  std::size_t RetryPending();
  std::size_t PendingCount() const;
  // Tests shorten the interval.
  void SetDecodeRetryInterval(std::chrono::milliseconds interval);
  // The two limits above (only tests change them); for sessions that start afterwards.
  void SetSessionTimeLimits(std::uint32_t commandMs, std::uint32_t dataMs) noexcept {
    m_commandLimitMs.store(commandMs);
    m_dataLimitMs.store(dataMs);
  }
  std::uint32_t CommandTimeLimit() const noexcept { return m_commandLimitMs.load(); }
  std::uint32_t DataTimeLimit() const noexcept { return m_dataLimitMs.load(); }

  // Acknowledged messages that wait for a decode thread. A session that finds this many
  // decodes its own, as without decode threads: the disk sets the pace again, and a burst does
  // not pile up more raw files than a restart decodes in a moment.
  static constexpr std::size_t kDecodeQueueLimit = 64;

 private:
  // Decodes one acknowledged message; true when it needs no further try. recipients and commit
  // are read from the files when not given.
  bool DecodeCommitted(const std::string& path, const std::vector<std::string>* recipients,
                       std::optional<CommitKind> commit = std::nullopt);
  // Queues a message for another try; reports it the first time.
  void AddPending(const std::string& path, bool report);
  // The raw file and the marker of a finished decode go (for a note, the raw file is at the
  // marker's path; its debug copy is named after path all the same).
  void RemoveDecoded(const std::string& path, const std::string& marker, CommitKind commit);
  void RetryLoop();
  // What DecodeThreads threads run: each takes the oldest message handed over, until the
  // receiver goes and nothing is left.
  void DecodeLoop();
  void StartDecoders(std::uint32_t count);
  void StopDecoders();
  // The TLS context and the user list that m_inbound names; what fails is logged.
  void LoadTls();
  void LoadUsers();

  CFileMan& m_fileMan;
  InboundSettings m_inbound;
  std::optional<TlsContext> m_tls;
  std::optional<AuthUsers> m_users;
  std::atomic<std::uint32_t> m_authDelayMs{static_cast<std::uint32_t>(kAuthFailureDelay.count())};
  SharedFolderSync m_folderSync;  // OUT's syncs, shared by the sessions that commit at once
  SpareFiles m_spares;            // OUT's files given up, for the next records and scratch files
  FolderNames m_outNames{"~"};    // OUT's scratch names, for the attachment list's stem checks
  mutable std::mutex m_pendingLock;
  std::vector<std::string> m_pending;  // raw files whose decode failed, oldest first
  std::size_t m_retrying = 0;          // taken out of m_pending by the pass in progress
  std::mutex m_retryLock;
  std::condition_variable m_retryWake;
  std::chrono::milliseconds m_retryInterval{kDecodeRetryInterval};
  bool m_stopping = false;
  std::thread m_retryThread;
  std::mutex m_retryPass;  // one pass over the waiting messages at a time
  struct HandedMessage {
    std::string path;
    std::vector<std::string> recipients;
    CommitKind commit;
  };
  mutable std::mutex m_decodeLock;
  std::condition_variable m_decodeWake;
  std::deque<HandedMessage> m_handed;  // oldest first
  std::size_t m_decoding = 0;          // taken from m_handed by a decode thread, not yet done
  bool m_decodersStopping = false;
  std::vector<platform::Thread> m_decoders;
  std::atomic<std::uint32_t> m_commandLimitMs{kCommandTimeLimitMs};
  std::atomic<std::uint32_t> m_dataLimitMs{kDataTimeLimitMs};
  SenderPolicy m_policy;
  std::unique_ptr<DuplicateGuard> m_duplicates;
};

class SMTPInThread : public C_WSTHREAD {
 public:
  // Longest command line and data chunk read at once.
  static constexpr int kLineLimit = 100;
  // The raw message file is written in pieces of this size (it bounds the session's buffer).
  static constexpr std::size_t kDataWriteBatch = 64 * 1024;
  // Recipients held for one message; more are refused so that a client cannot make the
  // session's memory grow without bound.
  static constexpr std::size_t kMaxRecipients = 1000;
  // Longest command line with ESMTP on: an AUTH line with its initial response may be this
  // long (RFC 4954), and every other command fits in it.
  static constexpr std::size_t kExtendedLineLimit = 12288;
  // Longest user name taken into a log line.
  static constexpr std::size_t kLoggedNameLimit = 64;

  explicit SMTPInThread(SMTPIn& server);

  void Run() override;
  // Over the connection limit: closed without any reply.
  void Refuse() override {}

  void SendHelp();
  void SendGoodbye();

  // Turns a complete raw message file into the fax server's files with this session's
  // recipients (SMTPIn::DecodeFile without a commit record).
  void Decode(const std::string& path);

  SessionState State() const noexcept { return m_state; }
  const std::vector<std::string>& Recipients() const noexcept { return m_recipients; }

 private:
  // Handles one command line in a command state; false when the session ends.
  bool HandleCommand(const std::string& line);
  void ReceiveMessage();
  void Reply(std::string_view text);
  // A reply that carries code when the session said EHLO.
  void Reply(std::string_view text, std::string_view code);
  // One command line with ESMTP on, up to kExtendedLineLimit, without its line end; Empty for
  // a line of nothing, Closed for a closed, failed or silent connection, TooLong for a line
  // read to its end and dropped.
  enum class LineRead { Line, Empty, Closed, TooLong };
  LineRead ReadExtendedLine(std::string& line);
  bool HandleEhlo(const std::string& line);
  bool HandleStartTls(const std::string& line);
  bool HandleAuth(const std::string& line);
  // The MAIL parameters of a session that said EHLO: true when they are acceptable, else the
  // refusal has been sent.
  bool CheckMailParameters(const std::string& argument);
  // A failed AUTH: logged, delayed; false when it was the last one allowed (the session ends).
  bool AuthFailed(std::string_view user);
  // The line a client sends in an AUTH exchange; false when the connection ended.
  bool ReadAuthResponse(std::string& response);
  bool TlsActive() const noexcept;
  // The receive deadline for the next phase, this many milliseconds from now.
  void LimitPhase(std::uint32_t milliseconds);

  SMTPIn& m_server;
  std::optional<std::string> m_relayDomain;
  std::optional<std::string> m_sender;
  std::optional<std::string> m_authUser;  // set by a successful AUTH
  std::vector<std::string> m_recipients;
  SessionState m_state = WaitHelo;
  std::string m_messageFile;
  std::string m_domainName;
  bool m_extended = false;  // the client said EHLO: replies carry enhanced status codes
  int m_authFailures = 0;
};

}  // namespace faxmail
