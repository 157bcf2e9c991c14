// A fax image as PDF: each page of a Group 3 or Group 4 TIFF is embedded in the PDF as it was
// compressed (a CCITTFaxDecode image, no decoding and no new encoding), on a page of the size
// its resolution gives. Bits are put in the order PDF reads them (a TIFF may keep them least
// significant first).
//
// A page in several strips (fax images have one a page) cannot be embedded as it is: each
// strip is compressed on its own, and PDF has no way to say so within one image. Such a page
// is decoded and compressed again as one Group 4 image, losslessly.
//
// Only what a fax image holds is taken: one bit a pixel, one sample, Group 3 (one- or
// two-dimensional) or Group 4. Anything else, a damaged file, and one beyond the limits below
// fails with a readable reason, and nothing is left at the output path. libtiff's messages go
// into that reason, not to standard error. Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace faxmail {

// A fax of more pages than this is not one a fax server sends or receives.
inline constexpr std::uint32_t kMaxPdfPages = 1000;
// Pixels of a side: a fax line is 1728 to 4864 pixels, a page some thousands of rows.
inline constexpr std::uint32_t kMaxPdfSide = 65535;
// The compressed bytes of one strip; a fine-mode A4 page at 4864 pixels is well under it.
inline constexpr std::uint64_t kMaxPdfStripBytes = 64ull * 1024 * 1024;
// The resolution used when a page gives none (fax fine mode, pixels per inch).
inline constexpr double kDefaultFaxXdpi = 204.0;
inline constexpr double kDefaultFaxYdpi = 196.0;

// Whether the file starts as a TIFF does (either byte order, classic or big). It is read from
// its start and left positioned there.
bool LooksLikeTiff(platform::File& file);

// Writes the PDF of the TIFF read from tiff (open for reading; its position is not kept) to
// pdfPath (created or replaced). pages receives the number of pages written. A page in several
// strips is joined through the scratch file pdfPath + "~", which is removed again.
bool ConvertTiffToPdf(platform::File& tiff, const std::string& pdfPath, std::uint32_t& pages,
                      std::string& error);

// The name of the PDF made from an attachment name: its extension ".tif" or ".tiff" (any
// letter case) replaced with ".pdf", or ".pdf" added.
std::string PdfAttachmentName(const std::string& name);

}  // namespace faxmail
