// The registry on the system's own local machine hive. A RegKey stays a plain name: each
// operation opens the key, works and closes it again, so keys may be shared between threads
// and a key deleted meanwhile is noticed (kErrorKeyDeleted).
//
// Names and texts go through the system's wide functions, each byte one character (Latin-1):
// so a value keeps its exact bytes and size whatever the code page, and the size rules are the
// store's own (a text written without its zero reads back without one). Other types are bytes.
//
// FAXMAIL_REGISTRY_ROOT, when set, names a key under HKEY_LOCAL_MACHINE that stands in for the
// hive's root: the tests give each run a root of its own, as FAXMAIL_ROOT gives them a folder
// on the other backend. The read-modify-write operations are made atomic across processes by
// one named mutex per root.
#include "platform/registry.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "platform/process.h"
#include "platform/registry_format.h"
#include "platform/registry_tree.h"
#include "platform/win32/windows_api.h"
#include "platform/win_error.h"

namespace faxmail::platform {

using registry::SplitKeyPath;
using registry::ValidValueName;

namespace {

// How long an update waits for another process's update before it gives up.
constexpr DWORD kUpdateLockWaitMs = 30000;

std::string RootPrefix() {
  auto root = GetEnv("FAXMAIL_REGISTRY_ROOT");
  if (!root || root->empty()) return {};
  while (!root->empty() && root->back() == '\\') root->pop_back();
  return *root;
}

std::string NativePath(std::string_view path) {
  std::string full = RootPrefix();
  if (!path.empty()) {
    if (!full.empty()) full.push_back('\\');
    full.append(path);
  }
  while (!full.empty() && full.back() == '\\') full.pop_back();
  return full;
}

// A key open for the scope it lives in.
class OpenKey {
 public:
  OpenKey() = default;
  ~OpenKey() {
    if (m_key) ::RegCloseKey(m_key);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  HKEY Get() const noexcept { return m_key; }
  PHKEY Out() noexcept { return &m_key; }

 private:
  HKEY m_key = nullptr;
};

long Fail(long error) {
  SetLastError(error);
  return error;
}

std::wstring Wide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (const char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return out;
}

// A character beyond Latin-1 (set by another program) has no byte of its own: '?'.
std::string Narrow(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (const wchar_t c : text) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return out;
}

bool IsTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Opens the key behind an open RegKey: a key that has gone since it was opened is
// kErrorKeyDeleted.
long OpenExisting(const RegKey& key, REGSAM access, OpenKey& out) {
  if (!key.IsOpen()) return Fail(kErrorInvalidHandle);
  const LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(NativePath(key.Path())).c_str(), 0,
                                  access, out.Out());
  if (rc == ERROR_FILE_NOT_FOUND) return Fail(kErrorKeyDeleted);
  if (rc != ERROR_SUCCESS) return Fail(rc);
  return kErrorSuccess;
}

// The named mutex that serialises this layer's read-modify-writes, held while it lives.
class UpdateLock {
 public:
  UpdateLock() {
    std::string name = "Global\\faxmail-registry-" + RootPrefix();
    for (char& c : name)
      if (c == '\\' && &c != &name[6]) c = '/';
    m_mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
    if (!m_mutex) return;
    const DWORD waited = ::WaitForSingleObject(m_mutex, kUpdateLockWaitMs);
    m_held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  ~UpdateLock() {
    if (m_held) ::ReleaseMutex(m_mutex);
    if (m_mutex) ::CloseHandle(m_mutex);
  }
  UpdateLock(const UpdateLock&) = delete;
  UpdateLock& operator=(const UpdateLock&) = delete;
  bool Held() const noexcept { return m_held; }

 private:
  HANDLE m_mutex = nullptr;
  bool m_held = false;
};

// One value read whole: kErrorFileNotFound when it is missing.
long ReadValue(HKEY key, std::string_view name, RegValue& out) {
  const std::wstring valueName = Wide(name);
  for (;;) {
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::byte> data(size);
    rc = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type,
                            reinterpret_cast<LPBYTE>(data.data()), &size);
    if (rc == ERROR_MORE_DATA) continue;  // grew in between
    if (rc != ERROR_SUCCESS) return rc;
    data.resize(size);
    out.name = std::string(name);
    out.type = type;
    if (IsTextType(type)) {
      std::wstring text(size / sizeof(wchar_t), L'\0');
      std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
      const std::string bytes = Narrow(text);
      const auto* p = reinterpret_cast<const std::byte*>(bytes.data());
      out.data.assign(p, p + bytes.size());
    } else {
      out.data = std::move(data);
    }
    return kErrorSuccess;
  }
}

long WriteValue(HKEY key, std::string_view name, std::uint32_t type, const void* data,
                std::uint32_t size) {
  if (IsTextType(type)) {
    const std::wstring text = Wide(std::string_view(static_cast<const char*>(data), size));
    return ::RegSetValueExW(key, Wide(name).c_str(), 0, type,
                            reinterpret_cast<const BYTE*>(text.data()),
                            static_cast<DWORD>(text.size() * sizeof(wchar_t)));
  }
  return ::RegSetValueExW(key, Wide(name).c_str(), 0, type, static_cast<const BYTE*>(data), size);
}

long WriteValue(HKEY key, const RegValue& value) {
  return WriteValue(key, value.name, value.type, value.data.data(),
                    static_cast<std::uint32_t>(value.data.size()));
}

// The path as the keys are stored (their own letter case), found key by key; the path as
// given when a key cannot be listed.
std::string StoredCase(std::string_view path) {
  std::vector<std::string_view> names;
  if (!SplitKeyPath(path, names)) return std::string(path);
  std::string stored;
  std::string parent = NativePath("");
  for (const std::string_view name : names) {
    OpenKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(parent).c_str(), 0, KEY_ENUMERATE_SUB_KEYS,
                        key.Out()) != ERROR_SUCCESS)
      return std::string(path);
    std::string found(name);
    wchar_t child[registry::kMaxKeyNameLength + 1];
    for (DWORD i = 0;; ++i) {
      DWORD length = registry::kMaxKeyNameLength + 1;
      if (::RegEnumKeyExW(key.Get(), i, child, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      const std::string candidate = Narrow(std::wstring_view(child, length));
      if (candidate.size() == name.size() &&
          std::equal(candidate.begin(), candidate.end(), name.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
          })) {
        found = candidate;
        break;
      }
    }
    if (!stored.empty()) stored.push_back('\\');
    stored += found;
    if (!parent.empty()) parent.push_back('\\');
    parent += found;
  }
  return stored;
}

}  // namespace

