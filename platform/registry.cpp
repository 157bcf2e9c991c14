// The registry store: the local machine hive kept as one text file shared by processes.
//
// Each operation takes the hive's lock (flock on HKLM.reg.lock: shared to read, exclusive to
// change), brings its parsed copy of the hive up to date, and for a change writes the whole
// hive to HKLM.reg.new, syncs it and renames it over HKLM.reg. The lock file is separate from
// the hive because the hive is replaced by rename: a lock on the old hive would not exclude a
// process that opened the new one.
//
// The parsed hive is cached per process. A cached copy is used only when the hive file is the
// same file (device, inode, size, modification and change times) and the change counter kept
// in the lock file is unchanged: inode numbers are reused as soon as the old hive is unlinked
// and file times are coarse, so two quick changes of equal size can look alike by the file
// alone, but every change through this store counts itself in the lock file first.
//
// A hive file that does not parse is never replaced: every operation fails with kErrorBadDb
// until an administrator repairs or removes it. Parsing loops over lines; the tree is at most
// kMaxKeyDepth deep and is walked with explicit stacks.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/win_error.h"

namespace faxmail::platform {

namespace {

constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kRootShortName = "HKLM";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr char kHiveFileName[] = "HKLM.reg";
constexpr char kLockSuffix[] = ".lock";
constexpr char kNewSuffix[] = ".new";

// The system's own limits, so that a key that works here works there too.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxKeyDepth = 512;
constexpr std::size_t kMaxValueNameLength = 16383;
// A hive of the maximum size made of the shortest possible lines must still fit in some tens
// of megabytes of memory.
constexpr std::size_t kMaxKeys = 65536;
constexpr std::size_t kMaxValues = 262144;
// Hex lists are wrapped before this column, as the registry editor wraps them.
constexpr std::size_t kHexLineWidth = 76;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// A name may not break the hive file's lines.
bool HasLineBreakOrZero(std::string_view name) {
  return name.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos;
}

bool ValidValueName(std::string_view name) {
  return name.size() <= kMaxValueNameLength && !HasLineBreakOrZero(name);
}

// Splits "A\B\C" into its key names; an empty path is the root and one trailing backslash is
// allowed. Fails for empty names, names over the limits and paths too deep.
bool SplitKeyPath(std::string_view path, std::vector<std::string_view>& names) {
  names.clear();
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find('\\', start);
    const std::string_view name =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (name.empty() || name.size() > kMaxKeyNameLength || HasLineBreakOrZero(name)) return false;
    if (names.size() == kMaxKeyDepth) return false;
    names.push_back(name);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// ---------------------------------------------------------------------------------------------
// The tree

struct KeyNode {
  std::string name;
  std::vector<RegValue> values;                         // in stored order
  std::unordered_map<std::string, std::size_t> index;  // lower-case name -> position
  std::map<std::string, std::unique_ptr<KeyNode>> children;  // by lower-case name

  const RegValue* FindValue(std::string_view valueName) const {
    const auto it = index.find(Lower(valueName));
    return it == index.end() ? nullptr : &values[it->second];
  }
  void Reindex() {
    index.clear();
    for (std::size_t i = 0; i < values.size(); ++i) index.emplace(Lower(values[i].name), i);
  }
};

class Tree {
 public:
  KeyNode& Root() { return m_root; }
  const KeyNode& Root() const { return m_root; }

  KeyNode* Find(const std::vector<std::string_view>& names) {
    KeyNode* node = &m_root;
    for (const auto name : names) {
      const auto it = node->children.find(Lower(name));
      if (it == node->children.end()) return nullptr;
      node = it->second.get();
    }
    return node;
  }

  // Finds or creates the key and its parents.
  long Create(const std::vector<std::string_view>& names, KeyNode*& out, bool* created) {
    KeyNode* node = &m_root;
    std::size_t depth = 0;
    for (; depth < names.size(); ++depth) {
      const auto it = node->children.find(Lower(names[depth]));
      if (it == node->children.end()) break;
      node = it->second.get();
    }
    if (created) *created = depth < names.size();
    if (m_keys + (names.size() - depth) > kMaxKeys) return kErrorRegistryQuotaLimit;
    for (; depth < names.size(); ++depth) {
      auto child = std::make_unique<KeyNode>();
      child->name = std::string(names[depth]);
      KeyNode* next = child.get();
      node->children.emplace(Lower(names[depth]), std::move(child));
      ++m_keys;
      node = next;
    }
    out = node;
    return kErrorSuccess;
  }

  long SetValue(KeyNode& node, std::string_view name, std::uint32_t type,
                std::vector<std::byte> data) {
    if (!ValidValueName(name)) return kErrorInvalidParameter;
    std::string lower = Lower(name);
    if (const auto it = node.index.find(lower); it != node.index.end()) {
      RegValue& value = node.values[it->second];
      value.type = type;
      value.data = std::move(data);
      return kErrorSuccess;
    }
    if (m_values >= kMaxValues) return kErrorRegistryQuotaLimit;
    node.values.push_back(RegValue{std::string(name), type, std::move(data)});
    node.index.emplace(std::move(lower), node.values.size() - 1);
    ++m_values;
    return kErrorSuccess;
  }

  bool DeleteValue(KeyNode& node, std::string_view name) {
    const auto it = node.index.find(Lower(name));
    if (it == node.index.end()) return false;
    node.values.erase(node.values.begin() + static_cast<std::ptrdiff_t>(it->second));
    node.Reindex();
    --m_values;
    return true;
  }

  // Removes a key (not the root) with everything below it.
  bool DeleteTree(const std::vector<std::string_view>& names) {
    if (names.empty()) return false;
    std::vector<std::string_view> parentNames(names.begin(), names.end() - 1);
    KeyNode* parent = Find(parentNames);
    if (!parent) return false;
    const auto it = parent->children.find(Lower(names.back()));
    if (it == parent->children.end()) return false;
    std::vector<const KeyNode*> stack{it->second.get()};
    while (!stack.empty()) {
      const KeyNode* node = stack.back();
      stack.pop_back();
      --m_keys;
      m_values -= node->values.size();
      for (const auto& child : node->children) stack.push_back(child.second.get());
    }
    parent->children.erase(it);
    return true;
  }

 private:
  KeyNode m_root;
  std::size_t m_keys = 0;
  std::size_t m_values = 0;
};

// ---------------------------------------------------------------------------------------------
// Writing the export format

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
  if (value.type != kRegSz || value.data.empty() || value.data.back() != std::byte{0})
    return false;
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

std::string SectionName(std::string_view path) {
  std::string name(kRootName);
  if (!path.empty()) {
    name += '\\';
    name += path;
  }
  return name;
}

// REGEDIT4 text of a key and everything below it, depth first, subkeys in name order. The
// hive's root gets a section only when it holds values.
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

// ---------------------------------------------------------------------------------------------
// Reading the export format

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Up to 8 hex digits, the whole of text.
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

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

class RegTextParser {
 public:
  RegTextParser(std::string_view text, Tree& tree) : m_text(text), m_tree(tree) {}

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
      const std::string_view t = Trim(line);
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
      const std::string_view t = Trim(line);
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
    line = m_text.substr(m_pos, end == std::string_view::npos ? std::string_view::npos
                                                               : end - m_pos);
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
    const std::size_t slash = path.find('\\');
    const std::string_view root = path.substr(0, slash);
    if (!EqualNoCase(root, kRootName) && !EqualNoCase(root, kRootShortName))
      return Fail("only keys under HKEY_LOCAL_MACHINE are stored");
    const std::string_view subPath =
        slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    std::vector<std::string_view> names;
    if (!SplitKeyPath(subPath, names)) return Fail("bad key name (empty, too long or too deep)");
    m_key = nullptr;
    if (remove) {
      if (names.empty()) return Fail("the hive's root cannot be deleted");
      m_tree.DeleteTree(names);
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
    std::string_view rest = TrimLeft(t.substr(pos));
    if (rest.empty() || rest.front() != '=') return Fail("expected = after the value name");
    rest = TrimLeft(rest.substr(1));
    if (rest == "-") {
      m_tree.DeleteValue(*m_key, name);
      return kErrorSuccess;
    }
    std::uint32_t type = kRegSz;
    std::vector<std::byte> data;
    if (!rest.empty() && rest.front() == '"') {
      std::string text;
      std::size_t textPos = 0;
      if (!Quoted(rest, textPos, text, why)) return Fail(why);
      if (!TrimLeft(rest.substr(textPos)).empty()) return Fail("text after the closing quote");
      data.resize(text.size() + 1);
      std::memcpy(data.data(), text.data(), text.size());
    } else if (StartsWithNoCase(rest, "dword:")) {
      std::uint32_t number = 0;
      if (!ParseHexNumber(rest.substr(6), number))
        return Fail("dword: takes up to 8 hex digits");
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
      std::string_view part = TrimRight(rest);
      const bool more = !part.empty() && part.back() == '\\';
      if (more) part.remove_suffix(1);
      if (!ParseHexBytes(part, data)) return Fail("expected two-digit hex bytes separated by commas");
      if (!more) break;
      std::string_view next;
      if (!NextLine(next)) return Fail("a hex list continues past the end of the text");
      rest = TrimLeft(next);
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
    list = Trim(list);
    while (!list.empty()) {
      const std::size_t comma = list.find(',');
      const std::string_view item = Trim(list.substr(0, comma));
      std::uint32_t byte = 0;
      if (item.size() > 2 || !ParseHexNumber(item, byte)) return false;
      data.push_back(static_cast<std::byte>(byte));
      if (comma == std::string_view::npos) break;
      list = TrimLeft(list.substr(comma + 1));
    }
    return true;
  }

  std::string_view m_text;
  Tree& m_tree;
  std::size_t m_pos = 0;
  std::size_t m_line = 0;
  bool m_wideStrings = false;
  KeyNode* m_key = nullptr;
  std::string m_problem;
};

// ---------------------------------------------------------------------------------------------
// Files, locks and the cache

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int Get() const noexcept { return m_fd; }
  bool IsOpen() const noexcept { return m_fd >= 0; }
  void Reset() noexcept {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }
  // Closes and reports the error of the close.
  int Close() noexcept {
    const int rc = ::close(std::exchange(m_fd, -1));
    return rc == 0 ? 0 : errno;
  }

 private:
  int m_fd = -1;
};

// The hive's lock: the lock file held shared or exclusive while it is open. The lock file's
// first 8 bytes count the changes made through this store.
class HiveLock {
 public:
  // Opens (creating when it can) and locks the lock file. For a read, a folder or lock file
  // that cannot be opened leaves the object without a lock: the hive is only ever replaced
  // whole, so an unlocked read still sees one complete hive.
  long Acquire(const std::string& path, bool exclusive) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && !exclusive && (errno == EACCES || errno == EROFS || errno == EPERM))
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return exclusive ? ErrorFromErrno(errno) : kErrorSuccess;
    m_fd = UniqueFd(fd);
    while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
      if (errno != EINTR) return ErrorFromErrno(errno);
    }
    return kErrorSuccess;
  }

