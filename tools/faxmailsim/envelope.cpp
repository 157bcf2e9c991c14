#include "tools/faxmailsim/envelope.h"

#include <cstdint>

#include "base/text.h"

namespace faxmail::sim {
namespace {

constexpr std::string_view kBlanks = " \t";

bool Printable(std::string_view text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

std::string Shown(std::string_view text) {
  constexpr std::size_t kShownBytes = 60;  // enough to find the line in the file
  std::string shown;
  for (const char c : text.substr(0, kShownBytes)) {
    const auto u = static_cast<unsigned char>(c);
    shown += (u < 0x20 || u >= 0x7f) ? '?' : c;
  }
  if (text.size() > kShownBytes) shown += "...";
  return shown;
}

// A "<<...>>" line's inside, or nothing.
bool Bracketed(std::string_view line, std::string_view& inside) {
  if (line.size() < 4 || !line.starts_with("<<") || !line.ends_with(">>")) return false;
  inside = line.substr(2, line.size() - 4);
  return true;
}

struct Group {
  std::string sender;
  bool hasSubject = false;
  std::string subject;
  std::size_t firstRecipient = 0;
};

enum class Phase { Header, BeforeBody, BodyName, BodyEnd, AfterBody, Attachments, Done };

}  // namespace

std::string ExtractAddress(std::string_view text) {
  const auto open = text.rfind('<');
  if (open == std::string_view::npos) return std::string(Trim(text, kBlanks));
  const auto close = text.find('>', open + 1);
  const auto end = close == std::string_view::npos ? text.size() : close;
  return std::string(Trim(text.substr(open + 1, end - open - 1), kBlanks));
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name.size() > kMaxStoredName || name.front() == '.') return false;
  if (name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos)
    return false;
  return Printable(name);
}

bool IsFaxNumber(std::string_view number) {
  std::size_t digits = 0;
  for (const char c : number) {
    if (c == '+' || c == '-') continue;
    if (c < '0' || c > '9') return false;
    ++digits;
  }
  return digits > 0 && digits <= kMaxNumberDigits;
}

std::string NormalNumber(std::string_view number) {
  std::string normal;
  for (const char c : Trim(number, kBlanks))
    if (c != '+' && c != '-' && c != ' ' && c != '(' && c != ')') normal += c;
  return normal;
}

std::string ParseEnvelope(std::string_view text, Envelope& out) {
  out = Envelope{};
  if (text.size() > kMaxEnvelopeBytes)
    return "larger than " + std::to_string(kMaxEnvelopeBytes) + " bytes";
  std::vector<Group> groups;
  Phase phase = Phase::Header;
  std::size_t number = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto lf = text.find('\n', at);
    const auto end = lf == std::string_view::npos ? text.size() : lf;
    std::string_view line = text.substr(at, end - at);
    at = lf == std::string_view::npos ? text.size() : lf + 1;
    ++number;
    const std::string where = "line " + std::to_string(number);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.size() > kMaxEnvelopeLine)
      return where + " is longer than " + std::to_string(kMaxEnvelopeLine) + " bytes";
    if (!Printable(line) && line.find('\0') != std::string_view::npos)
      return where + " holds a zero byte";
    const bool empty = line.empty();

    switch (phase) {
      case Phase::Header:
        if (empty) {
          phase = Phase::BeforeBody;
        } else if (line.starts_with("FROM:")) {
          Group group;
          group.sender = ExtractAddress(line.substr(5));
          group.firstRecipient = out.recipients.size();
          if (group.sender.empty()) return where + ": FROM line without an address";
          if (group.sender.size() > kMaxAddress || !Printable(group.sender) ||
              group.sender.find_first_of(" <>") != std::string::npos)
            return where + ": not a usable sender address: " + Shown(group.sender);
          groups.push_back(std::move(group));
        } else if (line.starts_with("TO:")) {
          if (groups.empty()) return where + ": TO line before any FROM line";
          if (out.recipients.size() == kMaxRecipients)
            return "more than " + std::to_string(kMaxRecipients) + " recipients";
          Recipient recipient;
          recipient.line = std::string(Trim(line.substr(3), kBlanks));
          recipient.address = ExtractAddress(recipient.line);
          if (recipient.address.empty()) return where + ": TO line without an address";
          const auto atSign = recipient.address.find('@');
          recipient.number = atSign == std::string::npos || atSign == 0
                                 ? recipient.address
                                 : recipient.address.substr(0, atSign);
          recipient.numeric = IsFaxNumber(recipient.number);
          out.recipients.push_back(std::move(recipient));
        } else if (line.starts_with("SUBJECT:")) {
          if (groups.empty()) return where + ": SUBJECT line before any FROM line";
          groups.back().hasSubject = true;
          groups.back().subject = std::string(TrimLeft(line.substr(8), " "));
        } else {
          return where + ": not a header line of an envelope: " + Shown(line);
        }
        break;
      case Phase::BeforeBody:
        if (empty) break;
        if (line != "BEGIN BODY") return where + ": BEGIN BODY expected: " + Shown(line);
        phase = Phase::BodyName;
        break;
      case Phase::BodyName: {
        std::string_view inside;
        if (!Bracketed(line, inside))
          return where + ": the message text file's line expected: " + Shown(line);
        if (!IsPlainFileName(inside))
          return where + ": not a plain file name in OUT: " + Shown(inside);
        out.bodyName = std::string(inside);
        phase = Phase::BodyEnd;
        break;
      }
      case Phase::BodyEnd:
        if (line != "END BODY") return where + ": END BODY expected: " + Shown(line);
        phase = Phase::AfterBody;
        break;
      case Phase::AfterBody:
        if (empty) break;
        if (line != "BEGIN ATTACH") return where + ": BEGIN ATTACH expected: " + Shown(line);
        phase = Phase::Attachments;
        break;
      case Phase::Attachments: {
        if (line == "END ATTACH") {
          phase = Phase::Done;
          break;
        }
        std::string_view inside;
        const auto colon = line.find(':');
        if (!Bracketed(line, inside) || colon == std::string_view::npos)
          return where + ": an attachment line expected: " + Shown(line);
        if (out.attachments.size() == kMaxAttachments)
          return "more than " + std::to_string(kMaxAttachments) + " attachments";
        // The stored name begins after the line's first colon, as the gateway writes it.
        const std::string_view shown = inside.substr(0, colon - 2);
        const std::string_view stored = inside.substr(colon - 1);
        if (!IsPlainFileName(stored))
          return where + ": not a plain file name in OUT: " + Shown(stored);
        out.attachments.push_back({std::string(shown), std::string(stored)});
        break;
      }
      case Phase::Done:
        if (!empty) return where + ": text after END ATTACH: " + Shown(line);
        break;
    }
  }
  if (phase == Phase::Header || phase == Phase::BeforeBody || phase == Phase::BodyName)
    return "no message text section";
  if (phase == Phase::BodyEnd) return "no END BODY line";
  if (phase == Phase::Attachments) return "no END ATTACH line";
  if (groups.empty()) return "no FROM line: nobody to tell of the fax";
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const std::size_t next =
        g + 1 < groups.size() ? groups[g + 1].firstRecipient : out.recipients.size();
    if (next == groups[g].firstRecipient)
      return "no TO line for the sender " + Shown(groups[g].sender);
    if (!groups[g].hasSubject) return "no SUBJECT line for the sender " + Shown(groups[g].sender);
    for (std::size_t r = groups[g].firstRecipient; r < next; ++r) {
      out.recipients[r].sender = groups[g].sender;
      out.recipients[r].subject = groups[g].subject;
    }
  }
  return {};
}

}  // namespace faxmail::sim
