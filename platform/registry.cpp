// The registry store's functions: each checks its arguments, then runs on the hive of this
// process (registry_cache.h) as a read or a change. The key tree, the export format and the
// lock live in registry_tree, registry_format and registry_lock.
#include "platform/registry.h"

#include <cstring>
#include <utility>

#include "platform/file.h"
#include "platform/registry_cache.h"
#include "platform/registry_format.h"
#include "platform/registry_tree.h"
#include "platform/win_error.h"

namespace faxmail::platform {

using registry::ChangeValues;
using registry::ExportText;
using registry::KeyNode;
using registry::ParseText;
using registry::RegistryFolder;
using registry::SplitKeyPath;
using registry::StoredPath;
using registry::Tree;
using registry::ValidValueName;
using registry::WithHive;
using registry::WithKey;

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
  return ChangeValues(key, [&](Tree& tree, KeyNode& node, std::vector<std::string>& changed) {
    if (const RegValue* old = node.FindValue(name); old && old->type == type && old->data == bytes)
      return kErrorSuccess;  // nothing to write
    changed.emplace_back(name);
    return tree.SetValue(node, name, type, std::move(bytes));
  });
}

long RegDeleteValue(const RegKey& key, std::string_view name) {
  return ChangeValues(key, [&](Tree& tree, KeyNode& node, std::vector<std::string>& changed) {
    if (!tree.DeleteValue(node, name)) return kErrorFileNotFound;
    changed.emplace_back(name);
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
  // Every change but a lazy one is on the disk when it returns; those are synced here.
  if (const long result = WithKey(key, false, [](Tree&, KeyNode&, bool&) { return kErrorSuccess; });
      result != kErrorSuccess)
    return result;
  return registry::SyncLog();
}

void RegReleaseCache() { registry::ReleaseCache(); }

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
    return RegDwordOf(*value, out);
  });
}

long RegSetString(const RegKey& key, std::string_view name, std::string_view text, bool withZero) {
  std::string data(text);
  if (withZero) data += '\0';
  if (data.size() > kMaxHiveFileSize) return kErrorRegistryQuotaLimit;
  return RegSetValue(key, name, kRegSz, data.data(), static_cast<std::uint32_t>(data.size()));
}

long RegWriteHive(Hive hive) {
  return WithHive(hive, true, [](Tree&, bool& changed) {
    changed = true;
    return kErrorSuccess;
  });
}

long RegSetDword(const RegKey& key, std::string_view name, std::uint32_t value) {
  const std::vector<std::byte> data = RegDwordBytes(value);
  return RegSetValue(key, name, kRegDword, data.data(), 4);
}

long RegSetDwordLazy(const RegKey& key, std::string_view name, std::uint32_t value) {
  if (!ValidValueName(name)) return kErrorInvalidParameter;
  std::vector<std::byte> bytes = RegDwordBytes(value);
  return ChangeValues(
      key,
      [&](Tree& tree, KeyNode& node, std::vector<std::string>& changed) {
        if (const RegValue* old = node.FindValue(name);
            old && old->type == kRegDword && old->data == bytes)
          return kErrorSuccess;
        changed.emplace_back(name);
        return tree.SetValue(node, name, kRegDword, std::move(bytes));
      },
      false);
}

namespace {

long UpdateDword(const RegKey& key, std::string_view name,
                 const std::function<std::uint32_t(std::optional<std::uint32_t>)>& update,
                 std::uint32_t* result, bool durable) {
  if (!ValidValueName(name)) return kErrorInvalidParameter;
  return ChangeValues(
      key,
      [&](Tree& tree, KeyNode& node, std::vector<std::string>& changed) {
        std::optional<std::uint32_t> current;
        const RegValue* value = node.FindValue(name);
        if (value) {
          std::uint32_t number = 0;
          if (const long r = RegDwordOf(*value, number); r != kErrorSuccess) return r;
          current = number;
        }
        const std::uint32_t next = update(current);
        if (result) *result = next;
        if (value && value->type == kRegDword && current == next) return kErrorSuccess;
        changed.emplace_back(name);
        return tree.SetValue(node, name, kRegDword, RegDwordBytes(next));
      },
      durable);
}

}  // namespace

long RegUpdateDword(const RegKey& key, std::string_view name,
                    const std::function<std::uint32_t(std::optional<std::uint32_t>)>& update,
                    std::uint32_t* result) {
  return UpdateDword(key, name, update, result, true);
}

long RegUpdateDwordLazy(const RegKey& key, std::string_view name,
                        const std::function<std::uint32_t(std::optional<std::uint32_t>)>& update,
                        std::uint32_t* result) {
  return UpdateDword(key, name, update, result, false);
}

namespace {

long UpdateValues(const RegKey& key,
                  const std::function<long(const RegValueFinder&, std::vector<RegValue>&)>& update,
                  bool durable) {
  return ChangeValues(
      key,
      [&](Tree& tree, KeyNode& node, std::vector<std::string>& changed) {
        const RegValueFinder find = [&node](std::string_view name) { return node.FindValue(name); };
        std::vector<RegValue> writes;
        if (const long result = update(find, writes); result != kErrorSuccess) return result;
        for (const RegValue& write : writes)
          if (!ValidValueName(write.name)) return kErrorInvalidParameter;
        for (RegValue& write : writes) {
          const RegValue* old = node.FindValue(write.name);
          if (old && old->type == write.type && old->data == write.data) continue;
          changed.push_back(write.name);
          if (const long result =
                  tree.SetValue(node, write.name, write.type, std::move(write.data));
              result != kErrorSuccess)
            return result;
        }
        return kErrorSuccess;
      },
      durable);
}

}  // namespace

long RegUpdateValues(
    const RegKey& key,
    const std::function<long(const RegValueFinder&, std::vector<RegValue>&)>& update) {
  return UpdateValues(key, update, true);
}

long RegUpdateValuesLazy(
    const RegKey& key,
    const std::function<long(const RegValueFinder&, std::vector<RegValue>&)>& update) {
  return UpdateValues(key, update, false);
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
  std::string why;
  if (ParseText(text, scratch, why) != kErrorSuccess) {
    if (problem) *problem = why;
    return kErrorInvalidParameter;
  }
  return WithHive(hive, true, [&](Tree& tree, bool& changed) {
    changed = true;
    const long result = ParseText(text, tree, why);
    if (result != kErrorSuccess && problem) *problem = why;
    return result == kErrorSuccess ? kErrorSuccess : kErrorRegistryQuotaLimit;
  });
}

std::string RegHiveProblem(Hive hive) { return registry::LoadProblem(hive); }

std::string HivePath(Hive hive) {
  (void)hive;
  return RegistryFolder() + "/" + registry::kHiveFileName;
}

}  // namespace faxmail::platform
