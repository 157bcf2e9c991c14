#include "tools/faxmailsim/fax_image.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "platform/child_process.h"
#include "platform/file.h"
#include "platform/win_error.h"

namespace faxmail::sim {
namespace {

constexpr std::size_t kTiffMessageBytes = 256;  // one message; libtiff's are a line or two
// What of Ghostscript's complaint goes into an error text: its first lines say what is wrong.
constexpr std::size_t kGhostscriptSaid = 200;
// A TIFF with more pages than this is not a fax; counting stops there.
constexpr std::size_t kMaxCountedPages = kMaxFaxPages * 100;

// libtiff's messages of the current call, instead of standard error.
std::string g_tiffMessages;

void CollectTiffMessage(const char* module, const char* format, va_list args) {
  constexpr std::size_t kMaxMessages = 1024;  // the first messages tell the fault
  if (g_tiffMessages.size() >= kMaxMessages) return;
  char text[kTiffMessageBytes];
  std::vsnprintf(text, sizeof text, format, args);
  if (!g_tiffMessages.empty()) g_tiffMessages += "; ";
  if (module) g_tiffMessages += std::string(module) + ": ";
  g_tiffMessages += text;
}

void IgnoreTiffWarning(const char*, const char*, va_list) {}

// Routes libtiff's errors into g_tiffMessages for the life of the object.
class TiffMessages {
 public:
  TiffMessages() {
    g_tiffMessages.clear();
    m_error = TIFFSetErrorHandler(CollectTiffMessage);
    m_warning = TIFFSetWarningHandler(IgnoreTiffWarning);
  }
  ~TiffMessages() {
    TIFFSetErrorHandler(m_error);
    TIFFSetWarningHandler(m_warning);
  }
  TiffMessages(const TiffMessages&) = delete;
  TiffMessages& operator=(const TiffMessages&) = delete;
  std::string Text(const std::string& what) const {
    return g_tiffMessages.empty() ? what : what + ": " + g_tiffMessages;
  }

 private:
  TIFFErrorHandler m_error;
  TIFFErrorHandler m_warning;
};

struct TiffCloser {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// Page size of the text programs in PostScript points (1/72 inch), as the fax page is.
constexpr double kPageWidthPt = 72.0 * kFaxWidth / kFaxXdpi;
constexpr double kPageHeightPt = 72.0 * kFaxPageRows / kFaxYdpi;
constexpr double kMarginPt = 48.0;
constexpr double kFontPt = 10.0;  // Courier 10: 6 points a character, 80 columns in 480
constexpr double kLeadingPt = 12.0;

bool PageField(TIFF* in, std::uint32_t& width, std::uint32_t& rows, std::uint16_t& photometric) {
  std::uint16_t bits = 1;
  std::uint16_t samples = 1;
  if (TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width) != 1 ||
      TIFFGetField(in, TIFFTAG_IMAGELENGTH, &rows) != 1)
    return false;
  TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
  if (TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &photometric) != 1)
    photometric = PHOTOMETRIC_MINISWHITE;
  return bits == 1 && samples == 1 && width > 0 && rows > 0 &&
         (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK);
}

}  // namespace

std::vector<TextPage> PaginateText(std::string_view text, std::size_t maxPages, bool& cut) {
  cut = false;
  std::vector<TextPage> pages;
  if (maxPages == 0) {
    cut = !text.empty();
    return pages;
  }
  pages.emplace_back();
  std::string line;
  auto newPage = [&]() -> bool {
    if (pages.size() == maxPages) {
      cut = true;
      return false;
    }
    pages.emplace_back();
    return true;
  };
  auto endLine = [&]() -> bool {
    if (pages.back().size() == kTextLinesPerPage && !newPage()) return false;
    pages.back().push_back(std::move(line));
    line.clear();
    return true;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\n' || c == '\r') {
      if (!endLine()) return pages;
      continue;
    }
    if (c == '\f') {
      if (!line.empty() && !endLine()) return pages;
      if (!pages.back().empty() && !newPage()) return pages;
      continue;
    }
    if (c == '\t') {
      do line += ' ';
      while (line.size() % kTabWidth != 0 && line.size() < kTextColumns);
    } else {
      line += c;
    }
    if (line.size() >= kTextColumns && !endLine()) return pages;
  }
  if (!line.empty() && !endLine()) return pages;
  while (pages.size() > 1 && pages.back().empty()) pages.pop_back();
  return pages;
}

