// SenderPolicy: who may hand the receiver a message, decided at MAIL before any data is read.
//
// Two lists of the gateway's key, each off while its text is empty:
//   AllowedNetworks  client addresses: "a.b.c.d/n", "a.b.c.d", IPv6 "x:y::z/n" and "x:y::z",
//                    separated by commas and/or blanks. A client outside every network is
//                    refused, unless it authenticated (AUTH proves more than an address).
//   AllowedSenders   envelope senders: "local@domain" (the whole address), "@domain" (any
//                    sender of exactly that domain, not its subdomains), and "user:pattern"
//                    with either form after the colon, which applies only to a client
//                    authenticated as user. Both parts of an address are compared without
//                    regard to ASCII letter case (a local part that differs only in case is
//                    the same mailbox on every server that sends faxes here). When any entry
//                    applies to the client, the sender must match one of those that apply.
//                    The null sender "<>" is refused whenever the list is set: a bounce never
//                    asks for a fax, and faxes cost money.
// An entry that does not parse is logged at start and skipped. Skipping never widens a list:
// a list whose every entry is malformed refuses every client (or sender), and says so.
//
// A refusal is "550 5.7.1 ..." with a line on both logs naming the client, the sender and the
// list; the session goes on. Built once at start, then only read: any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail {

// One network of AllowedNetworks; IPv4 networks are held as IPv4-mapped IPv6 ones.
struct NetworkRule {
  std::array<std::uint8_t, 16> address{};
  int prefix = 0;  // leading bits that count, 0..128
};

// The 16 bytes of a dotted IPv4 (mapped) or an IPv6 address text; none when it is neither.
std::optional<std::array<std::uint8_t, 16>> ParseIpAddress(std::string_view text);
// One entry "address" or "address/prefix"; none when it is malformed (a prefix over 32 for
// IPv4 or over 128 for IPv6, leading zeros in a dotted part, blanks...).
std::optional<NetworkRule> ParseNetworkRule(std::string_view entry);
bool NetworkContains(const NetworkRule& rule, const std::array<std::uint8_t, 16>& address);

// One entry of AllowedSenders.
struct SenderRule {
  std::string user;    // empty: applies to every client
  std::string local;   // lower case; empty for "@domain"
  std::string domain;  // lower case
};
std::optional<SenderRule> ParseSenderRule(std::string_view entry);
// Whether sender (an address without brackets) matches the rule's pattern (not its user).
bool SenderMatches(const SenderRule& rule, std::string_view sender);

// The entries of a list: split at commas and blanks (space, TAB, CR, LF), empty ones dropped.
std::vector<std::string_view> SplitList(std::string_view text);

class SenderPolicy {
 public:
  // Reply texts, exactly as sent.
  static constexpr char kNetworkRefused[] =
      "550 5.7.1 Client host not allowed to send mail here\r\n";
  static constexpr char kSenderRefused[] = "550 5.7.1 Sender address not allowed\r\n";

  enum class Verdict { Allowed, NotInNetworks, NotInSenders };

  // No lists: every client and sender allowed.
  SenderPolicy() = default;
  // Parses both lists; each problem found (malformed entry, a list left without a valid
  // entry) is added to problems as a line fit for the log.
  SenderPolicy(std::string_view networks, std::string_view senders,
               std::vector<std::string>* problems = nullptr);

  bool Active() const noexcept { return m_networksSet || m_sendersSet; }

  // client: the peer's address as text; sender: the address of MAIL's path (empty for "<>"),
  // none when MAIL's argument did not parse; authUser: the name a successful AUTH gave.
  Verdict Check(std::string_view client, const std::optional<std::string>& sender,
                const std::optional<std::string>& authUser) const;

  // For the session: nothing when the client may go on with this MAIL argument (the text
  // after "MAIL"); otherwise the reply to send, the refusal logged on both logs.
  std::optional<std::string_view> Refusal(std::string_view client, std::string_view mailArgument,
                                          const std::optional<std::string>& authUser) const;

 private:
  bool m_networksSet = false;
  bool m_sendersSet = false;
  std::vector<NetworkRule> m_networks;
  std::vector<SenderRule> m_senders;
};

}  // namespace faxmail
