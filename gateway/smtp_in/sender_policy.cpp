#include "gateway/smtp_in/sender_policy.h"

#include <algorithm>
#include <cctype>

#include "base/text.h"
#include "gateway/service/log.h"
#include "gateway/smtp_in/mail_path.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "SMTP_IN";
// User names as the user file and faxmailpasswd allow them.
constexpr std::size_t kUserNameLimit = 64;
// An entry longer than this is no address anyone meant (RFC 5321 paths are at most 256).
constexpr std::size_t kEntryLimit = 320;
// Entries quoted in a start-up log line are cut to this length.
constexpr std::size_t kLoggedEntryLimit = 80;

constexpr std::array<std::uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal number of 1..max digits without a leading zero (so "010" is never read as the
// octal that other parsers make of it); none beyond limit.
std::optional<int> ParseDecimal(std::string_view text, int limit) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  if (text.size() > 1 && text[0] == '0') return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > limit) return std::nullopt;
  return value;
}

std::optional<std::array<std::uint8_t, 4>> ParseIpv4(std::string_view text) {
  std::array<std::uint8_t, 4> out{};
  for (std::size_t i = 0; i < 4; ++i) {
    const auto dot = text.find('.');
    if ((i < 3) != (dot != std::string_view::npos)) return std::nullopt;
    const auto part = ParseDecimal(text.substr(0, dot), 255);
    if (!part) return std::nullopt;
    out[i] = static_cast<std::uint8_t>(*part);
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  }
  return out;
}

// The groups of one side of "::": hex groups of 1..4 digits separated by ":", the last one
// possibly a dotted IPv4 address (two groups). False when malformed.
bool ParseGroups(std::string_view text, bool mayEndInIpv4, std::vector<std::uint16_t>& out) {
  if (text.empty()) return true;
  for (;;) {
    const auto colon = text.find(':');
    const std::string_view group = text.substr(0, colon);
    if (colon == std::string_view::npos && mayEndInIpv4 &&
        group.find('.') != std::string_view::npos) {
      const auto v4 = ParseIpv4(group);
      if (!v4) return false;
      out.push_back(static_cast<std::uint16_t>((*v4)[0] << 8 | (*v4)[1]));
      out.push_back(static_cast<std::uint16_t>((*v4)[2] << 8 | (*v4)[3]));
      return true;
    }
    if (group.empty() || group.size() > 4) return false;
    unsigned value = 0;
    for (const char c : group) {
      const int digit = HexValue(c);
      if (digit < 0) return false;
      value = value << 4 | static_cast<unsigned>(digit);
    }
    out.push_back(static_cast<std::uint16_t>(value));
    if (out.size() > 8) return false;
    if (colon == std::string_view::npos) return true;
    text = text.substr(colon + 1);
  }
}

std::optional<std::array<std::uint8_t, 16>> ParseIpv6(std::string_view text) {
  std::vector<std::uint16_t> head;
  std::vector<std::uint16_t> tail;
  const auto gap = text.find("::");
  if (gap == std::string_view::npos) {
    if (!ParseGroups(text, true, head) || head.size() != 8) return std::nullopt;
  } else {
    const std::string_view after = text.substr(gap + 2);
    if (after.find("::") != std::string_view::npos) return std::nullopt;
    if (!ParseGroups(text.substr(0, gap), false, head) || !ParseGroups(after, true, tail))
      return std::nullopt;
    // "::" stands for at least one group of zeros.
    if (head.size() + tail.size() > 7) return std::nullopt;
  }
  std::array<std::uint8_t, 16> out{};
  for (std::size_t i = 0; i < head.size(); ++i) {
    out[2 * i] = static_cast<std::uint8_t>(head[i] >> 8);
    out[2 * i + 1] = static_cast<std::uint8_t>(head[i] & 0xff);
  }
  const std::size_t start = 8 - tail.size();
  for (std::size_t i = 0; i < tail.size(); ++i) {
    out[2 * (start + i)] = static_cast<std::uint8_t>(tail[i] >> 8);
    out[2 * (start + i) + 1] = static_cast<std::uint8_t>(tail[i] & 0xff);
  }
  return out;
}

