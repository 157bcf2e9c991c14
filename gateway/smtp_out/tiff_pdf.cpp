#include "gateway/smtp_out/tiff_pdf.h"

#include <tiffio.h>

#include <array>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/text.h"
#include "platform/file.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

// What of libtiff's messages is kept for the reason of a failure.
constexpr std::size_t kMaxMessageText = 1024;
// The scratch TIFF of a page whose strips are joined: beside the PDF, removed at once.
constexpr char kScratchSuffix[] = "~";
// Output is written in pieces of this size, not a system call per object.
constexpr std::size_t kWriteBatch = 64 * 1024;

int CollectMessage(TIFF*, void* user, const char* module, const char* format, va_list args) {
  auto& text = *static_cast<std::string*>(user);
  std::array<char, 512> line{};
  std::vsnprintf(line.data(), line.size(), format, args);
  if (text.size() < kMaxMessageText) {
    if (!text.empty()) text += "; ";
    if (module != nullptr && *module != '\0') text += std::string(module) + ": ";
    text += line.data();
  }
  return 1;  // handled: nothing goes to standard error
}

struct TiffClose {
  void operator()(TIFF* tiff) const noexcept { TIFFClose(tiff); }
};
struct OptionsFree {
  void operator()(TIFFOpenOptions* options) const noexcept { TIFFOpenOptionsFree(options); }
};

// Open options that collect libtiff's errors and warnings into the two texts (none when out of
// memory).
std::unique_ptr<TIFFOpenOptions, OptionsFree> MessageOptions(std::string& errors,
                                                             std::string& warnings) {
  std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
  if (!options) return options;
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), CollectMessage, &errors);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), CollectMessage, &warnings);
  return options;
}

// A real number as PDF writes one: fixed point, four digits after the point at most.
// libtiff reads and writes through a file opened here or by the caller: no second open by
// name, which could reach another file than the one the caller checked.
tmsize_t ReadProc(thandle_t handle, void* buffer, tmsize_t size) {
  std::size_t got = 0;
  if (static_cast<platform::File*>(handle)->Read(buffer, static_cast<std::size_t>(size), got) !=
      platform::kErrorSuccess)
    return -1;
  return static_cast<tmsize_t>(got);
}
tmsize_t WriteProc(thandle_t handle, void* buffer, tmsize_t size) {
  return static_cast<platform::File*>(handle)->Write(buffer, static_cast<std::size_t>(size)) ==
                 platform::kErrorSuccess
             ? size
             : -1;
}
toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
  std::int64_t position = 0;
  if (static_cast<platform::File*>(handle)->Seek(static_cast<std::int64_t>(offset), whence,
                                                 &position) != platform::kErrorSuccess)
    return static_cast<toff_t>(-1);
  return static_cast<toff_t>(position);
}
int CloseProc(thandle_t) { return 0; }  // the caller closes its file
toff_t SizeProc(thandle_t handle) {
  std::uint64_t size = 0;
  static_cast<platform::File*>(handle)->Size(size);
  return size;
}
int MapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

std::string Number(double value) {
  std::array<char, 48> text{};
  const auto result =
      std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed, 4);
  std::string out(text.data(), result.ptr);
  // "612.0000" as "612": shorter, and what every reader takes.
  while (out.find('.') != std::string::npos && (out.back() == '0' || out.back() == '.')) {
    const bool dot = out.back() == '.';
    out.pop_back();
    if (dot) break;
  }
  return out;
}

// A PDF file written from front to back; objects are numbered as they are made, and the
// cross-reference table is written from their offsets at the end.
class PdfWriter {
 public:
  long Open(const std::string& path) {
    // In a folder that others write to: whatever is in the way at the name is neither
    // followed nor waited on.
    return platform::File::Open(path, platform::Access::Write, platform::Share::None,
                                platform::Disposition::CreateAlways, m_file,
                                platform::Links::DontFollow, platform::Kind::RegularFile);
  }
  // A number for an object written later (0 is the free list's head).
  std::uint32_t Reserve() {
    m_offsets.push_back(0);
    return static_cast<std::uint32_t>(m_offsets.size() - 1);
  }
  void Begin(std::uint32_t object) {
    m_offsets[object] = m_offset + m_pending.size();
    Put(std::to_string(object) + " 0 obj\n");
  }
  void Put(std::string_view text) {
    m_pending.append(text);
    if (m_pending.size() >= kWriteBatch) Flush();
  }
  void PutBytes(const unsigned char* data, std::size_t size) {
    Put(std::string_view(reinterpret_cast<const char*>(data), size));
  }
  // The cross-reference table and trailer; false when a write failed anywhere.
  bool Finish(std::uint32_t root) {
    const std::uint64_t xref = m_offset + m_pending.size();
    Put("xref\n0 " + std::to_string(m_offsets.size()) + "\n0000000000 65535 f \n");
    for (std::size_t i = 1; i < m_offsets.size(); ++i) {
      std::array<char, 24> entry{};
      std::snprintf(entry.data(), entry.size(), "%010llu 00000 n \n",
                    static_cast<unsigned long long>(m_offsets[i]));
      Put(entry.data());
    }
    Put("trailer\n<< /Size " + std::to_string(m_offsets.size()) + " /Root " + std::to_string(root) +
        " 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n");
    Flush();
    return m_ok && m_file.Close() == platform::kErrorSuccess;
  }

