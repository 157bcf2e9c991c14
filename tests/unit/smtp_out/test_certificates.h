// Throwaway certificates for the sender's TLS tests, made with the openssl command per test: a
// certificate authority and a server certificate it signed, for 127.0.0.1 and fax.example
// (never localhost), and a self-signed one that no store trusts.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

inline constexpr char kOpensslTool[] = "/usr/bin/openssl";

struct TestPki {
  std::string ca;             // the authority's certificate: what SSL_CERT_FILE names
  std::string certificate;    // the server's, signed by the authority
  std::string key;            // the server's key
  std::string selfSigned;     // a certificate that nothing trusts ...
  std::string selfSignedKey;  // ... and its key
};

inline bool RunOpenssl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {kOpensslTool};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::string output;
  if (RunProgram(argv, &output) == 0) return true;
  ADD_FAILURE() << output;
  return false;
}

// Everything in folder; empty paths when openssl failed.
inline TestPki MakeTestPki(const std::string& folder) {
  TestPki pki{folder + "/ca.pem", folder + "/server.pem", folder + "/server.key",
              folder + "/self.pem", folder + "/self.key"};
  const std::string caKey = folder + "/ca.key";
  const std::string request = folder + "/server.csr";
  const std::string extensions = folder + "/server.ext";
  WriteWholeFile(extensions, "subjectAltName=IP:127.0.0.1,DNS:fax.example\n");
  const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                       "-nodes"};
  auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const bool made =
      RunOpenssl(with(with({"req", "-x509"}, ec),
                      {"-keyout", caKey, "-out", pki.ca, "-days", "2", "-subj", "/CN=Test CA"})) &&
      RunOpenssl(with(with({"req"}, ec),
                      {"-keyout", pki.key, "-out", request, "-subj", "/CN=fax.example"})) &&
      RunOpenssl({"x509", "-req", "-in", request, "-CA", pki.ca, "-CAkey", caKey, "-CAcreateserial",
                  "-out", pki.certificate, "-days", "2", "-extfile", extensions}) &&
      RunOpenssl(
          with(with({"req", "-x509"}, ec),
               {"-keyout", pki.selfSignedKey, "-out", pki.selfSigned, "-days", "2", "-subj",
                "/CN=fax.example", "-addext", "subjectAltName=IP:127.0.0.1,DNS:fax.example"}));
  if (!made) return {};
  return pki;
}

}  // namespace faxmail::test
