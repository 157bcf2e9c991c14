// The gateway's settings: the values of its registry key and the record loaded at start.
//
// Settings are read once while the gateway starts; a change takes effect at the next start.
// Every missing value, one of the wrong size and one too long for its limit gives the default.
// Nothing here is validated: a bad port or path shows later in the log of its user.
// Loading runs on the start thread before any other gateway thread exists; the record is only
// read afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace faxmail {

inline constexpr char kGatewayKey[] = "SOFTWARE\\Almoran\\Corvane SMTP Server";

// Read limits of the registry texts, with their terminating zero.
inline constexpr std::uint32_t kShortTextLimit = 80;  // ProgramPath, DomainName: 79 characters
inline constexpr std::uint32_t kMailFromLimit = 260;  // MailFrom: 259 characters
inline constexpr std::uint32_t kOverrideLimit = 4;    // OverrideAddressCheck: 3 characters
inline constexpr std::uint32_t kDefaultPort = 25;

// Built-in DNS server when DNSName holds nothing: a root name server's dotted address (the
// resolver connects to dotted addresses only).
inline constexpr char kDefaultDnsServer[] = "198.41.0.4";

inline constexpr std::uint32_t kAttachAsWritten = 0;
inline constexpr std::uint32_t kAttachAsPdf = 1;
inline constexpr std::uint32_t kNotificationPlain = 0;
inline constexpr std::uint32_t kNotificationReport = 1;

// The file manager's share of the settings.
struct GatewaySettings {
  std::string programPath;  // data directory, ends with the separator
  std::string domainName;
  std::string mailFrom;
  std::uint32_t advancedOptions = 0;
  std::uint32_t notifyOnFailure = 1;
  std::uint32_t notifyOnSuccess = 1;
  std::uint32_t subjectLine = 0;
  std::uint32_t includeTiff = 1;
  bool overrideAddressCheck = false;
  // AttachFormat: how fax images are attached to outbound mail (kAttachAsWritten, or
  // kAttachAsPdf: a TIFF as a PDF of its pages).
  std::uint32_t attachFormat = 0;
  // NotificationFormat: how notifications are mailed (kNotificationPlain, or
  // kNotificationReport: a delivery status report of RFC 3464).
  std::uint32_t notificationFormat = 0;
  // ProgramPath exists but is too long for its limit, and so is not used.
  bool programPathTooLong = false;
};

// Loads the file manager's fields: creates or opens the key, writes FileNameUse = 0, reads the
// values in their order, logs the domain name and sets the process-wide override flag.
GatewaySettings LoadGatewaySettings();

// Why the settings cannot be read at all (the hive does not parse or cannot be read), empty
// when they can; a key that does not exist yet is no problem (its values take their defaults).
std::string SettingsProblem();

// A port value (SmtpRxPort, SmtpTxPort): 25 when the key or the value cannot be read.
std::uint32_t ReadPortSetting(const char* valueName);

// The sender's values: DNSName (whole, any length; the built-in default when it holds no data),
// whether RFCMode's lowest byte is set, the deferred retries' RetrySchedule and
// MaxQueueLifetime, and TLS and the relay host.
inline constexpr std::uint32_t kRetryScheduleLimit = 1024;  // RetrySchedule: 1023 characters
// RelayHost: a DNS name of 253 characters, ":" and a port of 5 digits.
inline constexpr std::uint32_t kRelayHostLimit = 261;
inline constexpr std::uint32_t kRelayUserLimit = 256;  // RelayUser: 255 characters
inline constexpr std::uint32_t kTxTlsOff = 0;
inline constexpr std::uint32_t kTxTlsOpportunistic = 1;
inline constexpr std::uint32_t kTxTlsRequired = 2;
struct SenderSettings {
  std::string dnsName;
  bool rfcMode = false;
  std::string retrySchedule;                // RetrySchedule: seconds between attempts, "" = none
  std::uint32_t maxQueueLifetimeHours = 0;  // MaxQueueLifetime
  std::uint32_t smtpTxTls = kTxTlsOff;      // SmtpTxTls: kTxTlsOff, ...Opportunistic, ...Required
  std::optional<std::uint32_t> smtpTxTlsVerify;  // SmtpTxTlsVerify; its default depends on TLS
  std::string relayHost;                         // RelayHost: "host[:port]", "" = the MX walk
  std::string relayUser;                         // RelayUser: AUTH to the relay, "" = none
  std::string relayPasswordFile;                 // RelayPasswordFile: path of the password
};
SenderSettings LoadSenderSettings();

// The receiver's opt-in values. Each absent value leaves its feature off, and with all of them
// absent the SMTP dialogue is the basic one.
// TlsCertificate, TlsKey, AuthUsers, RelayPasswordFile: a path of the system's own length.
inline constexpr std::uint32_t kPathLimit = 4096;
inline constexpr std::uint32_t kPolicyTextLimit = 65536;  // AllowedNetworks, AllowedSenders
// The listening socket's queue of connections not yet accepted, when ListenBacklog is absent.
inline constexpr std::uint32_t kDefaultListenBacklog = 5;
// The largest ListenBacklog taken (a larger value counts as this): the kernel's own ceiling
// (net.core.somaxconn) is 4096 by default, and a longer queue only keeps clients waiting that
// the 20 connection threads cannot serve before their time-outs.
inline constexpr std::uint32_t kMaxListenBacklog = 4096;
// The most DecodeThreads taken (a larger value counts as this): decodes take the work lock one
// at a time, so more threads only add more files waiting for the disk at once, and this many
// already share each folder sync with the rest.
inline constexpr std::uint32_t kMaxDecodeThreads = 32;
struct InboundSettings {
  bool esmtp = false;                      // ESMTP: EHLO and its extensions
  std::uint32_t maxMessageSize = 0;        // MaxMessageSize: bytes of message data, 0 = no limit
  std::string tlsCertificate;              // TlsCertificate: PEM certificate (chain) for STARTTLS
  std::string tlsKey;                      // TlsKey: PEM private key for STARTTLS
  std::string authUsers;                   // AuthUsers: file of "user:hash" lines for AUTH
  bool requireAuth = false;                // RequireAuth: MAIL only after AUTH
  std::string allowedNetworks;             // AllowedNetworks: CIDR list, empty = any client
  std::string allowedSenders;              // AllowedSenders: sender patterns, empty = any sender
  std::uint32_t duplicateWindowHours = 0;  // DuplicateWindow: hours, 0 = no duplicate guard
  // ListenBacklog: connections the system queues before the accept loop takes them, 1 to
  // kMaxListenBacklog (0 counts as 1, more as kMaxListenBacklog).
  std::uint32_t listenBacklog = kDefaultListenBacklog;
  // DecodeThreads: threads that decode acknowledged messages behind the sessions, so that a
  // session reads its client's next command (QUIT, the next MAIL) at once after the 250;
  // 0 = each session decodes its own message before it reads on (kMaxDecodeThreads at most).
  std::uint32_t decodeThreads = 0;
};

// Reads the receiver's values (defaults where the key or a value cannot be read).
InboundSettings LoadInboundSettings();

// The process-wide address-check override used by recipient extraction.
bool OverrideAddressCheck();
void SetOverrideAddressCheck(bool on);

}  // namespace faxmail
