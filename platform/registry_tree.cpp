#include "platform/registry_tree.h"

#include <utility>

#include "base/text.h"
#include "platform/win_error.h"

namespace faxmail::platform::registry {

bool HasLineBreakOrZero(std::string_view name) {
  return name.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos;
}

bool ValidValueName(std::string_view name) {
  return name.size() <= kMaxValueNameLength && !HasLineBreakOrZero(name);
}

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

const RegValue* KeyNode::FindValue(std::string_view valueName) const {
  const auto it = index.find(LowerAscii(valueName));
  return it == index.end() ? nullptr : &values[it->second];
}

void KeyNode::Reindex() {
  index.clear();
  for (std::size_t i = 0; i < values.size(); ++i) index.emplace(LowerAscii(values[i].name), i);
}

KeyNode* Tree::Find(const std::vector<std::string_view>& names) {
  KeyNode* node = &m_root;
  for (const auto name : names) {
    const auto it = node->children.find(LowerAscii(name));
    if (it == node->children.end()) return nullptr;
    node = it->second.get();
  }
  return node;
}

long Tree::Create(const std::vector<std::string_view>& names, KeyNode*& out, bool* created) {
  KeyNode* node = &m_root;
  std::size_t depth = 0;
  for (; depth < names.size(); ++depth) {
    const auto it = node->children.find(LowerAscii(names[depth]));
    if (it == node->children.end()) break;
    node = it->second.get();
  }
  if (created) *created = depth < names.size();
  if (m_keys + (names.size() - depth) > kMaxKeys) return kErrorRegistryQuotaLimit;
  for (; depth < names.size(); ++depth) {
    auto child = std::make_unique<KeyNode>();
    child->name = std::string(names[depth]);
    KeyNode* next = child.get();
    node->children.emplace(LowerAscii(names[depth]), std::move(child));
    ++m_keys;
    node = next;
  }
  out = node;
  return kErrorSuccess;
}

long Tree::SetValue(KeyNode& node, std::string_view name, std::uint32_t type,
                    std::vector<std::byte> data) {
  if (!ValidValueName(name)) return kErrorInvalidParameter;
  std::string lower = LowerAscii(name);
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

bool Tree::DeleteValue(KeyNode& node, std::string_view name) {
  const auto it = node.index.find(LowerAscii(name));
  if (it == node.index.end()) return false;
  node.values.erase(node.values.begin() + static_cast<std::ptrdiff_t>(it->second));
  node.Reindex();
  --m_values;
  return true;
}

bool Tree::DeleteTree(const std::vector<std::string_view>& names) {
  if (names.empty()) return false;
  std::vector<std::string_view> parentNames(names.begin(), names.end() - 1);
  KeyNode* parent = Find(parentNames);
  if (!parent) return false;
  const auto it = parent->children.find(LowerAscii(names.back()));
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

std::string StoredPath(Tree& tree, const std::vector<std::string_view>& names) {
  std::string path;
  KeyNode* node = &tree.Root();
  for (const auto name : names) {
    node = node->children.find(LowerAscii(name))->second.get();
    if (!path.empty()) path += '\\';
    path += node->name;
  }
  return path;
}

}  // namespace faxmail::platform::registry
