// What a fax attachment is and what it is called as PDF: the parts of the PDF attachment that
// need no image library, so that a build without one still recognises and names fax images.
#include "gateway/smtp_out/tiff_pdf.h"

#include <array>
#include <cstdio>

#include "base/text.h"
#include "platform/win_error.h"

namespace faxmail {

bool LooksLikeTiff(platform::File& file) {
  std::array<unsigned char, 4> head{};
  std::size_t got = 0;
  file.Seek(0, SEEK_SET);
  const bool read = file.Read(head.data(), head.size(), got) == platform::kErrorSuccess;
  file.Seek(0, SEEK_SET);
  if (!read || got != head.size()) return false;
  // "II" with 42 or 43 little-endian, "MM" with 42 or 43 big-endian.
  return (head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0) ||
         (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43));
}

std::string PdfAttachmentName(const std::string& name) {
  for (const std::string_view extension : {".tiff", ".tif"})
    if (EndsWithNoCase(name, extension))
      return name.substr(0, name.size() - extension.size()) + ".pdf";
  return name + ".pdf";
}

}  // namespace faxmail