long RegOpenKey(Hive hive, std::string_view subKey, RegKey& out) {
  std::vector<std::string_view> names;
  if (!SplitKeyPath(subKey, names)) return Fail(kErrorInvalidParameter);
  OpenKey key;
  const LONG rc =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(NativePath(subKey)).c_str(), 0, KEY_READ, key.Out());
  if (rc != ERROR_SUCCESS) return Fail(rc);
  out.m_hive = hive;
  out.m_path = StoredCase(subKey);
  out.m_open = true;
  return kErrorSuccess;
}

long RegCreateKey(Hive hive, std::string_view subKey, RegKey& out, bool* created) {
  std::vector<std::string_view> names;
  if (!SplitKeyPath(subKey, names)) return Fail(kErrorInvalidParameter);
  // An existing key is opened for reading only, so that a reader may "create" a key that is
  // there without the right to change it.
  bool made = false;
  OpenKey existing;
  LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(NativePath(subKey)).c_str(), 0, KEY_READ,
                            existing.Out());
  if (rc == ERROR_FILE_NOT_FOUND) {
    // One level at a time: the system creates only so many levels in one call.
    std::string path;
    rc = ERROR_SUCCESS;
    for (const std::string_view name : names) {
      if (!path.empty()) path.push_back('\\');
      path.append(name);
      OpenKey level;
      DWORD disposition = 0;
      rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(NativePath(path)).c_str(), 0, nullptr,
                             REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, level.Out(),
                             &disposition);
      if (rc != ERROR_SUCCESS) break;
      made = made || disposition == REG_CREATED_NEW_KEY;
    }
  }
  if (rc != ERROR_SUCCESS) return Fail(rc);
  if (created) *created = made;
  out.m_hive = hive;
  out.m_path = StoredCase(subKey);
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
  if (data && !size) return Fail(kErrorInvalidParameter);
  OpenKey open;
  if (const long error = OpenExisting(key, KEY_QUERY_VALUE, open)) return error;
  RegValue value;
  if (const long error = ReadValue(open.Get(), name, value)) return Fail(error);
  if (type) *type = value.type;
  const auto needed = static_cast<std::uint32_t>(value.data.size());
  if (!data) {
    if (size) *size = needed;
    return kErrorSuccess;
  }
  if (*size < needed) {
    *size = needed;
    return Fail(kErrorMoreData);
  }
  if (needed > 0) std::memcpy(data, value.data.data(), needed);
  *size = needed;
  return kErrorSuccess;
}

