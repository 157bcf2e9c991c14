// The registry's key tree: keys with their values, in memory, as the store and the export
// format see them. It knows nothing of files or locks.
//
// Key and value names compare without regard to ASCII letter case and keep the case they were
// created with. The tree counts its keys and values and refuses to grow past kMaxKeys and
// kMaxValues (kErrorRegistryQuotaLimit); paths split into names of at most kMaxKeyNameLength
// bytes and kMaxKeyDepth levels. Every walk over the tree uses an explicit stack, never
// recursion over its depth. Not thread-safe: its owner serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry.h"

namespace faxmail::platform::registry {

// The system's own limits, so that a key that works here works there too.
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxKeyDepth = 512;
inline constexpr std::size_t kMaxValueNameLength = 16383;
// A hive of the maximum size made of the shortest possible lines must still fit in some tens
// of megabytes of memory.
inline constexpr std::size_t kMaxKeys = 65536;
inline constexpr std::size_t kMaxValues = 262144;

// A name may not break the hive file's lines.
bool HasLineBreakOrZero(std::string_view name);
bool ValidValueName(std::string_view name);

// Splits "A\B\C" into its key names; an empty path is the root and one trailing backslash is
// allowed. Fails for empty names, names over the limits and paths too deep.
bool SplitKeyPath(std::string_view path, std::vector<std::string_view>& names);

struct KeyNode {
  std::string name;
  std::vector<RegValue> values;                              // in stored order
  std::unordered_map<std::string, std::size_t> index;        // lower-case name -> position
  std::map<std::string, std::unique_ptr<KeyNode>> children;  // by lower-case name

  const RegValue* FindValue(std::string_view valueName) const;
  void Reindex();
};

class Tree {
 public:
  KeyNode& Root() { return m_root; }
  const KeyNode& Root() const { return m_root; }

  // The key at names, or null.
  KeyNode* Find(const std::vector<std::string_view>& names);
  // Finds or creates the key and its parents.
  long Create(const std::vector<std::string_view>& names, KeyNode*& out, bool* created);
  long SetValue(KeyNode& node, std::string_view name, std::uint32_t type,
                std::vector<std::byte> data);
  bool DeleteValue(KeyNode& node, std::string_view name);
  // Removes a key (not the root) with everything below it.
  bool DeleteTree(const std::vector<std::string_view>& names);

 private:
  KeyNode m_root;
  std::size_t m_keys = 0;
  std::size_t m_values = 0;
};

// The stored-case path of a key that exists.
std::string StoredPath(Tree& tree, const std::vector<std::string_view>& names);

}  // namespace faxmail::platform::registry
