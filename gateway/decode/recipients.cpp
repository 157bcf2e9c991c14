#include "gateway/decode/recipients.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "common/text.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"

namespace faxmail::decode {

namespace {

constexpr char kTag[] = "DECODE";
constexpr char kBlanks[] = " \t\n\v\f\r";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string DecodeQ(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      out.push_back(' ');
    } else if (c == '=') {
      if (i + 2 >= text.size()) break;  // '=' among the last two characters
      const int hi = HexValue(text[i + 1]);
      const int lo = HexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
      } else if (text[i + 1] == '\r' && text[i + 2] == '\n') {
        i += 2;
      }
      // Any other '=' is dropped; what follows is taken as it is.
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string DecodeB(std::string_view text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') break;
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else continue;  // CR, LF and anything outside the alphabet
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xff));
    }
  }
  return out;
}

}  // namespace

std::string ExtractEmailAddress(std::string_view text) {
  std::string_view result = text;
  const auto lt = text.rfind('<');
  if (lt != std::string_view::npos) {
    const auto gt = text.find('>', lt);
    result = gt == std::string_view::npos ? text.substr(lt + 1) : text.substr(lt + 1, gt - lt - 1);
  } else if (const auto quote = text.rfind('"'); quote != std::string_view::npos) {
    result = text.substr(quote);
  }
  result = Trim(result, kBlanks);
  result = Trim(result, "<");
  result = Trim(result, ">");
  return std::string(result);
}

std::string LocalPart(std::string_view text) {
  std::string address = ExtractEmailAddress(text);
  if (address.find('@', 1) != std::string::npos) address.resize(address.find('@'));
  return address;
}

bool IsFaxNumber(std::string_view text) {
  for (const char c : LocalPart(text)) {
    if (c == '+' || c == '-') continue;
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string FormatRecipient(std::string_view text, bool withName) {
  const std::string address = ExtractEmailAddress(text);
  if (!withName) return "<" + address + ">";
  const auto lt = text.find('<');
  std::string name;
  if (lt == std::string_view::npos || lt == 0) {
    name = LocalPart(text);
  } else {
    for (const char c : text.substr(0, lt - 1))
      if (c != '@' && c != '"') name.push_back(c);
    name = std::string(Trim(name, kBlanks));
    if (name.empty()) name = LocalPart(text);
  }
  return "\"" + name + "\" <" + address + ">";
}

std::string UnfoldValue(std::string_view text) {
  std::string value(text);
  if (value.empty() || value.front() == '\n') return value;
  std::size_t from = 0;
  for (;;) {
    const auto lf = value.find('\n', from);
    if (lf == std::string::npos) return value;
    if (lf + 1 < value.size() && value[lf + 1] == '\t') {
      value.erase(lf, 2);
    } else if (lf + 1 < value.size() && value[lf + 1] == ' ') {
      // A folded line continues after its blank; cutting here would lose the rest.
      value.erase(lf, 1);
    } else {
      value.resize(lf);
      return value;
    }
    from = lf;
  }
}

void DecodeEncodedWord(std::string& text) {
  if (text.size() >= 2 && text[text.size() - 2] == '\r') text.resize(text.size() - 2);
  std::size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return;
  const auto open = text.find("=?", start);
  if (open == std::string::npos) return;
  const std::string prefix = text.substr(0, open);
  const std::string_view rest = std::string_view(text).substr(open);
  // The word ends at the first "?=" behind a "Q?=" (a Q text may begin with '='), else at the
  // first "?=" behind the opening "=?".
  std::size_t end = std::string_view::npos;
  if (const auto q = FindNoCase(rest, "Q?=", 2); q != std::string_view::npos)
    end = rest.find("?=", q + 3);
  if (end == std::string_view::npos) end = rest.find("?=", 2);
  if (end == std::string_view::npos) return;
  const std::string_view word = rest.substr(0, end);
  const std::string suffix(rest.substr(end + 2));
  std::string decoded;
  if (const auto q = FindNoCase(word, "?Q?", 2); q != std::string_view::npos && word.size() - q >= 3) {
    decoded = DecodeQ(word.substr(q + 3));
  } else if (const auto b = FindNoCase(word, "?B?", 2); b != std::string_view::npos && word.size() - b >= 3) {
    decoded = DecodeB(word.substr(b + 3));
  } else {
    return;  // an unknown encoding is left as it is
  }
  text = prefix + decoded + suffix;
}

std::string StripControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\t') out.push_back(' ');
    else if (u >= 0x20 && u != 0x7f) out.push_back(c);
  }
  return out;
}

