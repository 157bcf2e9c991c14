// Cutting text to a byte limit on a UTF-8 character boundary.
#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace faxmail {
namespace {

TEST(Utf8, TellsWellFormedTextFromTheRest) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii.pdf", true},
      {"\xD0\x94\xD0\xBE\xD0\xB3\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x80", true},  // Cyrillic
      {"\xE6\x96\x87\xE4\xBB\xB6", true},                                  // CJK
      {"\xF0\x9F\x93\x84", true},                                          // emoji
      {"\xEF\xBB\xBF"
       "bom",
       true},
      {"caf\xE9", false},           // Latin-1
      {"\xD0", false},              // cut sequence
      {"\x80", false},              // stray continuation byte
      {"\xC0\xAF", false},          // overlong '/'
      {"\xE0\x80\xAF", false},      // overlong '/'
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF0\x9F\x93", false},      // emoji cut short
      {"\xFF", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsValidUtf8(c.text), c.valid) << c.text;
}

TEST(Utf8, PrefixEndsOnACharacterBoundary) {
  const std::string cyrillic = "\xD0\x94\xD0\xBE\xD0\xB3";  // 3 characters, 6 bytes
  const std::string cjk = "\xE6\x96\x87\xE4\xBB\xB6";       // 2 characters, 6 bytes
  const std::string emoji =
      "a\xF0\x9F\x93\x84"
      "b";  // 3 characters, 6 bytes
  struct Case {
    std::string text;
    std::size_t max;
    std::string prefix;
  } cases[] = {
      {"abc", 5, "abc"},
      {"abcdef", 3, "abc"},
      {"abc", 0, ""},
      {cyrillic, 6, cyrillic},
      {cyrillic, 5, "\xD0\x94\xD0\xBE"},
      {cyrillic, 4, "\xD0\x94\xD0\xBE"},
      {cyrillic, 1, ""},
      {cjk, 5, "\xE6\x96\x87"},
      {cjk, 3, "\xE6\x96\x87"},
      {cjk, 2, ""},
      {emoji, 4, "a"},
      {emoji, 2, "a"},
      {emoji, 5, "a\xF0\x9F\x93\x84"},
      // Not UTF-8: no boundaries to keep, so the cut is bytewise.
      {"caf\xE9\xE9\xE9", 4, "caf\xE9"},
      {"\xD0\x94\xD0\xBE\xD0", 3, "\xD0\x94\xD0"},
  };
  for (const auto& c : cases) {
    const auto prefix = Utf8Prefix(c.text, c.max);
    EXPECT_EQ(std::string(prefix), c.prefix) << c.text << " " << c.max;
    EXPECT_LE(prefix.size(), c.max);
    if (IsValidUtf8(c.text)) {
      EXPECT_TRUE(IsValidUtf8(prefix)) << c.text << " " << c.max;
    }
  }
}

}  // namespace
}  // namespace faxmail