long RegSetValue(const RegKey& key, std::string_view name, std::uint32_t type, const void* data,
                 std::uint32_t size) {
  if (!data && size > 0) return Fail(kErrorInvalidParameter);
  if (!ValidValueName(name)) return Fail(kErrorInvalidParameter);
  OpenKey open;
  if (const long error = OpenExisting(key, KEY_SET_VALUE, open)) return error;
  if (const long rc = WriteValue(open.Get(), name, type, data, size)) return Fail(rc);
  return kErrorSuccess;
}

long RegDeleteValue(const RegKey& key, std::string_view name) {
  OpenKey open;
  if (const long error = OpenExisting(key, KEY_SET_VALUE, open)) return error;
  const LONG rc = ::RegDeleteValueW(open.Get(), Wide(name).c_str());
  if (rc != ERROR_SUCCESS) return Fail(rc);
  return kErrorSuccess;
}

long RegDeleteTree(Hive, std::string_view subKey) {
  std::vector<std::string_view> names;
  if (!SplitKeyPath(subKey, names) || names.empty()) return Fail(kErrorInvalidParameter);
  const std::wstring path = Wide(NativePath(subKey));
  {
    OpenKey there;
    const LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, there.Out());
    if (rc != ERROR_SUCCESS) return Fail(rc);
  }
  // Everything below the key and the key itself (some versions of the system leave the key
  // itself, so it is deleted after when it is still there).
  LONG rc = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
  if (rc == ERROR_SUCCESS) {
    rc = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return Fail(rc);
  return kErrorSuccess;
}

long RegFlushKey(const RegKey& key) {
  OpenKey open;
  if (const long error = OpenExisting(key, KEY_READ, open)) return error;
  const LONG rc = ::RegFlushKey(open.Get());
  if (rc != ERROR_SUCCESS) return Fail(rc);
  return kErrorSuccess;
}

// The system writes its hive itself; there is no file of ours to bring up to date.
long RegWriteHive(Hive) {
  const LONG rc = ::RegFlushKey(HKEY_LOCAL_MACHINE);
  if (rc != ERROR_SUCCESS) return Fail(rc);
  return kErrorSuccess;
}

void RegReleaseCache() {}

