#include "platform/registry_format.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "base/text.h"
#include "platform/win_error.h"

namespace faxmail::platform::registry {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
// Hex lists are wrapped before this column, as the registry editor wraps them.
constexpr std::size_t kHexLineWidth = 76;
// What the format takes as blanks around its tokens.
constexpr std::string_view kBlanks = " \t";

// ---------------------------------------------------------------------------------------------
// Writing

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// A REG_SZ is written as "text" only when that gives back exactly its bytes: one terminating
// zero, no other zero, nothing that would break the line.
bool WritableAsText(const RegValue& value) {
  if (value.type != kRegSz || value.data.empty() || value.data.back() != std::byte{0}) return false;
  for (std::size_t i = 0; i + 1 < value.data.size(); ++i) {
    const auto c = static_cast<unsigned char>(value.data[i]);
    if (c == 0 || c == '\r' || c == '\n') return false;
  }
  return true;
}

void AppendValueLine(std::string& out, const RegValue& value) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::size_t lineStart = out.size();
  if (value.name.empty())
    out += '@';
  else
    AppendQuoted(out, value.name);
  out += '=';
  if (WritableAsText(value)) {
    AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                       value.data.size() - 1));
    out += '\n';
    return;
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<std::uint8_t>(value.data[i]);
    out += "dword:";
    for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(number >> shift) & 0xf];
    out += '\n';
    return;
  }
  if (value.type == kRegBinary) {
    out += "hex:";
  } else {
    out += "hex(";
    char digits[8];
    std::size_t n = 0;
    std::uint32_t type = value.type;
    do {
      digits[n++] = kHex[type & 0xf];
      type >>= 4;
    } while (type != 0);
    while (n > 0) out += digits[--n];
    out += "):";
  }
  std::size_t column = out.size() - lineStart;
  for (std::size_t i = 0; i < value.data.size(); ++i) {
    const auto b = static_cast<std::uint8_t>(value.data[i]);
    out += kHex[b >> 4];
    out += kHex[b & 0xf];
    column += 2;
    if (i + 1 < value.data.size()) {
      out += ',';
      ++column;
      if (column >= kHexLineWidth) {
        out += "\\\n  ";
        column = 2;
      }
    }
  }
  out += '\n';
}

// ---------------------------------------------------------------------------------------------
// Reading

class RegTextParser {
 public:
  RegTextParser(std::string_view text, Tree& tree, std::vector<Removal>* removals)
      : m_text(text), m_tree(tree), m_removals(removals) {}

  // Applies the whole text to the tree; on failure the tree may be partly changed and
  // Problem() tells the line and the reason.
  long Run() {
    std::string converted;
    if (m_text.size() >= 2 && m_text[0] == '\xff' && m_text[1] == '\xfe') {
      if (!FromUtf16(m_text.substr(2), converted))
        return Fail("UTF-16 text holds a character above U+00FF or is cut in half");
      m_text = converted;
    } else if (m_text.substr(0, 3) == "\xef\xbb\xbf") {
      m_text.remove_prefix(3);
    }
    std::string_view line;
    bool header = false;
    while (NextLine(line)) {
      const std::string_view t = Trim(line, kBlanks);
      if (t.empty()) continue;
      if (t == kHeader4) {
        header = true;
      } else if (t == kHeader5) {
        header = true;
        m_wideStrings = true;
      }
      break;
    }
    if (!header) {
      m_line = std::max<std::size_t>(m_line, 1);
      return Fail("the first line is not \"REGEDIT4\"");
    }
    while (NextLine(line)) {
      const std::string_view t = Trim(line, kBlanks);
      if (t.empty() || t.front() == ';') continue;
      long result = kErrorSuccess;
      if (t.front() == '[')
        result = Section(t);
      else if (t.front() == '"' || t.front() == '@')
        result = ValueLine(t);
      else
        result = Fail("expected [KEY], \"NAME\"=DATA, @=DATA or a ; comment");
      if (result != kErrorSuccess) return result;
    }
    return kErrorSuccess;
  }

  const std::string& Problem() const { return m_problem; }

 private:
  bool NextLine(std::string_view& line) {
    if (m_pos >= m_text.size()) return false;
    const std::size_t end = m_text.find('\n', m_pos);
    line =
        m_text.substr(m_pos, end == std::string_view::npos ? std::string_view::npos : end - m_pos);
    m_pos = end == std::string_view::npos ? m_text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++m_line;
    return true;
  }

  long Fail(std::string_view why) {
    m_problem = "line " + std::to_string(m_line) + ": " + std::string(why);
    return kErrorInvalidParameter;
  }

