// Sent names as the attachment list keeps them: cut below kMaxSentName bytes between
// characters, with their extension, and the stored name's extension taken from it.
#include <gtest/gtest.h>

#include <string>

#include "base/utf8.h"
#include "gateway/decode/sent_names.h"

namespace faxmail::decode {
namespace {

std::string Times(std::size_t n, const std::string& piece) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += piece;
  return out;
}

const std::string kDe = "\xD0\x94";            // Cyrillic De, 2 bytes
const std::string kWen = "\xE6\x96\x87";       // CJK "wen", 3 bytes
const std::string kPage = "\xF0\x9F\x93\x84";  // emoji "page facing up", 4 bytes
const std::string kGe = "\xD0\xB3";            // Cyrillic ge

TEST(SentNames, LongNamesAreCutBetweenCharactersKeepingTheirExtension) {
  struct Case {
    const char* what;
    std::string sent, safe, extension;
  } cases[] = {
      {"Cyrillic", Times(60, kDe) + ".pdf", Times(47, kDe) + ".pdf", "pdf"},
      // An abbreviation's dot early in the name is not the extension.
      {"Cyrillic with a dot", kGe + ". " + Times(50, kDe) + ".pdf",
       kGe + ". " + Times(45, kDe) + ".pdf", "pdf"},
      {"date in the name", "Akt 01.02.2026 " + Times(50, kDe) + ".pdf",
       "Akt 01.02.2026 " + Times(40, kDe) + ".pdf", "02"},
      {"CJK", Times(40, kWen) + ".docx", Times(31, kWen) + ".docx", "doc"},
      {"emoji", Times(30, kPage) + ".pdf", Times(23, kPage) + ".pdf", "pdf"},
      {"several dots", "report.final.v2." + std::string(100, 'x') + ".tar.gz",
       "report.final.v2." + std::string(80, 'x') + ".gz", "fin"},
      // Not UTF-8 (Latin-1 here): no characters to keep whole, the cut is bytewise.
      {"Latin-1", std::string(120, '\xE9') + ".pdf", std::string(95, '\xE9') + ".pdf", "pdf"},
      // Text behind a last dot that is too long to be a file type is part of the name.
      {"long tail", std::string(120, 'n') + ".averyverylongtail", std::string(99, 'n'), ""},
      {"just fits", std::string(95, 'n') + ".pdf", std::string(95, 'n') + ".pdf", "pdf"},
      {"one too many", std::string(96, 'n') + ".pdf", std::string(95, 'n') + ".pdf", "pdf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string safe = SafeSentName(c.sent);
    EXPECT_EQ(safe, c.safe);
    EXPECT_LT(safe.size(), kMaxSentName);
    if (IsValidUtf8(c.sent)) {
      EXPECT_TRUE(IsValidUtf8(safe));
    }
    EXPECT_EQ(SentNameExtension(safe), c.extension);
  }
}

TEST(SentNames, StoredExtensionComesFromTheFirstDotThatGivesOne) {
  struct Case {
    std::string sent, extension;
  } cases[] = {
      {"report.final.pdf", "fin"},
      {"archive.tar.gz", "tar"},
      {"photo.jpeg", "jpe"},
      {"noext", ""},
      {".pdf", "pdf"},
      {"dir.d/file", "df"},
      {"name.", ""},
      {"a." + kDe + kDe, ""},
      {"Nr. 5.pdf", "5"},  // the first dot decides as long as it gives a character
      // A first dot followed by nothing a file name can carry: the last dot's extension.
      {kGe + ". " + Times(5, kDe) + ".pdf", "pdf"},
      {"x.  .tif", "tif"},
      {"x. /.tif", "tif"},
      {"x.  /file", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SentNameExtension(c.sent), c.extension) << c.sent;
}

}  // namespace
}  // namespace faxmail::decode
