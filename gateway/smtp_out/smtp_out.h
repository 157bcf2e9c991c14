// SMTPOut: the sender. It takes the ready files that the fax server leaves in IN, composes a
// mail from each (compose.h), finds the recipient domain's mail exchangers with the gateway's
// own DNS resolver and delivers the mail over SMTP.
//
// One scheduler thread (SMTPMainThread) does all the work: while the folder holds no ready file
// it waits until a ready name arrives in IN (renamed into it, or closed after writing there),
// and polls it every 10 seconds all the same; it runs SMTPOutThread on itself when it does, so one
// mail is in delivery at a time and nothing here needs a lock. A run of SMTPOutThread delivers
// ready files one after another until none is left, trying each delivery up to five times in
// immediate succession within the run; a file that cannot be delivered, or that names no
// recipient, is renamed with an error suffix (".ConnFailed.Err", ".ConnTermin.Err",
// ".NoName.Err") and event 435 is reported. With RetrySchedule set a failed delivery is not
// tried again at once: the file waits in IN for the schedule's next attempt while the run goes
// on to the next file (retry_schedule.h), and is set aside so once the schedule or
// MaxQueueLifetime is used up. A file that cannot be renamed (or whose mail cannot
// be written) is held back until the next poll, so a broken file never keeps the sender busy;
// so is a run that could open no ready file (every one held by its writer). What is not a
// regular file - a symbolic link, a FIFO - is never opened or followed, whether it has a ready
// name or is named as an attachment: its ready file is renamed with ".Refused.Err", event 435.
// Header lines from IN go out with every control character but TAB removed and CR LF at the
// end, so no text of theirs can start a header line of its own.
//
// The SMTP dialogue (SendViaMX) is plain SMTP without extensions: HELO, MAIL, RCPT, DATA, the
// message with leading dots doubled (message_stream.h) and sent in large blocks, QUIT. It
// waits for each expected reply code and skips any other reply; a reply that does not come
// within 35 seconds ends the attempt. Every line a server sends is logged ("SMTPOut- Ack: ").
//
// With SmtpTxTls (1 opportunistic, 2 required) or RelayHost set, the dialogue up to MAIL is
// the extended one: the greeting is read, EHLO (HELO when it is refused with 5xx), STARTTLS
// when offered and wanted and EHLO again inside TLS, and AUTH PLAIN or LOGIN to a relay host
// with RelayUser; from MAIL on it is the same as above. A server with which TLS is required
// but cannot be had (no STARTTLS, no EHLO, a failed handshake or certificate check) gets
// nothing but QUIT and counts as one that cannot be reached: the next exchanger is tried.
// RFCMode does not apply there (the greeting is always read first), nor does the basic
// dialogue's wait at a Postfix server before MAIL: MAIL follows EHLO at once.
// The relay password goes only inside TLS. A relay that refuses the authentication with 5xx
// gives kAuthRefused: the ready file is set aside at once (".ConnTermin.Err"), since the same
// password would only be refused again. RelayHost ":465" means TLS from the first byte.
//
// Life: construct (reads DNSName, RFCMode, SmtpTxPort, the TLS and relay values and the relay
// password file), SetFileManager, Start. Destruction
// sets the stop flag and wakes an idle scheduler; a run in progress is not interrupted: the
// destructor waits 10 seconds for it, then logs and waits on until it has ended, since the run
// uses the object. In the gateway the sender lives until the process ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/net/client.h"
#include "gateway/net/tls.h"
#include "gateway/smtp_out/relay.h"
#include "gateway/smtp_out/retry_schedule.h"
#include "platform/dir_watch.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/thread.h"

namespace faxmail {

class CFileMan;
struct SenderSettings;

class SMTPOut : public C_WSClient {
 public:
  // Results of SendViaMX.
  static constexpr int kDelivered = 0;
  static constexpr int kNoMailHost = 2;
  static constexpr int kDialogueFailed = 3;
  // Only with RelayUser: the relay refused the authentication for good (or no password can be
  // given); nothing was sent.
  static constexpr int kAuthRefused = 4;
  // The event of a relay password file that is not used.
  static constexpr std::uint32_t kEventRelayPasswordRefused = 442;
  // Failed attempts after which a ready file is given up, within one run.
  static constexpr int kMaxAttempts = 5;
  // Reply lines, host names and the receiver line.
  static constexpr std::size_t kLineSize = 200;

