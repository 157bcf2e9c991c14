#include "gateway/decode/recipients.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "base/text.h"
#include "gateway/service/log.h"

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
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else
      continue;  // CR, LF and anything outside the alphabet
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xff));
    }
  }
  return out;
}

// Starts ("=?") of one subject that are looked at as possible encoded words, good or not: the
// search for a word's end is bounded by kMaxEncodedWordLength, so the whole scan is bounded.
constexpr std::size_t kMaxEncodedWordTries = 1000;
// Longest encoded word taken. Words should be at most 75 characters; some mailers write
// longer ones, and none needs this many.
constexpr std::size_t kMaxEncodedWordLength = 1000;

bool IsLinearWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsWordChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7f;
}

struct EncodedWord {
  std::size_t end = 0;  // just after its "?="
  std::string decoded;
};

// The encoded word "=?" charset "?" Q-or-B "?" encoded-text "?=" that begins at at; none when
// the text there is not one (white space or a control character inside, no end, no charset,
// another encoding letter, longer than kMaxEncodedWordLength).
std::optional<EncodedWord> ParseEncodedWord(std::string_view text, std::size_t at) {
  const std::string_view word = text.substr(at, kMaxEncodedWordLength);
  if (!word.starts_with("=?")) return std::nullopt;
  std::size_t i = 2;
  while (i < word.size() && word[i] != '?' && IsWordChar(word[i])) ++i;
  if (i == 2 || i + 2 >= word.size() || word[i] != '?' || word[i + 2] != '?') return std::nullopt;
  const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(word[i + 1])));
  if (encoding != 'Q' && encoding != 'B') return std::nullopt;
  // The encoded text runs to the first "?=" after the encoding's '?', so that a Q text that
  // begins with '=' is not cut there.
  const std::size_t textStart = i + 3;
  std::size_t j = textStart;
  while (j + 1 < word.size() && !(word[j] == '?' && word[j + 1] == '=')) {
    if (!IsWordChar(word[j])) return std::nullopt;
    ++j;
  }
  if (j + 1 >= word.size()) return std::nullopt;
  const std::string_view encoded = word.substr(textStart, j - textStart);
  return EncodedWord{at + j + 2, encoding == 'Q' ? DecodeQ(encoded) : DecodeB(encoded)};
}

bool IsBlankText(std::string_view text) {
  return text.find_first_not_of(kBlanks) == std::string_view::npos;
}

// The end of the header field whose value begins at valueStart: the LF that begins the next
// header line (a line that does not start with a blank or TAB), or the end of the block. No
// value ever runs past it, whatever the lines that follow hold.
std::size_t FieldEnd(std::string_view block, std::size_t valueStart) {
  for (auto lf = block.find('\n', valueStart); lf != std::string_view::npos;
       lf = block.find('\n', lf + 1))
    if (lf + 1 >= block.size() || (block[lf + 1] != ' ' && block[lf + 1] != '\t')) return lf;
  return block.size();
}

