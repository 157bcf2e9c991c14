// The fax image of one transmission: a multi-page TIFF Class F (CCITT Group 4, 204x196 dpi,
// 1728 pixels wide, one strip per page), made of text pages and of what Ghostscript renders.
//
// Text becomes pages here: lines wrapped at kTextColumns, kTextLinesPerPage to a page, written
// as a small PostScript program in Courier (Latin-1; every byte that is not printable ASCII is
// written as an octal escape). PostScript and PDF files, and those programs, are rendered by
// Ghostscript's tiffg4 device as a child process that is killed after kGhostscriptTimeout. The
// pages are then joined with libtiff and written again with the Class F fields.
//
// Functions report failures as a printable text in error and a false result; they never throw
// for a bad input file. libtiff's messages go into that text, not to standard error. One thread
// at a time (libtiff's message handlers are process-wide).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::sim {

inline constexpr std::uint32_t kFaxWidth = 1728;     // pixels of a fax line (ITU T.4)
inline constexpr std::uint32_t kFaxPageRows = 2292;  // rows of an A4 page at 196 lines per inch
inline constexpr int kFaxXdpi = 204;
inline constexpr int kFaxYdpi = 196;
// A page taller than this is cut: no fax machine prints a longer sheet.
inline constexpr std::uint32_t kMaxPageRows = 4 * kFaxPageRows;
// One fax never has more pages; the rest of a long document is left out.
inline constexpr std::size_t kMaxFaxPages = 50;
// Text pages rendered for one fax (message text and text attachments together).
inline constexpr std::size_t kMaxTextPages = 20;
inline constexpr std::size_t kTextColumns = 80;
inline constexpr std::size_t kTextLinesPerPage = 60;
inline constexpr std::size_t kTabWidth = 8;
// Ghostscript renders a page in well under a second; a run this long is stuck or hostile.
inline constexpr std::chrono::seconds kGhostscriptTimeout{60};
// What of Ghostscript's messages is kept for an error report.
inline constexpr std::size_t kMaxToolOutput = 4096;

using TextPage = std::vector<std::string>;

// Lines of text as pages: LF or CR LF line ends, tabs expanded, long lines wrapped, a form
// feed starts a new page. At most maxPages; cut is set when text was left over.
std::vector<TextPage> PaginateText(std::string_view text, std::size_t maxPages, bool& cut);
// One line as a PostScript string literal, parentheses included.
std::string PostScriptString(std::string_view line);
// The PostScript program that prints the pages.
std::string TextPagesProgram(const std::vector<TextPage>& pages);

// Ghostscript's tiffg4 rendering of a PostScript or PDF file into a (multi-page) TIFF, at most
// maxPages pages.
bool RenderWithGhostscript(const std::string& input, const std::string& output,
                           std::size_t maxPages, std::string& error);

// The pages of the inputs, in order, as one Class F file; pages receives their number. Pages
// after kMaxFaxPages are left out. A page of another width is cut or padded with white.
bool JoinFaxPages(const std::vector<std::string>& inputs, const std::string& output,
                  std::size_t& pages, std::string& error);

// The number of pages (directories) of a TIFF file; false when libtiff cannot read it.
bool CountTiffPages(const std::string& path, std::size_t& pages, std::string& error);

}  // namespace faxmail::sim