  // Waits of the sender. Tests may shorten them; the gateway uses these.
  struct Timings {
    std::chrono::milliseconds idlePoll{10000};
    std::chrono::milliseconds inUsePause{20000};
    std::chrono::milliseconds destroyWait{10000};
    std::uint32_t receiveTimeoutMs = 35000;
    std::uint32_t connectTimeoutMs = C_WSClient::kConnectTimeoutMs;
  };

  // Reads the sender's settings and logs them.
  SMTPOut();
  ~SMTPOut() override;
  SMTPOut(const SMTPOut&) = delete;
  SMTPOut& operator=(const SMTPOut&) = delete;

  // The file manager of the gateway; set before Start.
  void SetFileManager(CFileMan& fileMan) { m_fileMan = &fileMan; }
  // Tests only, before Start.
  void SetTimings(const Timings& timings) { m_timings = timings; }

  // 0 the scheduler thread runs; 1 the stop flag is set; 2 the thread could not be created.
  int Start();
  // Lets go of the scheduler thread without stopping it (the service's stop path).
  void ReleaseMainThread();

  void SMTPMainThread();
  // true when the run took a ready file to an end (delivered, dropped or set aside); false
  // when it found none it could open, and the scheduler then waits for its next poll.
  bool SMTPOutThread();

  // Delivers the composed message in work (positioned at its start, ending with ".\r\n") to
  // address (at most 199 characters); receiverLine holds "TO: <address>" on entry. 0 delivered,
  // 2 no mail host could be connected, 3 the dialogue failed, 4 the relay refused AUTH.
  int SendViaMX(platform::File& work, const std::string& address, std::string receiverLine);

  // Logs "SMTPOut- Ack: " + line; the decimal number at the start of the line, 0 when none.
  static int GetAck(std::string_view line);

  std::uint32_t RemotePort() const noexcept { return m_remotePort; }
  const std::string& DnsServer() const noexcept { return m_dnsServer; }
  bool RfcMode() const noexcept { return m_rfcMode; }
  int Running() const noexcept { return m_running.load(); }
  std::uint32_t TxTls() const noexcept { return m_txTls; }
  bool TxTlsVerify() const noexcept { return m_txTlsVerify; }