MatchBudget::~MatchBudget() {
  if (m_piecesLeftOut > 0)
    LogMessage("DECODE - Address list too long, address pieces not matched: " +
                   std::to_string(m_piecesLeftOut),
               kTag, __LINE__);
  if (m_linesLeftOut > 0)
    LogMessage("DECODE - Recipient matching: further lines not logged: " +
                   std::to_string(m_linesLeftOut),
               kTag, __LINE__);
}

bool MatchBudget::Line() {
  if (m_lines < kMaxMatchLogLines) {
    ++m_lines;
    return true;
  }
  ++m_linesLeftOut;
  return false;
}

std::size_t MatchBudget::Pieces(std::size_t count) {
  const std::size_t allowed = std::min(count, kMaxAddressPieces - m_pieces);
  m_pieces += allowed;
  m_piecesLeftOut += count - allowed;
  return allowed;
}

std::string GetDetailsEx(const EnvelopeList& envelope, std::string_view candidate,
                         MatchBudget* budget) {
  // Each line is built only when it is written.
  const auto log = [budget](auto&& write) {
    if (budget == nullptr || budget->Line()) write();
  };
  log([] { LogMessage("GetDetailsEx() called", kTag, __LINE__); });
  bool accepted = false;
  bool compared = false;
  std::string lastEntry;
  if (envelope.empty()) {
    log([&] { LogMessageText("Empty prList - Check for fax number in ", candidate, kTag, __LINE__); });
    accepted = IsFaxNumber(candidate);
  } else {
    const std::string address = ExtractEmailAddress(candidate);
    for (const std::string& text : envelope) {
      const std::string_view entry =
          Trim(text.size() > 3 ? std::string_view(text).substr(3) : std::string_view(), " ");
      if (entry.empty()) {
        log([&] {
          LogMessageText("Empty prList entry - Check for fax number in ", candidate, kTag, __LINE__);
        });
        accepted = IsFaxNumber(candidate);
        break;
      }
      log([&] { LogMessageText("Recipient in header list: ", entry, kTag, __LINE__); });
      log([&] { LogMessageText("Recipient in str: ", candidate, kTag, __LINE__); });
      lastEntry = ExtractEmailAddress(entry);
      compared = true;
      log([&] { LogMessageText("Recipient in header list after EEA: ", lastEntry, kTag, __LINE__); });
      log([&] { LogMessageText("Recipient in str after EEA: ", address, kTag, __LINE__); });
      if (EqualsNoCase(lastEntry, address)) {
        accepted = true;
        break;
      }
    }
  }
  std::string result;
  if (OverrideAddressCheck() || accepted) {
    log([&] { LogMessageText("CV Recipient - ", lastEntry, kTag, __LINE__); });
    result = std::string(candidate);
  } else {
    log([&] {
      const std::string shown = compared ? ExtractEmailAddress(candidate) : std::string(candidate);
      LogMessage("Not a CV recipient (" + shown + ")", kTag, __LINE__);
    });
  }
  log([] { LogMessage("End of GetDetailsEx()", kTag, __LINE__); });
  return result;
}

