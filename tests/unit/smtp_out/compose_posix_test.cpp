// The delivery status report (NotificationFormat) as Python's email reads it back: the
// report's parts and status fields, and each attachment's bytes by their MD5.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstdio>
#include <string>

#include "gateway/smtp_out/compose.h"
#include "tests/support/test_support.h"
#include "tests/unit/smtp_out/compose_test_fixture.h"

namespace faxmail {
namespace {

using test::Composed;
using test::ComposeTest;
using test::ReadyFile;
using test::WriteWholeFile;

// What Python's email makes of a composed mail (without its end line), one "key: value" line
// each: the content type, report type, each part's type, each status block's fields, and the
// MD5 of each attachment's decoded bytes.
std::string PythonReport(const std::string& mail) {
  static const char kScript[] = R"(import sys, email, email.policy, hashlib
m = email.message_from_bytes(sys.stdin.buffer.read(), policy=email.policy.compat32)
print('type:', m.get_content_type())
print('report-type:', m.get_param('report-type'))
for p in m.get_payload() if m.is_multipart() else []:
    print('part:', p.get_content_type())
    if p.get_content_type() == 'message/delivery-status':
        for block in p.get_payload():
            for k, v in block.items():
                print('field:', k, '=', v)
    elif p.get_filename():
        print('attachment:', p.get_filename(), hashlib.md5(p.get_payload(decode=True)).hexdigest())
    else:
        print('text:', p.get_payload().strip().splitlines()[0])
)";
  std::string output;
  const int status =
      test::RunProgram({"python3", "-c", kScript}, &output, {}, mail.substr(0, mail.size() - 3));
  EXPECT_EQ(status, 0) << output;
  return output;
}

std::string Md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

TEST_F(ComposeTest, NotificationFormatReportGivesADeliveryStatusReport) {
  const std::string image = RandomBytes(5000, 9);
  WriteWholeFile(In("F21.TIF"), image);
  struct Case {
    const char* subject;
    const char* text;
    std::uint32_t includeTiff;
    std::string expected;
  } cases[] = {
      {"SUBJECT: Fax to 5550100 sent OK", "Your fax to 5550100 was sent OK: 2 pages.", 1,
       "type: multipart/report\nreport-type: delivery-status\npart: text/plain\n"
       "text: Your fax to 5550100 was sent OK: 2 pages.\npart: message/delivery-status\n"
       "field: Reporting-MTA = dns; gw.example\nfield: Final-Recipient = X-fax; +5550100\n"
       "field: Action = delivered\nfield: Status = 2.0.0\n"
       "field: Diagnostic-Code = X-fax; Your fax to 5550100 was sent OK: 2 pages.\n"
       "part: application/octet-stream\nattachment: fax.tif " +
           Md5Hex(image) + "\n"},
      {"SUBJECT: Fax to +44 20 7946 rejected", "Your fax was rejected: busy.", 0,
       "type: multipart/report\nreport-type: delivery-status\npart: text/plain\n"
       "text: Your fax was rejected: busy.\npart: message/delivery-status\n"
       "field: Reporting-MTA = dns; gw.example\nfield: Final-Recipient = X-fax; +44207946\n"
       "field: Action = failed\nfield: Status = 5.0.0\n"
       "field: Diagnostic-Code = X-fax; Your fax was rejected: busy.\n"},
      // A received fax is no notice: mailed as without the value.
      {"SUBJECT: Fax received from 5551234", "A fax for you.", 0,
       "type: multipart/mixed\nreport-type: None\npart: text/plain\ntext: A fax for you.\n"
       "part: application/octet-stream\nattachment: fax.tif " +
           Md5Hex(image) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subject);
    SetOptions(c.includeTiff, /*subjectLine=*/0);
    SetDword("NotificationFormat", kNotificationReport);
    SetString("DomainName", "gw.example");
    ReadyFile ready;
    ready.subject = c.subject;
    ready.body = {c.text};
    ready.attachments = {"<<fax.tif:F21.TIF>>"};
    const Composed composed = Compose(ready.Text());
    ASSERT_EQ(composed.result, kComposeReady);
    EXPECT_EQ(PythonReport(composed.text), c.expected) << composed.text;
    EXPECT_TRUE(composed.text.ends_with("--" + composed.Boundary() + "--\r\n.\r\n"));
  }
}

}  // namespace
}  // namespace faxmail