// The pieces of a To or Cc value that are matched one by one: the value split at every ','
// (quotes and angle brackets do not protect one). Group syntax ("name: a@b, c@d;") gives its
// members without the group's name and ';' - none for an empty group; a source route
// ("<@relay,@other:a@b>") gives its final address. A colon in quotes, in a comment or in
// angle brackets begins no group.
std::vector<std::string> AddressPieces(std::string_view value) {
  std::vector<std::string> pieces;
  std::string piece;
  bool quoted = false;
  std::size_t comments = 0;  // depth of nested parenthesised comments
  bool angle = false;
  bool inGroup = false;
  // The piece began in a group or right after one: blank, it is only group syntax.
  bool groupPiece = false;
  const auto push = [&] {
    if (!(groupPiece && IsBlankText(piece))) pieces.push_back(std::move(piece));
    piece.clear();
    groupPiece = inGroup;
  };
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == ',') {
      push();
      continue;
    }
    if (quoted) {
      if (c == '\\' && i + 1 < value.size() && value[i + 1] != ',') {
        piece.push_back(c);
        piece.push_back(value[++i]);
        continue;
      }
      if (c == '"') quoted = false;
    } else if (comments > 0) {
      if (c == '(') ++comments;
      if (c == ')') --comments;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      comments = 1;
    } else if (c == '<') {
      angle = true;
      piece.push_back(c);
      // A source route: the relays up to its ':' are dropped, the final address stays. The
      // look-ahead stops at the next bracket, so no character is looked at twice over.
      std::size_t j = i + 1;
      while (j < value.size() && std::string_view(kBlanks).find(value[j]) != std::string_view::npos)
        ++j;
      if (j < value.size() && value[j] == '@') {
        while (j < value.size() && value[j] != ':' && value[j] != '>' && value[j] != '<') ++j;
        if (j < value.size() && value[j] == ':') i = j;
      }
      continue;
    } else if (c == '>') {
      angle = false;
    } else if (c == ':' && !angle && !inGroup) {
      piece.clear();  // the group's name
      inGroup = true;
      groupPiece = true;
      continue;
    } else if (c == ';' && !angle && inGroup) {
      inGroup = false;
      push();
      groupPiece = true;
      continue;
    }
    piece.push_back(c);
  }
  push();
  return pieces;
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
  if (const auto q = FindNoCase(word, "?Q?", 2);
      q != std::string_view::npos && word.size() - q >= 3) {
    decoded = DecodeQ(word.substr(q + 3));
  } else if (const auto b = FindNoCase(word, "?B?", 2);
             b != std::string_view::npos && word.size() - b >= 3) {
    decoded = DecodeB(word.substr(b + 3));
  } else {
    return;  // an unknown encoding is left as it is
  }
  text = prefix + decoded + suffix;
}

void DecodeEncodedWords(std::string& text) {
  if (text.size() >= 2 && text[text.size() - 2] == '\r') text.resize(text.size() - 2);
  if (text.find("=?") == std::string::npos) return;
  std::size_t words = 0;
  std::size_t tries = 0;
  const auto word = [&](std::size_t at) -> std::optional<EncodedWord> {
    if (words >= kMaxEncodedWords || tries >= kMaxEncodedWordTries) return std::nullopt;
    if (text.compare(at, 2, "=?") != 0) return std::nullopt;
    ++tries;
    return ParseEncodedWord(text, at);
  };
  // Whether a word at at would be decoded; counts no try (the word itself counts when taken).
  const auto wordAhead = [&](std::size_t at) {
    return words < kMaxEncodedWords && tries < kMaxEncodedWordTries &&
           ParseEncodedWord(text, at).has_value();
  };
  std::string out;
  out.reserve(text.size());
  bool afterWord = false;
  std::size_t i = 0;
  while (i < text.size()) {
    if (auto decoded = word(i)) {
      out += decoded->decoded;
      i = decoded->end;
      ++words;
      afterWord = true;
      continue;
    }
    if (afterWord && IsLinearWhite(text[i])) {
      std::size_t next = i;
      while (next < text.size() && IsLinearWhite(text[next])) ++next;
      // White space between two encoded words only separates them: it is not part of the text.
      if (next < text.size() && wordAhead(next)) {
        i = next;
        continue;
      }
      out.append(text, i, next - i);
      i = next;
      afterWord = false;
      continue;
    }
    out.push_back(text[i]);
    afterWord = false;
    ++i;
  }
  text = std::move(out);
}

std::string StripControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\t')
      out.push_back(' ');
    else if (u >= 0x20 && u != 0x7f)
      out.push_back(c);
  }
  return out;
}