std::string PostScriptString(std::string_view line) {
  std::string out = "(";
  for (const char c : line) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '(' || c == ')' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7f) {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", u);
      out += octal;
    } else {
      out += c;
    }
  }
  out += ')';
  return out;
}

std::string TextPagesProgram(const std::vector<TextPage>& pages) {
  char number[64];  // room for one formatted line of the program
  std::string ps = "%!PS-Adobe-3.0\n";
  std::snprintf(number, sizeof number, "%%%%Pages: %zu\n", pages.size());
  ps += number;
  // Courier re-encoded as Latin-1, so that bytes above 127 print as letters.
  ps +=
      "/Courier findfont dup length dict begin\n"
      "  { 1 index /FID ne { def } { pop pop } ifelse } forall\n"
      "  /Encoding ISOLatin1Encoding def currentdict end\n"
      "/FaxCourier exch definefont pop\n";
  std::snprintf(number, sizeof number, "/L { %.1f exch moveto show } def\n", kMarginPt);
  ps += number;
  for (std::size_t p = 0; p < pages.size(); ++p) {
    std::snprintf(number, sizeof number, "%%%%Page: %zu %zu\n", p + 1, p + 1);
    ps += number;
    std::snprintf(number, sizeof number, "/FaxCourier findfont %.1f scalefont setfont\n", kFontPt);
    ps += number;
    double y = kPageHeightPt - kMarginPt - kFontPt;
    for (const std::string& line : pages[p]) {
      if (!line.empty()) {
        std::snprintf(number, sizeof number, " %.1f L\n", y);
        ps += PostScriptString(line) + number;
      }
      y -= kLeadingPt;
    }
    ps += "showpage\n";
  }
  ps += "%%EOF\n";
  static_assert(kMarginPt + kTextColumns * kFontPt * 0.6 < kPageWidthPt);
  static_assert(kMarginPt * 2 + kTextLinesPerPage * kLeadingPt < kPageHeightPt);
  return ps;
}

bool RenderWithGhostscript(const std::string& input, const std::string& output,
                           std::size_t maxPages, std::string& error) {
  const std::vector<std::string> argv = {
      "gs",
      "-q",
      "-dNOPAUSE",
      "-dBATCH",
      "-dSAFER",
      "-sDEVICE=tiffg4",
      "-r" + std::to_string(kFaxXdpi) + "x" + std::to_string(kFaxYdpi),
      "-g" + std::to_string(kFaxWidth) + "x" + std::to_string(kFaxPageRows),
      "-dFIXEDMEDIA",
      "-dPDFFitPage",
      "-dLastPage=" + std::to_string(std::max<std::size_t>(maxPages, 1)),
      "-sOutputFile=" + output,
      "-f",
      input};
  platform::ChildResult result;
  const long err = platform::RunChild(argv, kGhostscriptTimeout, kMaxToolOutput, result);
  if (err == platform::kErrorFileNotFound) {
    error = "Ghostscript (gs) is not installed";
    return false;
  }
  if (err != platform::kErrorSuccess) {
    error = "Ghostscript could not be started (error " + std::to_string(err) + ")";
    return false;
  }
  if (result.timedOut) {
    error = "Ghostscript was stopped after " + std::to_string(kGhostscriptTimeout.count()) + " s";
    return false;
  }
  if (!result.exited || result.exitCode != 0) {
    std::string said;
    for (const char c : result.output.substr(0, kGhostscriptSaid))
      said += (c < 0x20 || c >= 0x7f) ? ' ' : c;
    error = "Ghostscript failed (status " + std::to_string(result.exitCode) + ")" +
            (said.empty() ? "" : ": " + said);
    return false;
  }
  // A document it cannot read may still end with status 0, having made nothing.
  std::size_t pages = 0;
  std::string unreadable;
  if (!platform::FileExists(output) || !CountTiffPages(output, pages, unreadable)) {
    error = "Ghostscript made no page of it";
    return false;
  }
  return true;
}

