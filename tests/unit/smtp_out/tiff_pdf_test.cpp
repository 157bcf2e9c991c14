// Fax images as PDF, read back by Poppler: the page count and size pdfinfo reports, and the
// pixels pdftoppm renders, against tiff2pdf's PDF of the same TIFF.
#include <tiffio.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <regex>

#include "gateway/smtp_out/tiff_pdf.h"
#include "tests/unit/smtp_out/fax_tiff.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::TiffKind;
using test::WriteFax;

std::string RunTool(const std::vector<std::string>& argv) {
  std::string output;
  const int status = test::RunProgram(argv, &output);
  EXPECT_EQ(status, 0) << argv[0] << ": " << output;
  return output;
}

// Each page of the PDF rendered so that one pixel of the image is one pixel.
std::vector<std::string> Render(const std::string& pdf, const std::string& prefix,
                                std::uint32_t width, std::uint32_t rows, std::uint32_t pages) {
  RunTool({"pdftoppm", "-gray", "-scale-to-x", std::to_string(width), "-scale-to-y",
           std::to_string(rows), pdf, prefix});
  std::vector<std::string> images;
  for (std::uint32_t page = 1; page <= pages; ++page) {
    std::string path = prefix + "-" + std::to_string(page) + ".pgm";
    if (!std::filesystem::exists(path)) path = prefix + "-0" + std::to_string(page) + ".pgm";
    images.push_back(test::ReadWholeFile(path));
  }
  return images;
}

// ConvertTiffToPdf on the file at path, opened as the sender opens an attachment.
bool Convert(const std::string& path, const std::string& pdf, std::uint32_t& pages,
             std::string& error) {
  platform::File file;
  if (platform::File::Open(path, platform::Access::Read, platform::Share::Read,
                           platform::Disposition::OpenExisting, file) != platform::kErrorSuccess) {
    error = "not a readable TIFF (cannot open)";
    return false;
  }
  return ConvertTiffToPdf(file, pdf, pages, error);
}

class TiffPdfTest : public test::RootTest {
 protected:
  void SetUp() override {
    test::RootTest::SetUp();
    if (test::RunProgram({"pdfinfo", "-v"}) < 0 || test::RunProgram({"tiff2pdf"}) < 0)
      GTEST_SKIP() << "poppler-utils and libtiff-tools are needed";
  }
  std::string Path(const std::string& name) { return Root() + "/" + name; }
};

TEST_F(TiffPdfTest, FaxPagesRenderAsTiff2pdfRendersThem) {
  const TiffKind kinds[] = {
      {"g4 fine", COMPRESSION_CCITTFAX4, 0, FILLORDER_MSB2LSB, PHOTOMETRIC_MINISWHITE, 0, 204, 196,
       RESUNIT_INCH},
      {"g4 class F bit order", COMPRESSION_CCITTFAX4, 0, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE,
       0, 204, 196, RESUNIT_INCH},
      {"g4 strips", COMPRESSION_CCITTFAX4, 0, FILLORDER_MSB2LSB, PHOTOMETRIC_MINISWHITE, 97, 204,
       196, RESUNIT_INCH},
      {"g4 min-is-black", COMPRESSION_CCITTFAX4, 0, FILLORDER_MSB2LSB, PHOTOMETRIC_MINISBLACK, 0,
       204, 196, RESUNIT_INCH},
      {"g3 1d normal", COMPRESSION_CCITTFAX3, 0, FILLORDER_MSB2LSB, PHOTOMETRIC_MINISWHITE, 0, 204,
       98, RESUNIT_INCH},
      {"g3 2d fill bits", COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS,
       FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, 0, 204, 196, RESUNIT_INCH},
      {"g3 2d fill bits strips", COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS,
       FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, 128, 204, 196, RESUNIT_INCH},
      {"g4 per centimetre", COMPRESSION_CCITTFAX4, 0, FILLORDER_MSB2LSB, PHOTOMETRIC_MINISWHITE, 0,
       80, 77, RESUNIT_CENTIMETER, false},
  };
  constexpr std::uint32_t kWidth = 1728, kRows = 700, kPages = 2;
  for (const TiffKind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    const std::string tiff = Path("fax.tif"), ours = Path("ours.pdf"), theirs = Path("ref.pdf");
    WriteFax(tiff, kind, kPages, kWidth, kRows);
    std::uint32_t pages = 0;
    std::string error;
    ASSERT_TRUE(Convert(tiff, ours, pages, error)) << error;
    EXPECT_FALSE(std::filesystem::exists(ours + "~"));  // the scratch file of joined strips
    EXPECT_EQ(pages, kPages);
    const std::string info = RunTool({"pdfinfo", ours});
    EXPECT_NE(info.find("Pages:           2\n"), std::string::npos) << info;
    std::smatch size;
    ASSERT_TRUE(std::regex_search(info, size, std::regex("Page size: +([0-9.]+) x ([0-9.]+) pts")))
        << info;
    const double perInch = kind.unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
    EXPECT_NEAR(std::stod(size[1]), kWidth * 72.0 / (kind.xdpi * perInch), 0.01);
    EXPECT_NEAR(std::stod(size[2]), kRows * 72.0 / (kind.ydpi * perInch), 0.01);
    if (!kind.sameAsTiff2pdf) continue;
    RunTool({"tiff2pdf", "-o", theirs, tiff});
    const auto mine = Render(ours, Path("ours"), kWidth, kRows, kPages);
    const auto reference = Render(theirs, Path("ref"), kWidth, kRows, kPages);
    for (std::uint32_t page = 0; page < kPages; ++page) {
      ASSERT_FALSE(reference[page].empty());
      EXPECT_TRUE(mine[page] == reference[page]) << "page " << page + 1 << " differs";
    }
    EXPECT_NE(mine[0], mine[1]);  // the pages are not one image twice
  }
}