 private:
  enum class Wait { Got, Failed };
  // How one delivery attempt of a ready file ended.
  enum class Attempt {
    NoWorkFile,      // the work file could not be made
    WriteFailed,     // composition could not write the work file
    Refused,         // the ready file or an attachment is no regular file
    Dropped,         // nothing to send (the ready file is deleted)
    NoReceiver,      // no TO: line
    Delivered,       // the ready file is deleted
    NoMailHost,      // no exchanger and not the domain could be connected
    DialogueFailed,  // connected, but the server did not take the message
    AuthRefused,     // the relay refused the authentication
  };
  // How the opening of a session with one server ended (the extended dialogue).
  enum class Opened {
    Ready,           // MAIL may follow
    Unreachable,     // no connection
    Refused,         // nothing to be sent there (logged why); the next server is tried
    DialogueFailed,  // a reply did not come: closed, as a failed dialogue
    AuthRefused,     // the relay refused the authentication (closed)
  };
  // One whole reply of the extended dialogue: its code (0 when none came or it was not a
  // reply) and the text of each line after the code.
  struct Reply {
    int code = 0;
    std::vector<std::string> texts;
    std::string last;  // the last line as sent, for the log
  };
  // What an EHLO reply offers.
  struct Extensions {
    bool startTls = false;
    bool authPlain = false;
    bool authLogin = false;
  };
  // Composes the ready file's work file in IN and delivers it; closes the ready file (deleting
  // it when delivered or dropped). The work file is gone on return, but for a debug copy.
  Attempt AttemptDelivery(platform::File& ready);
  // Reads reply lines until one with code; Failed when a read gives nothing.
  Wait WaitForReply(int code, std::string& line, bool* postfixFlag = nullptr);
  int FailDialogue();
  bool SendAll(std::string_view bytes);
  bool SendMessage(platform::File& work);
  bool ConnectToHost(const std::string& name, std::uint16_t port, std::string& shown);
  // MAIL, RCPT, DATA, the message, QUIT on the open connection.
  int Transfer(platform::File& work, const std::string& address, bool postfix);
  // Takes the settings of TLS and the relay host, and reads the relay password, at construction.
  void LoadTransportSettings(const SenderSettings& settings);
  bool Extended() const noexcept { return m_txTls != 0 || m_relayConfigured; }
  int SendViaRelay(platform::File& work, const std::string& address);
  // Connects to name (or the address given for it) on port and opens an extended session:
  // greeting, EHLO, STARTTLS, AUTH. shown receives the address connected to.
  Opened OpenSession(const std::string& name, const std::string& address, std::uint16_t port,
                     bool relay, std::string& shown);
  // EHLO (HELO when it is refused and TLS is not required, or already on): what it offers.
  Opened Hello(const std::string& name, bool secure, bool tlsRequired, Extensions& offered);
  Opened BeginTls(const std::string& name);
  Opened Authenticate(const std::string& name, const Extensions& offered);
  // Logs why nothing is sent to this server, says QUIT and closes: Refused.
  Opened QuitAndRefuse(const std::string& why);
  // FailDialogue: DialogueFailed.
  Opened Broken();
  Reply ReadReply();
  // QUIT, its reply (whatever it is) and the close.
  void Quit();
  // Sleeps up to duration; returns early when the object is being destroyed.
  void Pause(std::chrono::milliseconds duration);
  // The scheduler's idle wait: until a ready name arrives in IN or the poll period is over.
  // A full period since the last one lets held-back files be tried again.
  void IdleWait();
  // Gives a ready file its error name; logs failedText when the rename fails.
  void SetAside(const std::string& path, std::string_view suffix, bool capitals,
                const char* failedText);
  void HoldBack(const std::string& path);
  int CountReadyFiles();
  // Deferred retries (RetrySchedule set): the names not to be taken now, held back or waiting
  // for their next attempt; a failed attempt's record; the records read at start.
  std::set<std::string> NotNow() const;
  // true when the file waits for another attempt; false when it is to be given up.
  bool Defer(const std::string& path);
  void Forget(const std::string& path);
  void LoadDeferred();
  std::string DomainName() const;

  std::uint32_t m_remotePort = 25;
  int m_threadLimit = 1;
  std::atomic<int> m_running{0};
  std::string m_dnsServer;
  bool m_rfcMode = false;
  CFileMan* m_fileMan = nullptr;
  std::atomic<bool> m_stop{false};
  platform::Thread m_MainThreadID;
  Timings m_timings;

  // TLS on send and the relay host; all off when their values are absent.
  std::uint32_t m_txTls = 0;
  bool m_txTlsVerify = false;
  bool m_relayConfigured = false;      // RelayHost holds a text
  std::optional<RelayTarget> m_relay;  // ... and this is what it says, when it says anything
  std::string m_relayUser;
  std::string m_relayPassword;  // read at start; never logged
  bool m_relayPasswordUsable = false;
  std::optional<TlsContext> m_tlsClient;  // when TLS may be used at all
  std::string m_tlsProblem;               // why there is none

  // Set when the object is being destroyed: wakes an idle scheduler.
  platform::Event m_wake{true};
  // Notice of ready names arriving in IN; when it cannot be had, the poll alone finds them.
  platform::DirectoryWatch m_arrivals;
  std::chrono::steady_clock::time_point m_lastPoll;
  // Set by the scheduler thread as its last act; shared, since it outlives the object when the
  // thread has been let go of.
  std::shared_ptr<platform::Event> m_ended;
  // Ready files (names in IN) not to be taken again before the next idle poll.
  std::set<std::string> m_heldBack;
  RetryPolicy m_retry;
  std::unique_ptr<RetryStore> m_retryStore;  // made at Start, when the schedule is set
  // Ready names waiting for their next attempt, and when it is due.
  std::map<std::string, std::chrono::steady_clock::time_point> m_deferred;
  // Ready files (paths) whose error name could not be given and that were reported so; a file
  // that stays is tried again at every poll and must not fill the event log.
  std::set<std::string> m_unmovedReported;
  // Paths remembered in m_unmovedReported; beyond them the memory starts afresh, so an
  // unmovable file is reported again at most once per this many others.
  static constexpr std::size_t kMaxUnmovedReported = 1000;
};

}  // namespace faxmail