bool IsUserNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '@' ||
         c == '+' || c == '-';
}

bool ValidUserName(std::string_view name) {
  return !name.empty() && name.size() <= kUserNameLimit &&
         std::all_of(name.begin(), name.end(), IsUserNameCharacter);
}

// A domain as senders give it: dot-separated labels of letters, digits, '-' and '_', or an
// address literal in brackets.
bool ValidDomain(std::string_view domain) {
  if (domain.empty()) return false;
  if (domain.front() == '[') {
    if (domain.back() != ']' || domain.size() < 3) return false;
    return std::all_of(domain.begin() + 1, domain.end() - 1, [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == ':' || c == '-';
    });
  }
  if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string_view::npos)
    return false;
  return std::all_of(domain.begin(), domain.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
  });
}

// A local part as written in the list: printable, no blank, bracket, comma or "@".
bool ValidLocalPart(std::string_view local) {
  return !local.empty() && std::all_of(local.begin(), local.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != '@' && c != '<' && c != '>' && c != ',';
  });
}

std::string Quoted(std::string_view entry) {
  std::string text(entry.substr(0, kLoggedEntryLimit));
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f) c = '?';
  }
  return "\"" + text + (entry.size() > kLoggedEntryLimit ? "...\"" : "\"");
}

}  // namespace

std::optional<std::array<std::uint8_t, 16>> ParseIpAddress(std::string_view text) {
  if (text.find(':') != std::string_view::npos) return ParseIpv6(text);
  const auto v4 = ParseIpv4(text);
  if (!v4) return std::nullopt;
  std::array<std::uint8_t, 16> out{};
  std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), out.begin());
  std::copy(v4->begin(), v4->end(), out.begin() + 12);
  return out;
}

std::optional<NetworkRule> ParseNetworkRule(std::string_view entry) {
  const auto slash = entry.find('/');
  const std::string_view host = entry.substr(0, slash);
  const bool v6 = host.find(':') != std::string_view::npos;
  NetworkRule rule;
  const auto address = ParseIpAddress(host);
  if (!address) return std::nullopt;
  rule.address = *address;
  rule.prefix = 128;
  if (slash != std::string_view::npos) {
    const auto prefix = ParseDecimal(entry.substr(slash + 1), v6 ? 128 : 32);
    if (!prefix) return std::nullopt;
    rule.prefix = v6 ? *prefix : *prefix + 96;
  }
  // Host bits written after the network ("192.0.2.7/24") are dropped: the network is meant.
  for (int bit = rule.prefix; bit < 128; ++bit)
    rule.address[static_cast<std::size_t>(bit / 8)] &=
        static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
  return rule;
}

bool NetworkContains(const NetworkRule& rule, const std::array<std::uint8_t, 16>& address) {
  for (int bit = 0; bit < rule.prefix; ++bit) {
    const auto byte = static_cast<std::size_t>(bit / 8);
    const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
    if ((rule.address[byte] & mask) != (address[byte] & mask)) return false;
  }
  return true;
}

std::optional<SenderRule> ParseSenderRule(std::string_view entry) {
  if (entry.empty() || entry.size() > kEntryLimit) return std::nullopt;
  SenderRule rule;
  if (const auto colon = entry.find(':'); colon != std::string_view::npos) {
    rule.user = std::string(entry.substr(0, colon));
    if (!ValidUserName(rule.user)) return std::nullopt;
    entry = entry.substr(colon + 1);
  }
  const auto at = entry.rfind('@');
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view local = entry.substr(0, at);
  const std::string_view domain = entry.substr(at + 1);
  if (!ValidDomain(domain) || (!local.empty() && !ValidLocalPart(local))) return std::nullopt;
  rule.local = LowerAscii(local);
  rule.domain = LowerAscii(domain);
  return rule;
}

bool SenderMatches(const SenderRule& rule, std::string_view sender) {
  const auto at = sender.rfind('@');
  if (at == std::string_view::npos) return false;
  if (!EqualsNoCase(sender.substr(at + 1), rule.domain)) return false;
  return rule.local.empty() || EqualsNoCase(sender.substr(0, at), rule.local);
}