TEST_F(TiffPdfTest, WhatIsNoFaxImageFailsWithAReasonAndLeavesNoFile) {
  const std::string pdf = Path("out.pdf");
  // Another compression: a fax image is never one, and re-encoding is not done here.
  const std::string lzw = Path("lzw.tif");
  WriteFax(lzw,
           {"lzw", COMPRESSION_LZW, 0, FILLORDER_MSB2LSB, PHOTOMETRIC_MINISWHITE, 0, 204, 196,
            RESUNIT_INCH},
           1, 64, 64);
  // Group 4 files damaged after they were written: cut after the first page, so that the
  // second page's directory is lost, and with the first page's strip pointing past the end.
  const TiffKind g4 = {
      "g4", COMPRESSION_CCITTFAX4, 0, FILLORDER_MSB2LSB, PHOTOMETRIC_MINISWHITE, 0, 204,
      196,  RESUNIT_INCH};
  const std::string cut = Path("cut.tif"), moved = Path("moved.tif");
  WriteFax(cut, g4, 2, 1728, 400);
  std::string data = test::ReadWholeFile(cut);
  std::uint32_t directory = 0;  // little-endian, as libtiff writes here
  std::memcpy(&directory, data.data() + 4, 4);
  test::WriteWholeFile(cut, data.substr(0, directory + 400));
  std::uint16_t entries = 0;
  std::memcpy(&entries, data.data() + directory, 2);
  for (std::uint16_t i = 0; i < entries; ++i) {
    char* entry = data.data() + directory + 2 + 12 * i;
    std::uint16_t tag = 0;
    std::memcpy(&tag, entry, 2);
    if (tag != TIFFTAG_STRIPOFFSETS) continue;
    const auto beyond = static_cast<std::uint32_t>(data.size() + 1000);
    std::memcpy(entry + 8, &beyond, 4);
  }
  test::WriteWholeFile(moved, data);
  const std::string text = Path("note.tif");
  test::WriteWholeFile(text, "this is no image\n");
  struct Case {
    std::string path;
    const char* reason;
  } cases[] = {
      {lzw, "compression 5 is not Group 3 or Group 4"},
      {cut, "damaged TIFF"},
      {moved, "page 1: the strip cannot be read"},
      {text, "not a readable TIFF"},
  };
  for (const Case& c : cases) {
    std::uint32_t pages = 9;
    std::string error;
    EXPECT_FALSE(Convert(c.path, pdf, pages, error)) << c.path;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(pages, 0u);
    EXPECT_FALSE(std::filesystem::exists(pdf)) << c.path;
  }
}

TEST_F(TiffPdfTest, TiffsAreKnownByTheirFirstBytes) {
  const std::pair<std::string, bool> cases[] = {
      {std::string("II*\0", 4) + "rest", true}, {std::string("MM\0*", 4), true},
      {std::string("II+\0", 4), true},          {std::string("MM\0+", 4), true},
      {std::string("II*", 3), false},           {std::string("%PDF-1.4"), false},
      {std::string("MM*\0", 4), false},         {"", false},
  };
  for (const auto& [head, tiff] : cases) {
    test::WriteWholeFile(Path("f"), head);
    platform::File file;
    ASSERT_EQ(platform::File::Open(Path("f"), platform::Access::Read, platform::Share::Read,
                                   platform::Disposition::OpenExisting, file),
              0);
    EXPECT_EQ(LooksLikeTiff(file), tiff) << head;
    std::int64_t position = -1;
    file.Seek(0, SEEK_CUR, &position);
    EXPECT_EQ(position, 0);
  }
}

TEST(TiffPdfNameTest, TheTiffExtensionBecomesPdf) {
  const std::pair<const char*, const char*> cases[] = {
      {"fax.tif", "fax.pdf"}, {"FAX0001.TIF", "FAX0001.pdf"}, {"scan.tiff", "scan.pdf"},
      {"image", "image.pdf"}, {"a.tif.txt", "a.tif.txt.pdf"}, {".tif", ".pdf"},
  };
  for (const auto& [name, pdf] : cases) EXPECT_EQ(PdfAttachmentName(name), pdf) << name;
}

}  // namespace
}  // namespace faxmail