bool CountTiffPages(const std::string& path, std::size_t& pages, std::string& error) {
  TiffMessages messages;
  pages = 0;
  TiffHandle in(TIFFOpen(path.c_str(), "r"));
  if (!in) {
    error = messages.Text("not a TIFF file");
    return false;
  }
  do ++pages;
  while (pages < kMaxCountedPages && TIFFReadDirectory(in.get()) == 1);
  return true;
}

bool JoinFaxPages(const std::vector<std::string>& inputs, const std::string& output,
                  std::size_t& pages, std::string& error) {
  TiffMessages messages;
  pages = 0;
  // Count first: every page carries its number and the total.
  std::size_t total = 0;
  for (const std::string& input : inputs) {
    TiffHandle in(TIFFOpen(input.c_str(), "r"));
    if (!in) {
      error = messages.Text("cannot read the rendered page file " + input);
      return false;
    }
    do ++total;
    while (total < kMaxFaxPages && TIFFReadDirectory(in.get()) == 1);
    if (total == kMaxFaxPages) break;
  }
  if (total == 0) {
    error = "no pages to send";
    return false;
  }

  TiffHandle out(TIFFOpen(output.c_str(), "w"));
  if (!out) {
    error = messages.Text("cannot create " + output);
    return false;
  }
  constexpr std::size_t kRowBytes = kFaxWidth / 8;
  std::vector<unsigned char> row(kRowBytes);
  for (const std::string& input : inputs) {
    if (pages == total) break;
    TiffHandle in(TIFFOpen(input.c_str(), "r"));
    if (!in) {
      error = messages.Text("cannot read the rendered page file " + input);
      return false;
    }
    do {
      std::uint32_t width = 0;
      std::uint32_t rows = 0;
      std::uint16_t photometric = 0;
      if (!PageField(in.get(), width, rows, photometric)) {
        error = "page " + std::to_string(pages + 1) + " of " + input + " is not a bilevel image";
        return false;
      }
      const tmsize_t inBytes = TIFFScanlineSize(in.get());
      if (inBytes <= 0) {
        error = messages.Text("cannot read " + input);
        return false;
      }
      std::vector<unsigned char> line(static_cast<std::size_t>(inBytes));
      const std::uint32_t outRows = std::min(rows, kMaxPageRows);
      TIFF* tif = out.get();
      TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kFaxWidth);
      TIFFSetField(tif, TIFFTAG_IMAGELENGTH, outRows);
      TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
      TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
      TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
      TIFFSetField(tif, TIFFTAG_GROUP4OPTIONS, 0);
      TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
      TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
      TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
      TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
      TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(kFaxXdpi));
      TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(kFaxYdpi));
      TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, outRows);
      TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(pages),
                   static_cast<std::uint16_t>(total));
      TIFFSetField(tif, TIFFTAG_SOFTWARE, "faxmailsim");
      for (std::uint32_t r = 0; r < outRows; ++r) {
        if (TIFFReadScanline(in.get(), line.data(), r, 0) != 1) {
          error = messages.Text("cannot read row " + std::to_string(r) + " of " + input);
          return false;
        }
        std::fill(row.begin(), row.end(), 0);  // white
        std::copy_n(line.begin(), std::min(line.size(), kRowBytes), row.begin());
        if (photometric == PHOTOMETRIC_MINISBLACK)
          for (unsigned char& b : row) b = static_cast<unsigned char>(~b);
        if (width < kFaxWidth) {
          // Bits past the source's width are padding, not image: white.
          const std::uint32_t full = width / 8;
          if (full < kRowBytes) {
            const unsigned keep = width % 8;
            row[full] &= static_cast<unsigned char>(keep ? 0xff << (8 - keep) : 0);
            std::fill(row.begin() + full + 1, row.end(), 0);
          }
        }
        if (TIFFWriteScanline(tif, row.data(), r, 0) != 1) {
          error = messages.Text("cannot write " + output);
          return false;
        }
      }
      if (TIFFWriteDirectory(tif) != 1) {
        error = messages.Text("cannot write " + output);
        return false;
      }
      ++pages;
    } while (pages < total && TIFFReadDirectory(in.get()) == 1);
  }
  out.reset();
  if (!g_tiffMessages.empty()) {
    error = messages.Text("cannot write " + output);
    return false;
  }
  return true;
}

}  // namespace faxmail::sim