std::vector<std::string_view> SplitList(std::string_view text) {
  constexpr std::string_view kSeparators = ", \t\r\n";
  std::vector<std::string_view> entries;
  std::size_t position = 0;
  while (position < text.size()) {
    const auto start = text.find_first_not_of(kSeparators, position);
    if (start == std::string_view::npos) break;
    const auto end = text.find_first_of(kSeparators, start);
    entries.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    position = end == std::string_view::npos ? text.size() : end;
  }
  return entries;
}

SenderPolicy::SenderPolicy(std::string_view networks, std::string_view senders,
                           std::vector<std::string>* problems) {
  const auto report = [problems](std::string line) {
    if (problems) problems->push_back(std::move(line));
  };
  const auto networkEntries = SplitList(networks);
  m_networksSet = !networkEntries.empty();
  for (const std::string_view entry : networkEntries) {
    if (const auto rule = ParseNetworkRule(entry))
      m_networks.push_back(*rule);
    else
      report("SMTPIn- AllowedNetworks: malformed entry skipped: " + Quoted(entry));
  }
  if (m_networksSet && m_networks.empty())
    report(
        "SMTPIn- AllowedNetworks: no valid entry, every client that has not authenticated is "
        "refused");
  const auto senderEntries = SplitList(senders);
  m_sendersSet = !senderEntries.empty();
  for (const std::string_view entry : senderEntries) {
    if (const auto rule = ParseSenderRule(entry))
      m_senders.push_back(*rule);
    else
      report("SMTPIn- AllowedSenders: malformed entry skipped: " + Quoted(entry));
  }
  if (m_sendersSet && m_senders.empty())
    report("SMTPIn- AllowedSenders: no valid entry, every sender is refused");
}

SenderPolicy::Verdict SenderPolicy::Check(std::string_view client,
                                          const std::optional<std::string>& sender,
                                          const std::optional<std::string>& authUser) const {
  if (m_networksSet && !authUser) {
    const auto address = ParseIpAddress(client);
    const bool inside =
        address && std::any_of(m_networks.begin(), m_networks.end(), [&](const NetworkRule& rule) {
          return NetworkContains(rule, *address);
        });
    if (!inside) return Verdict::NotInNetworks;
  }
  if (!m_sendersSet) return Verdict::Allowed;
  if (!sender || sender->empty()) return Verdict::NotInSenders;
  // A list left without a valid entry refuses everyone, not no one.
  if (m_senders.empty()) return Verdict::NotInSenders;
  bool anyApplies = false;
  for (const SenderRule& rule : m_senders) {
    if (!rule.user.empty() && (!authUser || rule.user != *authUser)) continue;
    anyApplies = true;
    if (SenderMatches(rule, *sender)) return Verdict::Allowed;
  }
  return anyApplies ? Verdict::NotInSenders : Verdict::Allowed;
}

std::optional<std::string_view> SenderPolicy::Refusal(
    std::string_view client, std::string_view mailArgument,
    const std::optional<std::string>& authUser) const {
  if (!Active()) return std::nullopt;
  std::optional<std::string> sender;
  if (const auto path = ParseMailPath(mailArgument, "FROM")) sender = path->address;
  const Verdict verdict = Check(client, sender, authUser);
  if (verdict == Verdict::Allowed) return std::nullopt;
  const bool network = verdict == Verdict::NotInNetworks;
  // The argument is a command line's, free of control characters and at most 100 bytes.
  const std::string text = "client " + std::string(client) + ", sender " +
                           std::string(mailArgument) +
                           (network ? ": not in AllowedNetworks" : ": not in AllowedSenders");
  LogMessageText("SMTPIn- MAIL refused, ", text, kTag, __LINE__);
  LogMessageText2("SMTPIn- MAIL refused, ", text, kTag, __LINE__);
  return network ? std::string_view(kNetworkRefused) : std::string_view(kSenderRefused);
}

}  // namespace faxmail
