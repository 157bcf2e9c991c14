// The text routines of base/: letter case folds only ASCII letters, so that bytes of other
// encodings in names and headers stay as they are; trims take only the given characters.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "base/text.h"

namespace faxmail {
namespace {

TEST(BaseText, LowerAsciiFoldsOnlyAsciiLetters) {
  EXPECT_EQ(LowerAscii(std::string_view("SOFTWARE\\Almoran [Z@`{]")), "software\\almoran [z@`{]");
  // Bytes above 0x7f (Latin-1 or UTF-8 letters) are not letters here.
  EXPECT_EQ(LowerAscii(std::string_view("\xc3\x89\xc9")), "\xc3\x89\xc9");
  EXPECT_EQ(LowerAscii('A'), 'a');
  EXPECT_EQ(LowerAscii('['), '[');
}

TEST(BaseText, CaseInsensitiveComparisons) {
  struct Case {
    std::string_view a, b;
    bool equal;
  } cases[] = {
      {"HKLM", "hklm", true},  {"Dword:", "dWORD:", true}, {"a", "ab", false},
      {"@", "`", false},       {"[", "{", false},          {"", "", true},
      {"\xc9", "\xe9", false},
  };
  for (const auto& c : cases) EXPECT_EQ(EqualsNoCase(c.a, c.b), c.equal) << c.a << " " << c.b;
  EXPECT_TRUE(StartsWithNoCase("HEX(2):00", "hex"));
  EXPECT_FALSE(StartsWithNoCase("he", "hex"));
  EXPECT_TRUE(EndsWithNoCase("name.TMP", ".tmp"));
  EXPECT_FALSE(EndsWithNoCase("mp", ".tmp"));
  EXPECT_EQ(FindNoCase("=?iso?q?x?=", "?Q?"), 5u);
  EXPECT_EQ(FindNoCase("abc", "abcd"), std::string_view::npos);
  EXPECT_EQ(FindNoCase("aXa", "x", 2), std::string_view::npos);
}

TEST(BaseText, TrimsTakeOnlyTheGivenCharacters) {
  struct Case {
    std::string_view text, both, left, right;
  } cases[] = {
      {" \t a b \t ", "a b", "a b \t ", " \t a b"},
      {"\r a \r", "\r a \r", "\r a \r", "\r a \r"},  // CR is not a blank here
      {" \t ", "", "", ""},
      {"", "", "", ""},
      {"x", "x", "x", "x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Trim(c.text, " \t"), c.both) << '[' << c.text << ']';
    EXPECT_EQ(TrimLeft(c.text, " \t"), c.left) << '[' << c.text << ']';
    EXPECT_EQ(TrimRight(c.text, " \t"), c.right) << '[' << c.text << ']';
  }
}

}  // namespace
}  // namespace faxmail
