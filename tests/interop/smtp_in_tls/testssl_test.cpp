// testssl.sh against the gateway's STARTTLS: no protocol below TLS 1.2 and no weak cipher
// category is offered. Only the protocol and cipher-category checks run, to keep it bounded.
// The library's default TLS 1.2 list still holds CBC suites, which testssl.sh rates "average"
// (severity LOW); nothing is rated MEDIUM or worse.
#include <gtest/gtest.h>

#include <string>

#include "tests/interop/smtp_in_tls/tls_support.h"
#include "tests/support/gateway_process.h"
#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

constexpr char kTestssl[] = "/usr/bin/testssl";

// What the report says, one "id severity finding" line per entry, from its JSON.
constexpr char kSummary[] = R"(
import json, sys
for entry in json.load(open(sys.argv[1])):
    print(entry.get('id'), entry.get('severity'), entry.get('finding'))
)";

class TestsslTest : public test::RootTest {};

TEST_F(TestsslTest, NoWeakProtocolOrCipher) {
  FAXMAIL_REQUIRE_PEER(kTestssl);
  FAXMAIL_REQUIRE_PEER(test::kOpenssl);
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  const test::Certificate certificate = test::MakeCertificate(Root());
  test::GatewayProcess gateway(Root());
  test::SetGatewayNumber("ESMTP", 1);
  test::SetGatewayText("TlsCertificate", certificate.certificate);
  test::SetGatewayText("TlsKey", certificate.key);
  ASSERT_TRUE(gateway.Start());
  const std::string json = Root() + "/testssl.json";
  std::string output;
  test::RunProgram({kTestssl, "--quiet", "--color", "0", "--warnings", "off", "--connect-timeout",
                    "10", "--openssl-timeout", "10", "--jsonfile", json, "--starttls", "smtp",
                    "--protocols", "--std", "127.0.0.1:" + std::to_string(gateway.Port())},
                   &output);
  std::string summary;
  ASSERT_EQ(test::RunProgram({test::kSystemPython, "-c", kSummary, json}, &summary), 0)
      << output << summary;
  for (const char* expected : {
           "SSLv2 OK not offered",
           "SSLv3 OK not offered",
           "TLS1 INFO not offered",
           "TLS1_1 INFO not offered",
           "TLS1_2 OK offered",
           "TLS1_3 OK offered with final",
           "cipherlist_NULL OK not offered",
           "cipherlist_aNULL OK not offered",
           "cipherlist_EXPORT OK not offered",
           "cipherlist_LOW OK not offered",
           "cipherlist_3DES_IDEA INFO not offered",
       })
    EXPECT_NE(summary.find(std::string("\n") + expected), std::string::npos) << expected << "\n"
                                                                             << summary;
  for (const char* severity : {" MEDIUM ", " HIGH ", " CRITICAL "})
    EXPECT_EQ(summary.find(severity), std::string::npos) << severity << "\n" << summary;
  EXPECT_EQ(gateway.Stop(), 0);
}

}  // namespace
}  // namespace faxmail