void ExtractRecipients(std::string_view value, const EnvelopeList& envelope,
                       std::vector<std::string>& recipients, MatchBudget* budget) {
  std::size_t pieces = static_cast<std::size_t>(std::count(value.begin(), value.end(), ',')) + 1;
  if (budget != nullptr) pieces = budget->Pieces(pieces);
  std::size_t start = 0;
  for (; pieces > 0; --pieces) {
    const auto comma = value.find(',', start);
    // Every piece is taken whole, however long: cutting it would change the address.
    std::string piece(value.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (const auto lf = piece.find('\n'); lf != std::string::npos) piece[lf] = ' ';
    if (const auto tab = piece.find('\t'); tab != std::string::npos) piece[tab] = ' ';
    const std::string accepted = GetDetailsEx(envelope, piece, budget);
    if (!accepted.empty()) recipients.push_back(FormatRecipient(accepted, true));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
}

std::string FormatEnvelopeLines(std::string sender, std::vector<std::string> recipients,
                                std::string subject) {
  DecodeEncodedWord(subject);
  DecodeEncodedWord(sender);
  for (auto& r : recipients) {
    DecodeEncodedWord(r);
    r = StripControls(r);
  }
  std::string lines = "FROM: " + StripControls(FormatRecipient(sender, false)) + "\n";
  std::sort(recipients.begin(), recipients.end());
  recipients.erase(std::unique(recipients.begin(), recipients.end()), recipients.end());
  for (const auto& r : recipients) lines += "TO: " + r + "\n";
  lines += "SUBJECT: " + StripControls(subject) + "\n";
  return lines;
}

void HeaderScan::Begin() {
  m_sender.clear();
  m_subject.clear();
  m_recipients.clear();
  m_to = Pending();
  m_cc = Pending();
}

void HeaderScan::Finish(Pending& pending, std::string_view block, std::size_t end) {
  if (!pending.set) return;
  pending.set = false;
  if (end < pending.start) return;
  ExtractRecipients(block.substr(pending.start, end - pending.start), m_envelope, m_recipients,
                    &m_budget);
}

void HeaderScan::Address(Pending& pending, std::string_view block, std::size_t valueStart) {
  if (pending.set) {
    pending.start = valueStart;  // a later header of the same name takes over
    return;
  }
  const auto colon = block.find(':', valueStart);
  if (colon == std::string_view::npos) {
    ExtractRecipients(block.substr(valueStart), m_envelope, m_recipients, &m_budget);
    return;
  }
  const auto lf = block.rfind('\n', colon);
  if (lf != std::string_view::npos && lf >= valueStart) {
    ExtractRecipients(block.substr(valueStart, lf - valueStart), m_envelope, m_recipients,
                      &m_budget);
    return;
  }
  // The colon is on the value's own line (a display name with a colon): the value runs to the
  // next recognised header.
  pending.set = true;
  pending.start = valueStart;
}

void HeaderScan::Seen(HeaderKind kind, std::string_view block, std::size_t lineStart,
                      std::size_t valueStart) {
  switch (kind) {
    case HeaderKind::To:
      Finish(m_cc, block, lineStart);
      Address(m_to, block, valueStart);
      return;
    case HeaderKind::Cc:
      Finish(m_to, block, lineStart);
      Address(m_cc, block, valueStart);
      return;
    default: break;
  }
  Finish(m_to, block, lineStart);
  Finish(m_cc, block, lineStart);
  if (kind != HeaderKind::From && kind != HeaderKind::Subject) return;
  const auto at = SkipWhitespace(block, valueStart);
  if (!at) return;
  const std::string value = UnfoldValue(block.substr(*at));
  if (kind == HeaderKind::From)
    m_sender += value;
  else
    m_subject = value;
}

bool HeaderScan::End(std::string_view block) {
  // A value still pending at the end of the block runs to its end: its recipients are not lost.
  Finish(m_to, block, block.size());
  Finish(m_cc, block, block.size());
  return !m_sender.empty() || !m_recipients.empty();
}

}  // namespace faxmail::decode