long RegEnumValues(const RegKey& key, std::vector<RegValue>& out) {
  out.clear();
  OpenKey open;
  if (const long error = OpenExisting(key, KEY_QUERY_VALUE, open)) return error;
  DWORD count = 0;
  DWORD longestName = 0;
  LONG rc = ::RegQueryInfoKeyW(open.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &count, &longestName, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return Fail(rc);
  std::vector<wchar_t> name(longestName + 1);
  for (DWORD i = 0; i < count; ++i) {
    DWORD length = static_cast<DWORD>(name.size());
    rc = ::RegEnumValueW(open.Get(), i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return Fail(rc);
    RegValue value;
    if (const long error =
            ReadValue(open.Get(), Narrow(std::wstring_view(name.data(), length)), value))
      return Fail(error);
    out.push_back(std::move(value));
  }
  return kErrorSuccess;
}

long RegEnumSubKeys(const RegKey& key, std::vector<std::string>& out) {
  out.clear();
  OpenKey open;
  if (const long error = OpenExisting(key, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, open))
    return error;
  wchar_t name[registry::kMaxKeyNameLength + 1];
  for (DWORD i = 0;; ++i) {
    DWORD length = registry::kMaxKeyNameLength + 1;
    const LONG rc =
        ::RegEnumKeyExW(open.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return Fail(rc);
    out.push_back(Narrow(std::wstring_view(name, length)));
  }
  return kErrorSuccess;
}

long RegQueryString(const RegKey& key, std::string_view name, std::uint32_t limit,
                    std::string& out) {
  OpenKey open;
  if (const long error = OpenExisting(key, KEY_QUERY_VALUE, open)) return error;
  RegValue value;
  if (const long error = ReadValue(open.Get(), name, value)) return Fail(error);
  const auto* bytes = reinterpret_cast<const char*>(value.data.data());
  const std::string_view all(bytes, value.data.size());
  const std::size_t zero = all.find('\0');
  // The caller's buffer must hold the text and a zero after it.
  const std::size_t needed = zero == std::string_view::npos ? all.size() + 1 : all.size();
  if (needed > limit) return Fail(kErrorMoreData);
  out.assign(all.substr(0, zero));
  return kErrorSuccess;
}

long RegQueryDword(const RegKey& key, std::string_view name, std::uint32_t& out) {
  OpenKey open;
  if (const long error = OpenExisting(key, KEY_QUERY_VALUE, open)) return error;
  RegValue value;
  if (const long error = ReadValue(open.Get(), name, value)) return Fail(error);
  if (const long error = RegDwordOf(value, out)) return Fail(error);
  return kErrorSuccess;
}

long RegSetString(const RegKey& key, std::string_view name, std::string_view text, bool withZero) {
  std::string data(text);
  if (withZero) data += '\0';
  if (data.size() > kMaxHiveFileSize) return Fail(kErrorRegistryQuotaLimit);
  return RegSetValue(key, name, kRegSz, data.data(), static_cast<std::uint32_t>(data.size()));
}

long RegSetDword(const RegKey& key, std::string_view name, std::uint32_t value) {
  const std::vector<std::byte> data = RegDwordBytes(value);
  return RegSetValue(key, name, kRegDword, data.data(), 4);
}

// The system already writes its hive lazily and flushes it by itself.
long RegSetDwordLazy(const RegKey& key, std::string_view name, std::uint32_t value) {
  return RegSetDword(key, name, value);
}

long RegUpdateDwordLazy(const RegKey& key, std::string_view name,
                        const std::function<std::uint32_t(std::optional<std::uint32_t>)>& update,
                        std::uint32_t* result) {
  return RegUpdateDword(key, name, update, result);
}

long RegUpdateDword(const RegKey& key, std::string_view name,
                    const std::function<std::uint32_t(std::optional<std::uint32_t>)>& update,
                    std::uint32_t* result) {
  if (!ValidValueName(name)) return Fail(kErrorInvalidParameter);
  const UpdateLock lock;
  if (!lock.Held()) return Fail(kErrorAccessDenied);
  OpenKey open;
  if (const long error = OpenExisting(key, KEY_QUERY_VALUE | KEY_SET_VALUE, open)) return error;
  std::optional<std::uint32_t> current;
  RegValue value;
  const long read = ReadValue(open.Get(), name, value);
  if (read == kErrorSuccess) {
    std::uint32_t number = 0;
    if (const long error = RegDwordOf(value, number)) return Fail(error);
    current = number;
  } else if (read != kErrorFileNotFound) {
    return Fail(read);
  }
  const std::uint32_t next = update(current);
  if (result) *result = next;
  if (read == kErrorSuccess && value.type == kRegDword && current == next) return kErrorSuccess;
  RegValue write{std::string(name), kRegDword, RegDwordBytes(next)};
  if (const long error = WriteValue(open.Get(), write)) return Fail(error);
  return kErrorSuccess;
}

long RegUpdateValues(
    const RegKey& key,
    const std::function<long(const RegValueFinder&, std::vector<RegValue>&)>& update) {
  const UpdateLock lock;
  if (!lock.Held()) return Fail(kErrorAccessDenied);
  OpenKey open;
  if (const long error = OpenExisting(key, KEY_QUERY_VALUE | KEY_SET_VALUE, open)) return error;
  std::vector<RegValue> current;
  if (const long error = RegEnumValues(key, current)) return error;
  const RegValueFinder find = [&current](std::string_view name) -> const RegValue* {
    for (const RegValue& value : current) {
      if (value.name.size() != name.size()) continue;
      bool same = true;
      for (std::size_t i = 0; i < name.size() && same; ++i)
        same = std::tolower(static_cast<unsigned char>(value.name[i])) ==
               std::tolower(static_cast<unsigned char>(name[i]));
      if (same) return &value;
    }
    return nullptr;
  };
  std::vector<RegValue> writes;
  if (const long error = update(find, writes)) return Fail(error);
  for (const RegValue& write : writes)
    if (!ValidValueName(write.name)) return Fail(kErrorInvalidParameter);
  // The writes one by one; when one fails, those made already are put back as they were.
  std::vector<std::pair<std::string, const RegValue*>> made;
  for (const RegValue& write : writes) {
    const RegValue* old = find(write.name);
    if (old && old->type == write.type && old->data == write.data) continue;
    if (const long error = WriteValue(open.Get(), write)) {
      for (auto undo = made.rbegin(); undo != made.rend(); ++undo) {
        if (undo->second)
          WriteValue(open.Get(), *undo->second);
        else
          ::RegDeleteValueW(open.Get(), Wide(undo->first).c_str());
      }
      return Fail(error);
    }
    made.emplace_back(write.name, old);
  }
  return kErrorSuccess;
}

long RegUpdateValuesLazy(
    const RegKey& key,
    const std::function<long(const RegValueFinder&, std::vector<RegValue>&)>& update) {
  return RegUpdateValues(key, update);
}

namespace {

// Copies the key at path and everything below it into node, with an explicit stack.
long ReadTree(const std::string& path, registry::Tree& tree,
              const std::vector<std::string_view>& names) {
  struct Pending {
    std::string path;
    std::vector<std::string> names;
  };
  std::vector<Pending> stack;
  stack.push_back({path, std::vector<std::string>(names.begin(), names.end())});
  while (!stack.empty()) {
    Pending item = std::move(stack.back());
    stack.pop_back();
    RegKey key;
    std::vector<std::string_view> views(item.names.begin(), item.names.end());
    if (const long error = RegOpenKey(Hive::LocalMachine, item.path, key)) return error;
    registry::KeyNode* node = nullptr;
    if (const long error = tree.Create(views, node, nullptr)) return error;
    std::vector<RegValue> values;
    if (const long error = RegEnumValues(key, values)) return error;
    for (RegValue& value : values)
      if (const long error = tree.SetValue(*node, value.name, value.type, std::move(value.data)))
        return error;
    std::vector<std::string> children;
    if (const long error = RegEnumSubKeys(key, children)) return error;
    for (const std::string& child : children) {
      Pending next{item.path.empty() ? child : item.path + "\\" + child, item.names};
      next.names.push_back(child);
      stack.push_back(std::move(next));
    }
  }
  return kErrorSuccess;
}

// Writes every key and value of the tree into the registry, with an explicit stack.
long WriteTree(const registry::KeyNode& root) {
  std::vector<std::pair<const registry::KeyNode*, std::string>> stack{{&root, std::string()}};
  while (!stack.empty()) {
    auto [node, path] = stack.back();
    stack.pop_back();
    if (!path.empty() || !node->values.empty()) {
      RegKey key;
      if (const long error = RegCreateKey(Hive::LocalMachine, path, key)) return error;
      for (const RegValue& value : node->values)
        if (const long error = RegSetValue(key, value.name, value.type, value.data.data(),
                                           static_cast<std::uint32_t>(value.data.size())))
          return error;
    }
    for (const auto& child : node->children)
      stack.emplace_back(child.second.get(),
                         path.empty() ? child.second->name : path + "\\" + child.second->name);
  }
  return kErrorSuccess;
}

}  // namespace

long RegExport(Hive, std::string_view subKey, std::string& out) {
  std::vector<std::string_view> names;
  if (!SplitKeyPath(subKey, names)) return Fail(kErrorInvalidParameter);
  registry::Tree tree;
  if (const long error = ReadTree(std::string(subKey), tree, names)) return Fail(error);
  const std::string stored = StoredCase(subKey);
  out = registry::ExportText(*tree.Find(names), stored);
  return kErrorSuccess;
}

// The text's deletions first, then what it sets (registry_format.h): the same result as the
// other backend's change of its tree line by line. A key or value to delete that is not there
// is no error, as in the tree.
long RegImport(Hive, std::string_view text, std::string* problem) {
  if (problem) problem->clear();
  if (text.size() > kMaxHiveFileSize) {
    if (problem) *problem = "the text is larger than the hive may be";
    return Fail(kErrorRegistryQuotaLimit);
  }
  registry::Tree scratch;
  std::string why;
  std::vector<registry::Removal> removals;
  if (registry::ParseText(text, scratch, why, &removals) != kErrorSuccess) {
    if (problem) *problem = why;
    return Fail(kErrorInvalidParameter);
  }
  for (const registry::Removal& removal : removals) {
    long error = kErrorSuccess;
    if (!removal.value) {
      error = RegDeleteTree(Hive::LocalMachine, removal.key);
    } else {
      RegKey key;
      error = RegOpenKey(Hive::LocalMachine, removal.key, key);
      if (error == kErrorSuccess) error = RegDeleteValue(key, *removal.value);
    }
    if (error != kErrorSuccess && error != kErrorFileNotFound && error != kErrorKeyDeleted)
      return Fail(error);
  }
  return WriteTree(scratch.Root());
}

std::string RegHiveProblem(Hive) { return {}; }

std::string HivePath(Hive) {
  const std::string root = RootPrefix();
  return root.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + root;
}

}  // namespace faxmail::platform
