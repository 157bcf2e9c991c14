// Text as fax pages: wrapping, page breaks, the page budget, and PostScript strings that no
// text can break out of. Rendering itself is tested through whole envelopes.
#include "tools/faxmailsim/fax_image.h"

#include <gtest/gtest.h>

#include <string>

namespace faxmail::sim {
namespace {

TEST(PaginateText, LinesTabsWrapAndFormFeeds) {
  bool cut = true;
  const auto pages =
      PaginateText("one\r\ntwo\tx\n" + std::string(kTextColumns + 5, 'w') + "\fnext\n", 5, cut);
  EXPECT_FALSE(cut);
  ASSERT_EQ(pages.size(), 2u);
  ASSERT_EQ(pages[0].size(), 4u);
  EXPECT_EQ(pages[0][0], "one");
  EXPECT_EQ(pages[0][1], "two     x");
  EXPECT_EQ(pages[0][2], std::string(kTextColumns, 'w'));
  EXPECT_EQ(pages[0][3], "wwwww");
  EXPECT_EQ(pages[1], TextPage{"next"});
}

TEST(PaginateText, FullPagesAndTheBudget) {
  std::string text;
  for (std::size_t i = 0; i < kTextLinesPerPage * 3; ++i) text += "line\n";
  bool cut = false;
  EXPECT_EQ(PaginateText(text, 3, cut).size(), 3u);
  EXPECT_FALSE(cut);
  const auto two = PaginateText(text, 2, cut);
  EXPECT_EQ(two.size(), 2u);
  EXPECT_TRUE(cut);
  EXPECT_EQ(two[1].size(), kTextLinesPerPage);
  EXPECT_TRUE(PaginateText(text, 0, cut).empty());
  EXPECT_TRUE(cut);
}

TEST(PaginateText, EmptyTextIsOneEmptyPage) {
  bool cut = true;
  const auto pages = PaginateText("", 3, cut);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_TRUE(pages[0].empty());
  EXPECT_FALSE(cut);
}

TEST(PostScriptString, EscapesEverythingThatIsNotPlainText) {
  EXPECT_EQ(PostScriptString("a(b)c\\d"), "(a\\(b\\)c\\\\d)");
  EXPECT_EQ(PostScriptString("caf\xe9"), "(caf\\351)");
  EXPECT_EQ(PostScriptString(std::string("\0\r", 2)), "(\\000\\015)");
  // An unbalanced parenthesis cannot end the string and run as program text.
  EXPECT_EQ(PostScriptString(") showpage quit ("), "(\\) showpage quit \\()");
}

TEST(TextPagesProgram, OnePageEachWithItsLines) {
  const std::string ps = TextPagesProgram({{"first", "", "(x)"}, {"second"}});
  EXPECT_TRUE(ps.starts_with("%!PS-Adobe-3.0\n%%Pages: 2\n"));
  EXPECT_NE(ps.find("%%Page: 2 2\n"), std::string::npos);
  EXPECT_NE(ps.find("(\\(x\\)) "), std::string::npos);
  std::size_t showpages = 0;
  for (std::size_t at = 0; (at = ps.find("showpage", at)) != std::string::npos; ++at) ++showpages;
  EXPECT_EQ(showpages, 2u);
}

}  // namespace
}  // namespace faxmail::sim