  bool IsHeld() const { return m_fd.IsOpen(); }

  std::uint64_t Generation() const {
    if (!m_fd.IsOpen()) return 0;
    unsigned char bytes[8] = {};
    if (::pread(m_fd.Get(), bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
      return 0;
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
  }

  long SetGeneration(std::uint64_t value) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    const ssize_t n = ::pwrite(m_fd.Get(), bytes, sizeof bytes, 0);
    if (n < 0) return ErrorFromErrno(errno);
    return n == static_cast<ssize_t>(sizeof bytes) ? kErrorSuccess : kErrorWriteFault;
  }

 private:
  UniqueFd m_fd;
};

// Which hive file a parsed copy was made from.
struct Identity {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};
  std::uint64_t generation = 0;

  static Identity Of(const struct stat& st, std::uint64_t generation) {
    Identity id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    id.generation = generation;
    return id;
  }
  bool operator==(const Identity& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec &&
           generation == o.generation;
  }
};

// The parsed hive of this process. Guarded by g_mutex, which also serialises this process's
// threads (the flock of each operation serialises processes).
struct HiveCache {
  bool valid = false;
  std::string path;
  Identity id;
  mode_t mode = 0644;
  bool bad = false;
  std::string problem;
  Tree tree;
};

// Never destroyed: the gateway ends its process while its threads may still be in here.
template <class T>
class NoDestructor {
 public:
  NoDestructor() { ::new (static_cast<void*>(m_storage)) T(); }
  T& Get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }

 private:
  alignas(T) unsigned char m_storage[sizeof(T)];
};