 private:
  void Flush() {
    if (m_ok && !m_pending.empty() && m_file.Write(m_pending) != platform::kErrorSuccess)
      m_ok = false;
    m_offset += m_pending.size();
    m_pending.clear();
  }

  platform::File m_file;
  std::vector<std::uint64_t> m_offsets{0};
  std::uint64_t m_offset = 0;
  std::string m_pending;
  bool m_ok = true;
};

// The fields of one page that the PDF needs.
struct PageLayout {
  std::uint32_t width = 0;
  std::uint32_t rows = 0;
  std::uint32_t rowsPerStrip = 0;
  int k = 0;  // CCITTFaxDecode's K: -1 Group 4, 0 one-dimensional, 1 two-dimensional Group 3
  bool byteAligned = false;
  bool blackIs1 = false;
  bool reverseBits = false;
  double xdpi = kDefaultFaxXdpi;
  double ydpi = kDefaultFaxYdpi;
};

bool ReadLayout(TIFF* tiff, PageLayout& page, std::string& error) {
  std::uint16_t compression = 0, bits = 1, samples = 1, photometric = 0, fill = FILLORDER_MSB2LSB;
  std::uint16_t orientation = ORIENTATION_TOPLEFT, unit = RESUNIT_INCH;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_FILLORDER, &fill);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
  if (compression != COMPRESSION_CCITTFAX3 && compression != COMPRESSION_CCITTFAX4) {
    error = "compression " + std::to_string(compression) + " is not Group 3 or Group 4";
    return false;
  }
  if (bits != 1 || samples != 1) {
    error = "not one bit a pixel";
    return false;
  }
  if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) ||
      (photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_MINISBLACK)) {
    error = "no black-and-white photometric interpretation";
    return false;
  }
  if (orientation != ORIENTATION_TOPLEFT) {
    error = "orientation " + std::to_string(orientation) + " is not top-left";
    return false;
  }
  if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &page.width) ||
      !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &page.rows) || page.width == 0 || page.rows == 0 ||
      page.width > kMaxPdfSide || page.rows > kMaxPdfSide) {
    error = "no page size, or one beyond " + std::to_string(kMaxPdfSide) + " pixels";
    return false;
  }
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &page.rowsPerStrip);
  if (page.rowsPerStrip == 0 || page.rowsPerStrip > page.rows) page.rowsPerStrip = page.rows;
  if (compression == COMPRESSION_CCITTFAX4) {
    std::uint32_t options = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_GROUP4OPTIONS, &options);
    if (options & GROUP4OPT_UNCOMPRESSED) {
      error = "Group 4 uncompressed mode";
      return false;
    }
    page.k = -1;
  } else {
    std::uint32_t options = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_GROUP3OPTIONS, &options);
    if (options & GROUP3OPT_UNCOMPRESSED) {
      error = "Group 3 uncompressed mode";
      return false;
    }
    page.k = (options & GROUP3OPT_2DENCODING) ? 1 : 0;
    page.byteAligned = (options & GROUP3OPT_FILLBITS) != 0;
  }
  page.blackIs1 = photometric == PHOTOMETRIC_MINISBLACK;
  page.reverseBits = fill == FILLORDER_LSB2MSB;
  float x = 0, y = 0;
  if (TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y) &&
      x > 0 && y > 0 && unit != RESUNIT_NONE) {
    const double perInch = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
    page.xdpi = x * perInch;
    page.ydpi = y * perInch;
  }
  return true;
}

// The compressed bytes of a page's only strip, in the bit order PDF reads.
bool ReadOnlyStrip(TIFF* tiff, const PageLayout& page, std::vector<unsigned char>& data,
                   std::string& error) {
  const std::uint64_t size = TIFFRawStripSize64(tiff, 0);
  if (size == 0 || size > kMaxPdfStripBytes) {
    error = "the strip is empty or too large";
    return false;
  }
  data.resize(size);
  const tmsize_t got = TIFFReadRawStrip(tiff, 0, data.data(), static_cast<tmsize_t>(data.size()));
  if (got <= 0) {
    error = "the strip cannot be read";
    return false;
  }
  data.resize(static_cast<std::size_t>(got));
  if (page.reverseBits) TIFFReverseBits(data.data(), got);
  return true;
}

