// Fuzz target of the registry export format's parser: libFuzzer's entry point (clang
// -fsanitize=fuzzer), also driven by tests/fuzz/support/fuzz_driver.cpp under GCC.
//
// Each input is parsed into an empty tree. A failure must name its line. A text that parses
// is written out, and that text must parse back to the same tree, key names, value names,
// types and bytes alike, and write out unchanged (what the store writes, it must read as the
// same hive). The same input as UTF-16LE with its byte order mark,
// and with CR LF line ends, must give the same outcome: the same tree, or the same problem.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry_format.h"
#include "platform/registry_tree.h"
#include "platform/win_error.h"

namespace {

using namespace faxmail::platform;
using namespace faxmail::platform::registry;

struct Outcome {
  long result = kErrorSuccess;
  std::string problem;  // when the text does not parse
  std::string text;     // the tree written out, when it does
  bool operator==(const Outcome&) const = default;
};

Outcome Parse(std::string_view input, Tree& tree) {
  Outcome outcome;
  outcome.result = ParseText(input, tree, outcome.problem);
  if (outcome.result == kErrorSuccess) outcome.text = ExportText(tree.Root(), std::string());
  return outcome;
}

Outcome Parse(std::string_view input) {
  Tree tree;
  return Parse(input, tree);
}

bool SameValues(const KeyNode& a, const KeyNode& b) {
  if (a.values.size() != b.values.size()) return false;
  for (std::size_t i = 0; i < a.values.size(); ++i) {
    const RegValue& x = a.values[i];
    const RegValue& y = b.values[i];
    if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
  }
  return true;
}

// Both trees hold the same keys, with the same stored names, values in the same order.
bool SameTree(const KeyNode& a, const KeyNode& b) {
  std::vector<std::pair<const KeyNode*, const KeyNode*>> stack{{&a, &b}};
  while (!stack.empty()) {
    const auto [x, y] = stack.back();
    stack.pop_back();
    if (x->name != y->name || !SameValues(*x, *y) || x->children.size() != y->children.size())
      return false;
    auto i = x->children.begin();
    auto j = y->children.begin();
    for (; i != x->children.end(); ++i, ++j) {
      if (i->first != j->first) return false;
      stack.emplace_back(i->second.get(), j->second.get());
    }
  }
  return true;
}

[[noreturn]] void Finding(const char* what, std::string_view a, std::string_view b) {
  std::fprintf(stderr, "%s\n--- first\n%.*s\n--- second\n%.*s\n", what, static_cast<int>(a.size()),
               a.data(), static_cast<int>(b.size()), b.data());
  std::abort();
}

std::string Describe(const Outcome& outcome) {
  return outcome.result == kErrorSuccess
             ? outcome.text
             : "error " + std::to_string(outcome.result) + ": " + outcome.problem;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  Tree tree;
  const Outcome first = Parse(input, tree);
  if (first.result != kErrorSuccess) {
    if (first.result != kErrorInvalidParameter || first.problem.rfind("line ", 0) != 0)
      Finding("a failure without its line", input, Describe(first));
  } else {
    Tree reread;
    const Outcome again = Parse(first.text, reread);
    if (again.result != kErrorSuccess)
      Finding("written text does not parse", first.text, Describe(again));
    if (!SameTree(tree.Root(), reread.Root()))
      Finding("written text parses to another tree", input, first.text);
    if (again.text != first.text)
      Finding("written text does not write back the same", first.text, again.text);
  }

  // Byte order marks of either kind are taken only at the start of the text itself, and a
  // CR put into UTF-16 text would split its characters.
  const bool wide = input.substr(0, 2) == "\xff\xfe";
  const bool marked = wide || input.substr(0, 3) == "\xef\xbb\xbf";
  if (!marked) {
    std::string utf16 = "\xff\xfe";
    for (const char c : input) {
      utf16 += c;
      utf16 += '\0';
    }
    const Outcome widened = Parse(utf16);
    if (!(widened == first))
      Finding("UTF-16 text parses differently", Describe(first), Describe(widened));
  }
  if (!wide && input.find('\r') == std::string_view::npos) {
    std::string crlf;
    for (const char c : input) {
      if (c == '\n') crlf += '\r';
      crlf += c;
    }
    const Outcome windows = Parse(crlf);
    if (!(windows == first))
      Finding("CR LF text parses differently", Describe(first), Describe(windows));
  }
  return 0;
}
