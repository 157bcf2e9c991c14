// Fax images attached as PDF (AttachFormat): converted where the value asks for it, attached
// as written otherwise or where the image is no TIFF. Only where the build has libtiff.
#include <gtest/gtest.h>

#include <string>

#include "gateway/smtp_out/compose.h"
#include "tests/support/reference_base64.h"
#include "tests/support/test_support.h"
#include "tests/unit/smtp_out/compose_test_fixture.h"
#include "tests/unit/smtp_out/fax_tiff.h"

namespace faxmail {
namespace {

using test::Composed;
using test::ComposeTest;
using test::ReadWholeFile;
using test::ReadyFile;
using test::WriteWholeFile;

TEST_F(ComposeTest, AttachFormatPdfAttachesFaxImagesAsPdf) {
  const std::string fax = In("F17.TIF");
  test::WriteFax(fax,
                 {"g4", COMPRESSION_CCITTFAX4, 0, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, 0, 204,
                  196, RESUNIT_INCH},
                 2, 1728, 300);
  const std::string tiff = ReadWholeFile(fax);
  const std::string damaged = tiff.substr(0, 200);  // its directory is gone
  struct Case {
    const char* what;
    std::string image;
    std::uint32_t attachFormat;  // ~0u: the value is not set
    bool pdf;
  } cases[] = {
      {"no value", tiff, ~0u, false},
      {"as written", tiff, kAttachAsWritten, false},
      {"pdf", tiff, kAttachAsPdf, true},
      {"damaged tiff", damaged, kAttachAsPdf, false},
      {"no tiff", "GIF89a and the rest", kAttachAsPdf, false},
  };
  const auto NotConverted = [&] {
    const std::string log = Log();
    const std::string entry = "SMTPOut- Fax image not converted to PDF, attached as it is: " + fax;
    int count = 0;
    for (auto at = log.find(entry); at != std::string::npos; at = log.find(entry, at + 1)) ++count;
    return count;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetOptions(/*includeTiff=*/0, /*subjectLine=*/0);
    if (c.attachFormat != ~0u) SetDword("AttachFormat", c.attachFormat);
    WriteWholeFile(fax, c.image);
    ReadyFile ready;
    ready.subject = "SUBJECT: Fax received from 5551234";
    ready.body = {"A fax for you."};
    ready.attachments = {"<<fax.tif:F17.TIF>>"};
    const int notConvertedBefore = NotConverted();
    const Composed composed = Compose(ready.Text());
    ASSERT_EQ(composed.result, kComposeReady);
    EXPECT_TRUE(InFiles("At*").empty());  // neither scratch part nor scratch PDF stays
    EXPECT_EQ(ReadWholeFile(fax), c.image);
    const std::string pdfType = "Content-Type: application/pdf;\r\n        name=\"fax.pdf\"\r\n";
    if (!c.pdf) {
      if (c.image.starts_with("II")) {
        EXPECT_NE(composed.text.find(EncodedPart(c.image, "fax.tif")), std::string::npos);
      }
      EXPECT_EQ(composed.text.find(pdfType), std::string::npos);
      EXPECT_EQ(NotConverted() - notConvertedBefore, c.image == damaged ? 1 : 0);
      continue;
    }
    const auto type = composed.text.find(pdfType);
    ASSERT_NE(type, std::string::npos) << composed.text.substr(0, 2000);
    EXPECT_NE(composed.text.find("filename=\"fax.pdf\"", type), std::string::npos);
    const auto start = composed.text.find("\r\n\r\n", type) + 4;
    const auto end = composed.text.find("\r\n\r\n", start);
    const std::string pdf = test::ReferenceBase64Decode(composed.text.substr(start, end - start));
    ASSERT_TRUE(pdf.starts_with("%PDF-"));
    WriteWholeFile(Root() + "/sent.pdf", pdf);
    std::string info;
    if (test::RunProgram({"pdfinfo", Root() + "/sent.pdf"}, &info) < 0) continue;
    EXPECT_NE(info.find("Pages:           2\n"), std::string::npos) << info;
  }
}

}  // namespace
}  // namespace faxmail