std::mutex g_mutex;  // constant-initialised

HiveCache& Cache() {
  static NoDestructor<HiveCache> cache;
  return cache.Get();
}

std::string RegistryFolder() { return FaxmailRoot() + "/registry"; }

// Reads the hive file into the cache unless the cached copy is of the same file.
long LoadHive(const std::string& path, const HiveLock& lock) {
  const std::uint64_t generation = lock.Generation();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.IsOpen()) {
    // No file, or no folder (the root may not even be a folder): an empty hive.
    if (errno != ENOENT && errno != ENOTDIR) return ErrorFromErrno(errno);
    Identity missing;
    missing.generation = generation;
    if (Cache().valid && Cache().path == path && Cache().id == missing) return kErrorSuccess;
    Cache().tree = Tree();
    Cache().bad = false;
    Cache().problem.clear();
    Cache().mode = 0644;
    Cache().id = missing;
    Cache().path = path;
    Cache().valid = true;
    return kErrorSuccess;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return ErrorFromErrno(errno);
  const Identity id = Identity::Of(st, generation);
  if (Cache().valid && Cache().path == path && Cache().id == id) return kErrorSuccess;

  Cache().valid = false;
  Cache().tree = Tree();
  Cache().problem.clear();
  Cache().bad = true;
  Cache().path = path;
  Cache().id = id;
  Cache().mode = st.st_mode & 07777;
  if (!S_ISREG(st.st_mode)) {
    Cache().problem = path + " is not a regular file";
  } else if (static_cast<std::uint64_t>(st.st_size) > kMaxHiveFileSize) {
    Cache().problem = path + " is larger than " + std::to_string(kMaxHiveFileSize >> 20) + " MiB";
  } else {
    // One byte more than the size, to see the end of the file in the same pass.
    std::string text;
    text.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    for (;;) {
      if (got == text.size()) {
        // Grown since the fstat (an editor writing in place): read on, within the limit.
        if (text.size() > kMaxHiveFileSize) break;
        text.resize(std::min<std::size_t>(text.size() * 2, kMaxHiveFileSize + 1));
      }
      const ssize_t n = ::read(fd.Get(), text.data() + got, text.size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        return ErrorFromErrno(errno);
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    if (text.size() > kMaxHiveFileSize) {
      Cache().problem =
          path + " is larger than " + std::to_string(kMaxHiveFileSize >> 20) + " MiB";
    } else {
      RegTextParser parser(text, Cache().tree);
      if (parser.Run() == kErrorSuccess)
        Cache().bad = false;
      else
        Cache().problem = path + " " + parser.Problem();
    }
  }
  if (Cache().bad) Cache().tree = Tree();
  Cache().valid = true;
  return kErrorSuccess;
}

// Writes the cached tree as the new hive: counted, written whole, synced, renamed.
long StoreHive(const std::string& path, HiveLock& lock) {
  const std::string text = ExportText(Cache().tree.Root(), std::string());
  if (text.size() > kMaxHiveFileSize) return kErrorRegistryQuotaLimit;
  // Counted before the replacement, so that a copy cached from before it is never taken for it.
  const std::uint64_t generation = lock.Generation() + 1;
  if (const long result = lock.SetGeneration(generation); result != kErrorSuccess) return result;

  const std::string newPath = path + kNewSuffix;
  if (::unlink(newPath.c_str()) != 0 && errno != ENOENT) return ErrorFromErrno(errno);
  UniqueFd fd(::open(newPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                     Cache().mode));
  if (!fd.IsOpen()) return ErrorFromErrno(errno);
  // Removes the new file unless it became the hive.
  struct Remover {
    const std::string& path;
    bool keep = false;
    ~Remover() {
      if (!keep) ::unlink(path.c_str());
    }
  } remover{newPath};
  if (::fchmod(fd.Get(), Cache().mode) != 0) return ErrorFromErrno(errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrorFromErrno(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd.Get()) != 0) return ErrorFromErrno(errno);
  if (const int err = fd.Close(); err != 0) return ErrorFromErrno(err);
  if (::rename(newPath.c_str(), path.c_str()) != 0) return ErrorFromErrno(errno);
  remover.keep = true;

  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    Cache().valid = false;
    return kErrorSuccess;  // the change is made; the next operation reads it back
  }
  Cache().id = Identity::Of(st, generation);
  return kErrorSuccess;
}

// Runs op on the up-to-date hive under the hive's lock. op returns an error number and sets
// changed when it altered the tree; a change is then stored, and a failed one is forgotten.
using HiveOp = std::function<long(Tree&, bool& changed)>;

long WithHive(Hive hive, bool exclusive, const HiveOp& op) {
  (void)hive;  // the local machine hive is the only one
  std::lock_guard<std::mutex> guard(g_mutex);
  const std::string folder = RegistryFolder();
  const std::string path = folder + "/" + kHiveFileName;
  HiveLock lock;
  if (exclusive) {
    errno = 0;
    if (!EnsureDirectories(folder))
      return errno == ENOSPC || errno == EDQUOT ? kErrorDiskFull : kErrorAccessDenied;
    if (const long result = lock.Acquire(path + kLockSuffix, true); result != kErrorSuccess)
      return result;
  } else if (DirectoryExists(folder)) {
    if (const long result = lock.Acquire(path + kLockSuffix, false); result != kErrorSuccess)
      return result;
  }
  if (const long result = LoadHive(path, lock); result != kErrorSuccess) return result;
  if (Cache().bad) return kErrorBadDb;
  bool changed = false;
  long result = op(Cache().tree, changed);
  if (!changed) return result;
  if (!exclusive) std::abort();  // a read that changed the tree: a broken invariant
  if (result == kErrorSuccess) result = StoreHive(path, lock);
  if (result != kErrorSuccess) Cache().valid = false;  // the tree is not what the file holds
  return result;
}

// Runs op on the key of an open RegKey (kErrorKeyDeleted when it has gone).
using KeyOp = std::function<long(Tree&, KeyNode&, bool& changed)>;

long WithKey(const RegKey& key, bool exclusive, const KeyOp& op) {
  if (!key.IsOpen()) return kErrorInvalidHandle;
  std::vector<std::string_view> names;
  if (!SplitKeyPath(key.Path(), names)) return kErrorInvalidHandle;
  return WithHive(key.GetHive(), exclusive, [&](Tree& tree, bool& changed) {
    KeyNode* node = tree.Find(names);
    if (!node) return kErrorKeyDeleted;
    return op(tree, *node, changed);
  });
}

// The stored-case path of a key.
std::string StoredPath(Tree& tree, const std::vector<std::string_view>& names) {
  std::string path;
  KeyNode* node = &tree.Root();
  for (const auto name : names) {
    node = node->children.find(Lower(name))->second.get();
    if (!path.empty()) path += '\\';
    path += node->name;
  }
  return path;
}

long ReadDword(const RegValue& value, std::uint32_t& out) {
  if (value.data.size() > 4) return kErrorMoreData;
  if (value.data.size() < 4) return kErrorInvalidParameter;
  out = 0;
  for (int i = 3; i >= 0; --i) out = (out << 8) | static_cast<std::uint8_t>(value.data[i]);
  return kErrorSuccess;
}

std::vector<std::byte> DwordBytes(std::uint32_t value) {
  std::vector<std::byte> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<std::byte>(value >> (8 * i));
  return data;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

long RegOpenKey(Hive hive, std::string_view subKey, RegKey& out) {
  std::vector<std::string_view> names;
  if (!SplitKeyPath(subKey, names)) return kErrorInvalidParameter;
  std::string path;
  const long result = WithHive(hive, false, [&](Tree& tree, bool&) {
    if (!tree.Find(names)) return kErrorFileNotFound;
    path = StoredPath(tree, names);
    return kErrorSuccess;
  });
  if (result != kErrorSuccess) return result;
  out.m_hive = hive;
  out.m_path = std::move(path);
  out.m_open = true;
  return kErrorSuccess;
}

long RegCreateKey(Hive hive, std::string_view subKey, RegKey& out, bool* created) {
  std::vector<std::string_view> names;
  if (!SplitKeyPath(subKey, names)) return kErrorInvalidParameter;
  std::string path;
  // An existing key opens under the shared lock, so a reader without write access may
  // "create" a key that is there.
  long result = WithHive(hive, false, [&](Tree& tree, bool&) {
    if (!tree.Find(names)) return kErrorFileNotFound;
    path = StoredPath(tree, names);
    return kErrorSuccess;
  });
  bool made = false;
  if (result == kErrorFileNotFound) {
    result = WithHive(hive, true, [&](Tree& tree, bool& changed) {
      KeyNode* node = nullptr;
      const long r = tree.Create(names, node, &made);
      if (r != kErrorSuccess) return r;
      changed = made;
      path = StoredPath(tree, names);
      return kErrorSuccess;
    });
  }
  if (result != kErrorSuccess) return result;
  if (created) *created = made;
  out.m_hive = hive;
  out.m_path = std::move(path);
  out.m_open = true;
  return kErrorSuccess;
}

long RegCloseKey(RegKey& key) {
  if (!key.m_open) return kErrorInvalidHandle;
  key.m_open = false;
  key.m_path.clear();
  return kErrorSuccess;
}

long RegQueryValue(const RegKey& key, std::string_view name, std::uint32_t* type, void* data,
                   std::uint32_t* size) {
  if (data && !size) return kErrorInvalidParameter;
  return WithKey(key, false, [&](Tree&, KeyNode& node, bool&) {
    const RegValue* value = node.FindValue(name);
    if (!value) return kErrorFileNotFound;
    if (type) *type = value->type;
    const auto needed = static_cast<std::uint32_t>(value->data.size());
    if (!data) {
      if (size) *size = needed;
      return kErrorSuccess;
    }
    if (*size < needed) {
      *size = needed;
      return kErrorMoreData;
    }
    if (needed > 0) std::memcpy(data, value->data.data(), needed);
    *size = needed;
    return kErrorSuccess;
  });
}

long RegSetValue(const RegKey& key, std::string_view name, std::uint32_t type, const void* data,
                 std::uint32_t size) {
  if (!data && size > 0) return kErrorInvalidParameter;
  if (!ValidValueName(name)) return kErrorInvalidParameter;
  std::vector<std::byte> bytes(size);
  if (size > 0) std::memcpy(bytes.data(), data, size);
  return WithKey(key, true, [&](Tree& tree, KeyNode& node, bool& changed) {
    if (const RegValue* old = node.FindValue(name);
        old && old->type == type && old->data == bytes)
      return kErrorSuccess;  // nothing to write
    changed = true;
    return tree.SetValue(node, name, type, std::move(bytes));
  });
}

long RegDeleteValue(const RegKey& key, std::string_view name) {
  return WithKey(key, true, [&](Tree& tree, KeyNode& node, bool& changed) {
    if (!tree.DeleteValue(node, name)) return kErrorFileNotFound;
    changed = true;
    return kErrorSuccess;
  });
}

long RegDeleteTree(Hive hive, std::string_view subKey) {
  std::vector<std::string_view> names;
  if (!SplitKeyPath(subKey, names) || names.empty()) return kErrorInvalidParameter;
  return WithHive(hive, true, [&](Tree& tree, bool& changed) {
    if (!tree.DeleteTree(names)) return kErrorFileNotFound;
    changed = true;
    return kErrorSuccess;
  });
}

long RegFlushKey(const RegKey& key) {
  long result = WithKey(key, false, [](Tree&, KeyNode&, bool&) { return kErrorSuccess; });
  if (result != kErrorSuccess) return result;
  const std::string folder = RegistryFolder();
  if (!DirectoryExists(folder)) return kErrorSuccess;  // nothing was ever written
  return SyncDirectory(folder);
}

long RegEnumValues(const RegKey& key, std::vector<RegValue>& out) {
  return WithKey(key, false, [&](Tree&, KeyNode& node, bool&) {
    out = node.values;
    return kErrorSuccess;
  });
}

long RegEnumSubKeys(const RegKey& key, std::vector<std::string>& out) {
  return WithKey(key, false, [&](Tree&, KeyNode& node, bool&) {
    out.clear();
    out.reserve(node.children.size());
    for (const auto& child : node.children) out.push_back(child.second->name);
    return kErrorSuccess;
  });
}

long RegQueryString(const RegKey& key, std::string_view name, std::uint32_t limit,
                    std::string& out) {
  return WithKey(key, false, [&](Tree&, KeyNode& node, bool&) {
    const RegValue* value = node.FindValue(name);
    if (!value) return kErrorFileNotFound;
    const auto* bytes = reinterpret_cast<const char*>(value->data.data());
    const std::string_view all(bytes, value->data.size());
    const std::size_t zero = all.find('\0');
    // The caller's buffer must hold the text and a zero after it.
    const std::size_t needed = zero == std::string_view::npos ? all.size() + 1 : all.size();
    if (needed > limit) return kErrorMoreData;
    out.assign(all.substr(0, zero));
    return kErrorSuccess;
  });
}

long RegQueryDword(const RegKey& key, std::string_view name, std::uint32_t& out) {
  return WithKey(key, false, [&](Tree&, KeyNode& node, bool&) {
    const RegValue* value = node.FindValue(name);
    if (!value) return kErrorFileNotFound;
    return ReadDword(*value, out);
  });
}

long RegSetString(const RegKey& key, std::string_view name, std::string_view text,
                  bool withZero) {
  std::string data(text);
  if (withZero) data += '\0';
  if (data.size() > kMaxHiveFileSize) return kErrorRegistryQuotaLimit;
  return RegSetValue(key, name, kRegSz, data.data(), static_cast<std::uint32_t>(data.size()));
}

long RegSetDword(const RegKey& key, std::string_view name, std::uint32_t value) {
  const std::vector<std::byte> data = DwordBytes(value);
  return RegSetValue(key, name, kRegDword, data.data(), 4);
}

long RegUpdateDword(const RegKey& key, std::string_view name,
                    const std::function<std::uint32_t(std::optional<std::uint32_t>)>& update,
                    std::uint32_t* result) {
  if (!ValidValueName(name)) return kErrorInvalidParameter;
  return WithKey(key, true, [&](Tree& tree, KeyNode& node, bool& changed) {
    std::optional<std::uint32_t> current;
    const RegValue* value = node.FindValue(name);
    if (value) {
      std::uint32_t number = 0;
      if (const long r = ReadDword(*value, number); r != kErrorSuccess) return r;
      current = number;
    }
    const std::uint32_t next = update(current);
    if (result) *result = next;
    if (value && value->type == kRegDword && current == next) return kErrorSuccess;
    changed = true;
    return tree.SetValue(node, name, kRegDword, DwordBytes(next));
  });
}

long RegExport(Hive hive, std::string_view subKey, std::string& out) {
  std::vector<std::string_view> names;
  if (!SplitKeyPath(subKey, names)) return kErrorInvalidParameter;
  return WithHive(hive, false, [&](Tree& tree, bool&) {
    const KeyNode* node = tree.Find(names);
    if (!node) return kErrorFileNotFound;
    out = ExportText(*node, StoredPath(tree, names));
    return kErrorSuccess;
  });
}

long RegImport(Hive hive, std::string_view text, std::string* problem) {
  if (problem) problem->clear();
  if (text.size() > kMaxHiveFileSize) {
    if (problem) *problem = "the text is larger than the hive may be";
    return kErrorRegistryQuotaLimit;
  }
  // Parsed on its own first: a text that does not parse changes nothing and needs no lock.
  Tree scratch;
  RegTextParser check(text, scratch);
  if (check.Run() != kErrorSuccess) {
    if (problem) *problem = check.Problem();
    return kErrorInvalidParameter;
  }
  return WithHive(hive, true, [&](Tree& tree, bool& changed) {
    changed = true;
    RegTextParser parser(text, tree);
    const long result = parser.Run();
    if (result != kErrorSuccess && problem) *problem = parser.Problem();
    return result == kErrorSuccess ? kErrorSuccess : kErrorRegistryQuotaLimit;
  });
}

std::string RegHiveProblem(Hive hive) {
  std::string problem;
  WithHive(hive, false, [](Tree&, bool&) { return kErrorSuccess; });
  std::lock_guard<std::mutex> guard(g_mutex);
  if (Cache().valid && Cache().bad) problem = Cache().problem;
  return problem;
}

std::string HivePath(Hive hive) {
  (void)hive;
  return RegistryFolder() + "/" + kHiveFileName;
}

}  // namespace faxmail::platform
