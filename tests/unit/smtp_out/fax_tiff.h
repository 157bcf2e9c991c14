// Fax images for the sender's tests: multi-page TIFFs in the compressions and layouts fax
// servers write, with content that differs from page to page.
#pragma once

#include <tiffio.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace faxmail::test {

struct TiffKind {
  const char* name;
  std::uint16_t compression;
  std::uint32_t g3options;
  std::uint16_t fillOrder;
  std::uint16_t photometric;
  std::uint32_t rowsPerStrip;  // 0: the whole page in one strip
  float xdpi;
  float ydpi;
  std::uint16_t unit;
  // Whether tiff2pdf's PDF holds the same numbers: it works out the page size in single
  // precision, so a size in centimetres may differ in the last written digit, and Poppler then
  // scales the image by a hair.
  bool sameAsTiff2pdf = true;
};

// A page with something on it that differs from page to page: bars, a diagonal and a
// checkered block, placed by the page number.
inline bool BlackPixel(std::uint32_t page, std::uint32_t x, std::uint32_t y) {
  if ((y / 40 + page) % 7 == 0 && x % 300 < 200) return true;
  if (x > 100 && std::abs(static_cast<int>(x) - static_cast<int>(y + 60 * page)) < 3) return true;
  return x > 800 && x < 1100 && y > 300 && y < 500 && ((x / 8 + y / 8 + page) % 2 == 0);
}

inline void WriteFax(const std::string& path, const TiffKind& kind, std::uint32_t pages,
                     std::uint32_t width, std::uint32_t rows) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  std::vector<unsigned char> line((width + 7) / 8);
  for (std::uint32_t page = 0; page < pages; ++page) {
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, kind.compression);
    if (kind.compression == COMPRESSION_CCITTFAX3)
      TIFFSetField(tiff, TIFFTAG_GROUP3OPTIONS, kind.g3options);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, kind.photometric);
    TIFFSetField(tiff, TIFFTAG_FILLORDER, kind.fillOrder);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, kind.rowsPerStrip ? kind.rowsPerStrip : rows);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, kind.xdpi);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, kind.ydpi);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, kind.unit);
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(tiff, TIFFTAG_PAGENUMBER, page, pages);
    const bool minIsBlack = kind.photometric == PHOTOMETRIC_MINISBLACK;
    for (std::uint32_t y = 0; y < rows; ++y) {
      std::fill(line.begin(), line.end(), 0);
      for (std::uint32_t x = 0; x < width; ++x)
        if (BlackPixel(page, x, y) != minIsBlack)
          line[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
      ASSERT_EQ(TIFFWriteScanline(tiff, line.data(), y, 0), 1);
    }
    ASSERT_TRUE(TIFFWriteDirectory(tiff));
  }
  TIFFClose(tiff);
}

}  // namespace faxmail::test