  static bool FromUtf16(std::string_view wide, std::string& out) {
    if (wide.size() % 2 != 0) return false;
    out.clear();
    out.reserve(wide.size() / 2);
    for (std::size_t i = 0; i < wide.size(); i += 2) {
      if (wide[i + 1] != '\0') return false;
      out += wide[i];
    }
    return true;
  }

  long Section(std::string_view t) {
    if (t.back() != ']') return Fail("a key section ends with ]");
    std::string_view path = t.substr(1, t.size() - 2);
    const bool remove = !path.empty() && path.front() == '-';
    if (remove) path.remove_prefix(1);
    const std::optional<std::string_view> subPath = KeyPathOf(path);
    if (!subPath) return Fail("only keys under HKEY_LOCAL_MACHINE are stored");
    std::vector<std::string_view> names;
    if (!SplitKeyPath(*subPath, names)) return Fail("bad key name (empty, too long or too deep)");
    m_key = nullptr;
    m_keyPath = std::string(*subPath);
    if (remove) {
      if (names.empty()) return Fail("the hive's root cannot be deleted");
      m_tree.DeleteTree(names);
      if (m_removals) m_removals->push_back(Removal{m_keyPath, std::nullopt});
      return kErrorSuccess;
    }
    if (m_tree.Create(names, m_key, nullptr) != kErrorSuccess)
      return Fail("too many keys in the hive");
    return kErrorSuccess;
  }

  // A "quoted" text with \\ and \" escapes starting at t[pos]; pos ends after its closing quote.
  bool Quoted(std::string_view t, std::size_t& pos, std::string& out, std::string& why) {
    out.clear();
    for (++pos; pos < t.size(); ++pos) {
      const char c = t[pos];
      if (c == '"') {
        ++pos;
        return true;
      }
      if (c == '\\') {
        if (pos + 1 >= t.size() || (t[pos + 1] != '\\' && t[pos + 1] != '"')) {
          why = "unknown escape in quoted text (write \\\\ for a backslash, \\\" for a quote)";
          return false;
        }
        ++pos;
      }
      out += t[pos];
    }
    why = "unterminated quoted text";
    return false;
  }

  long ValueLine(std::string_view t) {
    if (!m_key) return Fail("a value outside a key section");
    std::string name;
    std::size_t pos = 0;
    std::string why;
    if (t.front() == '@') {
      pos = 1;
    } else if (!Quoted(t, pos, name, why)) {
      return Fail(why);
    }
    if (!ValidValueName(name)) return Fail("value name too long");
    std::string_view rest = TrimLeft(t.substr(pos), kBlanks);
    if (rest.empty() || rest.front() != '=') return Fail("expected = after the value name");
    rest = TrimLeft(rest.substr(1), kBlanks);
    if (rest == "-") {
      m_tree.DeleteValue(*m_key, name);
      if (m_removals) m_removals->push_back(Removal{m_keyPath, name});
      return kErrorSuccess;
    }
    std::uint32_t type = kRegSz;
    std::vector<std::byte> data;
    if (!rest.empty() && rest.front() == '"') {
      std::string text;
      std::size_t textPos = 0;
      if (!Quoted(rest, textPos, text, why)) return Fail(why);
      if (!TrimLeft(rest.substr(textPos), kBlanks).empty())
        return Fail("text after the closing quote");
      data.resize(text.size() + 1);
      std::memcpy(data.data(), text.data(), text.size());
    } else if (StartsWithNoCase(rest, "dword:")) {
      std::uint32_t number = 0;
      if (!ParseHexNumber(rest.substr(6), number)) return Fail("dword: takes up to 8 hex digits");
      type = kRegDword;
      for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::byte>(number >> (8 * i)));
    } else if (StartsWithNoCase(rest, "hex")) {
      const long result = HexData(rest.substr(3), type, data);
      if (result != kErrorSuccess) return result;
    } else {
      return Fail("expected \"text\", dword:, hex:, hex(N): or - after =");
    }
    if (m_tree.SetValue(*m_key, name, type, std::move(data)) != kErrorSuccess)
      return Fail("too many values in the hive");
    return kErrorSuccess;
  }

  // After "hex": ":" for REG_BINARY or "(N):" for type N, then byte list with continuations.
  long HexData(std::string_view rest, std::uint32_t& type, std::vector<std::byte>& data) {
    type = kRegBinary;
    if (!rest.empty() && rest.front() == '(') {
      const std::size_t close = rest.find(')');
      if (close == std::string_view::npos || !ParseHexNumber(rest.substr(1, close - 1), type))
        return Fail("hex(N): takes a type of up to 8 hex digits");
      rest.remove_prefix(close + 1);
    }
    if (rest.empty() || rest.front() != ':') return Fail("expected : after hex");
    rest.remove_prefix(1);
    for (;;) {
      std::string_view part = TrimRight(rest, kBlanks);
      const bool more = !part.empty() && part.back() == '\\';
      if (more) part.remove_suffix(1);
      if (!ParseHexBytes(part, data))
        return Fail("expected two-digit hex bytes separated by commas");
      if (!more) break;
      std::string_view next;
      if (!NextLine(next)) return Fail("a hex list continues past the end of the text");
      rest = TrimLeft(next, kBlanks);
    }
    if (m_wideStrings && (type == kRegSz || type == kRegExpandSz || type == kRegMultiSz)) {
      // This format writes string types as UTF-16LE.
      std::string narrow;
      if (!FromUtf16(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                     narrow))
        return Fail("string data is not UTF-16LE with characters below U+0100");
      data.assign(reinterpret_cast<const std::byte*>(narrow.data()),
                  reinterpret_cast<const std::byte*>(narrow.data()) + narrow.size());
    }
    return kErrorSuccess;
  }

  // "01,02, ab," - a trailing comma is allowed (it ends a continued line).
  static bool ParseHexBytes(std::string_view list, std::vector<std::byte>& data) {
    list = Trim(list, kBlanks);
    while (!list.empty()) {
      const std::size_t comma = list.find(',');
      const std::string_view item = Trim(list.substr(0, comma), kBlanks);
      std::uint32_t byte = 0;
      if (item.size() > 2 || !ParseHexNumber(item, byte)) return false;
      data.push_back(static_cast<std::byte>(byte));
      if (comma == std::string_view::npos) break;
      list = TrimLeft(list.substr(comma + 1), kBlanks);
    }
    return true;
  }

  std::string_view m_text;
  Tree& m_tree;
  std::vector<Removal>* m_removals;
  std::string m_keyPath;  // the current section's key, as written
  std::size_t m_pos = 0;
  std::size_t m_line = 0;
  bool m_wideStrings = false;
  KeyNode* m_key = nullptr;
  std::string m_problem;
};

}  // namespace