MatchBudget::~MatchBudget() {
  if (m_piecesLeftOut > 0)
    LogMessage("DECODE - Address list too long, address pieces not matched: " +
                   std::to_string(m_piecesLeftOut),
               kTag, __LINE__);
  if (m_linesLeftOut > 0)
    LogMessage(
        "DECODE - Recipient matching: further lines not logged: " + std::to_string(m_linesLeftOut),
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
                         MatchBudget* budget, bool overrideAddressCheck) {
  // Each line is built only when it is written.
  const auto log = [budget](auto&& write) {
    if (budget == nullptr || budget->Line()) write();
  };
  log([] { LogMessage("GetDetailsEx() called", kTag, __LINE__); });
  bool accepted = false;
  bool compared = false;
  std::string lastEntry;
  if (envelope.empty()) {
    log([&] {
      LogMessageText("Empty prList - Check for fax number in ", candidate, kTag, __LINE__);
    });
    accepted = IsFaxNumber(candidate);
  } else {
    const std::string address = ExtractEmailAddress(candidate);
    for (const std::string& text : envelope) {
      const std::string_view entry =
          Trim(text.size() > 3 ? std::string_view(text).substr(3) : std::string_view(), " ");
      if (entry.empty()) {
        log([&] {
          LogMessageText("Empty prList entry - Check for fax number in ", candidate, kTag,
                         __LINE__);
        });
        accepted = IsFaxNumber(candidate);
        break;
      }
      log([&] { LogMessageText("Recipient in header list: ", entry, kTag, __LINE__); });
      log([&] { LogMessageText("Recipient in str: ", candidate, kTag, __LINE__); });
      lastEntry = ExtractEmailAddress(entry);
      compared = true;
      log([&] {
        LogMessageText("Recipient in header list after EEA: ", lastEntry, kTag, __LINE__);
      });
      log([&] { LogMessageText("Recipient in str after EEA: ", address, kTag, __LINE__); });
      if (EqualsNoCase(lastEntry, address)) {
        accepted = true;
        break;
      }
    }
  }
  std::string result;
  if (overrideAddressCheck || accepted) {
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
                       std::vector<std::string>& recipients, MatchBudget* budget,
                       bool overrideAddressCheck) {
  std::vector<std::string> pieces = AddressPieces(value);
  const std::size_t allowed = budget != nullptr ? budget->Pieces(pieces.size()) : pieces.size();
  pieces.resize(allowed);
  // Every piece is taken whole, however long: cutting it would change the address.
  for (std::string& piece : pieces) {
    if (const auto lf = piece.find('\n'); lf != std::string::npos) piece[lf] = ' ';
    if (const auto tab = piece.find('\t'); tab != std::string::npos) piece[tab] = ' ';
    const std::string accepted = GetDetailsEx(envelope, piece, budget, overrideAddressCheck);
    if (!accepted.empty()) recipients.push_back(FormatRecipient(accepted, true));
  }
}

std::string FormatEnvelopeLines(std::string sender, std::vector<std::string> recipients,
                                std::string subject) {
  DecodeEncodedWords(subject);
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
  // The pending value is its own field only: the header lines between it and the header that
  // finishes it (Date, Message-ID ...) are no addresses.
  end = std::min(end, FieldEnd(block, pending.start));
  if (end < pending.start) return;
  ExtractRecipients(block.substr(pending.start, end - pending.start), m_envelope, m_recipients,
                    &m_budget, m_overrideAddressCheck);
}

void HeaderScan::Address(Pending& pending, std::string_view block, std::size_t valueStart) {
  if (pending.set) {
    pending.start = valueStart;  // a later header of the same name takes over
    return;
  }
  const std::size_t fieldEnd = FieldEnd(block, valueStart);
  const auto colon = block.find(':', valueStart);
  if (colon == std::string_view::npos) {
    ExtractRecipients(block.substr(valueStart, fieldEnd - valueStart), m_envelope, m_recipients,
                      &m_budget, m_overrideAddressCheck);
    return;
  }
  const auto lf = block.rfind('\n', colon);
  if (lf != std::string_view::npos && lf >= valueStart) {
    ExtractRecipients(block.substr(valueStart, std::min(lf, fieldEnd) - valueStart), m_envelope,
                      m_recipients, &m_budget, m_overrideAddressCheck);
    return;
  }
  // The colon is on the value's own line (a display name with a colon, group syntax, a source
  // route): the value is finished by the next recognised header, and ends with its field.
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
  // A value still pending at the end of the block is finished there: its recipients are not
  // lost (and it still ends with its own field).
  Finish(m_to, block, block.size());
  Finish(m_cc, block, block.size());
  return !m_sender.empty() || !m_recipients.empty();
}

}  // namespace faxmail::decode
