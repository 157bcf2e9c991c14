// The PDF attachment of a build without an image library: every conversion fails with one
// reason, so the sender logs it and attaches the fax image as it is.
#include "gateway/smtp_out/tiff_pdf.h"

namespace faxmail {

bool ConvertTiffToPdf(platform::File&, const std::string&, std::uint32_t& pages,
                      std::string& error) {
  pages = 0;
  error = "this build has no PDF";
  return false;
}

}  // namespace faxmail