std::string SectionName(std::string_view path) {
  std::string name(kRootName);
  if (!path.empty()) {
    name += '\\';
    name += path;
  }
  return name;
}

std::string ExportText(const KeyNode& start, const std::string& startPath) {
  std::string out(kHeader4);
  out += "\n\n";
  std::vector<std::pair<const KeyNode*, std::string>> stack;
  stack.emplace_back(&start, startPath);
  while (!stack.empty()) {
    auto [node, path] = std::move(stack.back());
    stack.pop_back();
    if (!path.empty() || !node->values.empty()) {
      out += '[';
      out += SectionName(path);
      out += "]\n";
      for (const auto& value : node->values) AppendValueLine(out, value);
      out += '\n';
    }
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
      std::string childPath = path;
      if (!childPath.empty()) childPath += '\\';
      childPath += it->second->name;
      stack.emplace_back(it->second.get(), std::move(childPath));
    }
  }
  return out;
}

std::string ValueChangeText(const std::string& path, const std::vector<const RegValue*>& set,
                            const std::vector<std::string>& removed) {
  std::string out(kHeader4);
  out += "\n\n[";
  out += SectionName(path);
  out += "]\n";
  for (const RegValue* value : set) AppendValueLine(out, *value);
  for (const std::string& name : removed) {
    if (name.empty())
      out += '@';
    else
      AppendQuoted(out, name);
    out += "=-\n";
  }
  return out;
}

std::optional<std::string_view> KeyPathOf(std::string_view fullName) {
  const std::size_t slash = fullName.find('\\');
  const std::string_view root = fullName.substr(0, slash);
  if (!EqualsNoCase(root, kRootName) && !EqualsNoCase(root, kRootShortName)) return std::nullopt;
  if (slash == std::string_view::npos) return std::string_view();
  return fullName.substr(slash + 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHexNumber(std::string_view text, std::uint32_t& out) {
  if (text.empty() || text.size() > 8) return false;
  out = 0;
  for (const char c : text) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    out = (out << 4) | static_cast<std::uint32_t>(d);
  }
  return true;
}

long ParseText(std::string_view text, Tree& tree, std::string& problem,
               std::vector<Removal>* removals) {
  RegTextParser parser(text, tree, removals);
  const long result = parser.Run();
  problem = result == kErrorSuccess ? std::string() : parser.Problem();
  return result;
}

}  // namespace faxmail::platform::registry