// A page of several strips as one Group 4 strip. Each strip of a Group 4 page starts again
// from a white line, and PDF has no way to say so within one image; images of their own would
// meet at edges that a renderer rounds. So the rows are decoded and encoded again, losslessly,
// through a scratch TIFF at scratch, which is removed again.
bool JoinStrips(TIFF* tiff, PageLayout& page, const std::string& scratch,
                std::vector<unsigned char>& data, std::string& error) {
  std::string messages;
  bool joined = false;
  {
    const auto options = MessageOptions(messages, messages);
    if (!options) {
      error = "out of memory";
      return false;
    }
    platform::File file;
    if (platform::File::Open(scratch, platform::Access::ReadWrite, platform::Share::None,
                             platform::Disposition::CreateAlways, file, platform::Links::DontFollow,
                             platform::Kind::RegularFile) != platform::kErrorSuccess) {
      error = "cannot create " + scratch;
      return false;
    }
    std::unique_ptr<TIFF, TiffClose> out(TIFFClientOpenExt("scratch", "w", &file, ReadProc,
                                                           WriteProc, SeekProc, CloseProc, SizeProc,
                                                           MapProc, UnmapProc, options.get()));
    const tmsize_t lineSize = TIFFScanlineSize(tiff);
    if (out && lineSize > 0) {
      std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
      TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
      TIFFSetField(out.get(), TIFFTAG_IMAGEWIDTH, page.width);
      TIFFSetField(out.get(), TIFFTAG_IMAGELENGTH, page.rows);
      TIFFSetField(out.get(), TIFFTAG_BITSPERSAMPLE, 1);
      TIFFSetField(out.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
      TIFFSetField(out.get(), TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
      TIFFSetField(out.get(), TIFFTAG_PHOTOMETRIC, photometric);
      TIFFSetField(out.get(), TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
      TIFFSetField(out.get(), TIFFTAG_ROWSPERSTRIP, page.rows);
      std::vector<unsigned char> line(static_cast<std::size_t>(lineSize));
      joined = true;
      for (std::uint32_t row = 0; joined && row < page.rows; ++row)
        joined = TIFFReadScanline(tiff, line.data(), row, 0) == 1 &&
                 TIFFWriteScanline(out.get(), line.data(), row, 0) == 1;
      joined = joined && TIFFWriteDirectory(out.get()) == 1;
    }
    out.reset();
    if (joined) {
      file.Seek(0, SEEK_SET);
      out.reset(TIFFClientOpenExt("scratch", "rm", &file, ReadProc, WriteProc, SeekProc, CloseProc,
                                  SizeProc, MapProc, UnmapProc, options.get()));
      PageLayout single = page;
      single.reverseBits = false;
      joined = out && ReadOnlyStrip(out.get(), single, data, error);
      out.reset();
    }
  }
  platform::DeleteFile(scratch);
  if (!joined) {
    if (error.empty()) error = "the strips cannot be joined";
    if (!messages.empty()) error += " (" + messages + ")";
    return false;
  }
  page.k = -1;
  page.byteAligned = false;
  return true;
}

// One page: its image, the content that draws it over the whole page, and the page itself.
bool WritePage(TIFF* tiff, PdfWriter& pdf, std::uint32_t pagesObject, std::uint32_t pageObject,
               const std::string& scratch, std::string& error) {
  PageLayout page;
  if (!ReadLayout(tiff, page, error)) return false;
  const std::uint32_t strips = TIFFNumberOfStrips(tiff);
  if (strips != (page.rows + page.rowsPerStrip - 1) / page.rowsPerStrip) {
    error = "the strip count does not match the page";
    return false;
  }
  std::vector<unsigned char> data;
  if (strips == 1 ? !ReadOnlyStrip(tiff, page, data, error)
                  : !JoinStrips(tiff, page, scratch, data, error))
    return false;
  const std::uint32_t image = pdf.Reserve();
  pdf.Begin(image);
  pdf.Put("<< /Type /XObject /Subtype /Image /Width " + std::to_string(page.width) + " /Height " +
          std::to_string(page.rows) +
          " /ColorSpace /DeviceGray /BitsPerComponent 1 /Filter /CCITTFaxDecode"
          " /DecodeParms << /K " +
          std::to_string(page.k) + " /Columns " + std::to_string(page.width) + " /Rows " +
          std::to_string(page.rows) + (page.byteAligned ? " /EncodedByteAlign true" : "") +
          (page.blackIs1 ? " /BlackIs1 true" : "") + " >> /Length " + std::to_string(data.size()) +
          " >>\nstream\n");
  pdf.PutBytes(data.data(), data.size());
  pdf.Put("\nendstream\nendobj\n");
  const std::string width = Number(page.width * 72.0 / page.xdpi);
  const std::string height = Number(page.rows * 72.0 / page.ydpi);
  const std::string content = "q " + width + " 0 0 " + height + " 0 0 cm /Im0 Do Q\n";
  const std::uint32_t contents = pdf.Reserve();
  pdf.Begin(contents);
  pdf.Put("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
          "endstream\nendobj\n");
  pdf.Begin(pageObject);
  pdf.Put("<< /Type /Page /Parent " + std::to_string(pagesObject) + " 0 R /MediaBox [0 0 " + width +
          " " + height + "] /Resources << /XObject << /Im0 " + std::to_string(image) +
          " 0 R >> >> /Contents " + std::to_string(contents) + " 0 R >>\nendobj\n");
  return true;
}

bool Convert(TIFF* tiff, const std::string& pdfPath, std::uint32_t& pages, std::string& error) {
  const tdir_t count = TIFFNumberOfDirectories(tiff);
  if (count == 0 || count > kMaxPdfPages) {
    error = "no pages, or more than " + std::to_string(kMaxPdfPages);
    return false;
  }
  PdfWriter pdf;
  if (const long result = pdf.Open(pdfPath); result != platform::kErrorSuccess) {
    error = "cannot create " + pdfPath + " (error " + std::to_string(result) + ")";
    return false;
  }
  pdf.Put("%PDF-1.4\n%\xe2\xe3\xcf\xd3\n");
  const std::uint32_t catalog = pdf.Reserve();
  const std::uint32_t pagesObject = pdf.Reserve();
  std::vector<std::uint32_t> kids;
  for (tdir_t page = 0; page < count; ++page) {
    if (!TIFFSetDirectory(tiff, page)) {
      error = "page " + std::to_string(page + 1) + " cannot be read";
      return false;
    }
    kids.push_back(pdf.Reserve());
    std::string reason;
    if (!WritePage(tiff, pdf, pagesObject, kids.back(), pdfPath + kScratchSuffix, reason)) {
      error = "page " + std::to_string(page + 1) + ": " + reason;
      return false;
    }
  }
  std::string list;
  for (const std::uint32_t kid : kids) list += " " + std::to_string(kid) + " 0 R";
  pdf.Begin(pagesObject);
  pdf.Put("<< /Type /Pages /Kids [" + list + " ] /Count " + std::to_string(kids.size()) +
          " >>\nendobj\n");
  pdf.Begin(catalog);
  pdf.Put("<< /Type /Catalog /Pages " + std::to_string(pagesObject) + " 0 R >>\nendobj\n");
  if (!pdf.Finish(catalog)) {
    error = "cannot write " + pdfPath;
    return false;
  }
  pages = static_cast<std::uint32_t>(kids.size());
  return true;
}

}  // namespace

bool ConvertTiffToPdf(platform::File& tiffFile, const std::string& pdfPath, std::uint32_t& pages,
                      std::string& error) {
  pages = 0;
  error.clear();
  std::string messages;
  std::string warnings;  // warnings are no reason to fail, and are not reported
  const auto options = MessageOptions(messages, warnings);
  if (!options) {
    error = "out of memory";
    return false;
  }
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), static_cast<tmsize_t>(kMaxPdfStripBytes));
  tiffFile.Seek(0, SEEK_SET);
  // "m": read, not map.
  const std::unique_ptr<TIFF, TiffClose> tiff(
      TIFFClientOpenExt("attachment", "rm", &tiffFile, ReadProc, WriteProc, SeekProc, CloseProc,
                        SizeProc, MapProc, UnmapProc, options.get()));
  bool converted = false;
  if (!tiff)
    error = "not a readable TIFF";
  else
    converted = Convert(tiff.get(), pdfPath, pages, error);
  // A file libtiff had to complain about (a page directory cut off, say) is no fax to pass on
  // as it reads: attached as it was, the reader sees what is wrong with it.
  if (converted && !messages.empty()) {
    converted = false;
    error = "damaged TIFF";
  }
  if (!converted) {
    if (!messages.empty()) error += " (" + messages + ")";
    platform::DeleteFile(pdfPath);
    pages = 0;
  }
  return converted;
}

}  // namespace faxmail
