// What the sender needs to hand its mail to a relay host instead of the recipients' mail
// exchangers: the RelayHost text taken apart, the relay password read from its file, and the
// SASL responses of AUTH PLAIN and LOGIN.
//
// The password file is a secret that an administrator writes by hand. It is used only when it
// is a regular file owned by root or by the gateway's own user, with no permission bit for its
// group or for others (as a private key is), and no larger than kMaxPasswordFileBytes; its
// first line (without CR LF) is the password. Anything else is refused with the reason, and
// the password is never part of a reason. Plain functions without state; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace faxmail {

// The port of a RelayHost without one: plain SMTP, as the mail exchangers are spoken to.
inline constexpr std::uint16_t kRelayDefaultPort = 25;
// The port on which a relay speaks TLS from the first byte (no STARTTLS).
inline constexpr std::uint16_t kImplicitTlsPort = 465;
// A password line and its line end; a bigger file is not the password file it claims to be.
inline constexpr std::size_t kMaxPasswordFileBytes = 1024;

struct RelayTarget {
  std::string host;  // a DNS name or a dotted IPv4 address
  std::uint16_t port = kRelayDefaultPort;
};

// "host" or "host:port" (port 1 to 65535); the host made of letters, digits, "-" and ".".
// Nothing when the text is not of that form.
std::optional<RelayTarget> ParseRelayHost(std::string_view text);

// Reads the password file at path into password: true when it could be used; else why says
// what is wrong with the file ("not a regular file", "mode 0644 lets others read it", ...).
bool ReadRelayPassword(const std::string& path, std::string& password, std::string& why);

// The initial response of AUTH PLAIN (RFC 4616): Base64 of NUL user NUL password.
std::string PlainResponse(std::string_view user, std::string_view password);

// Overwrites text with zeros before it is let go of (in a way the compiler may not leave out).
void WipeSecret(std::string& text) noexcept;

}  // namespace faxmail
