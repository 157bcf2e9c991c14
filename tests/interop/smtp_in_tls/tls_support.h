// What the receiver's TLS and AUTH tests share: a throwaway certificate made by openssl, user
// hashes made by mkpasswd, and a small Python SMTP client that reads replies byte by byte (so
// that it never reads past a reply, and bytes the server sends in clear after its 220 to
// STARTTLS break the handshake).
#pragma once

#include <string>

#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

inline constexpr char kOpenssl[] = "/usr/bin/openssl";
inline constexpr char kMkpasswd[] = "/usr/bin/mkpasswd";

struct Certificate {
  std::string certificate;  // PEM, for fax.example and 127.0.0.1
  std::string key;          // PEM, no pass phrase
};

// A self-signed certificate and its key in folder; empty paths when openssl failed.
inline Certificate MakeCertificate(const std::string& folder) {
  Certificate made{folder + "/cert.pem", folder + "/key.pem"};
  std::string output;
  const int status = RunProgram(
      {kOpenssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
       "-nodes", "-keyout", made.key, "-out", made.certificate, "-days", "2", "-subj",
       "/CN=fax.example", "-addext", "subjectAltName=DNS:fax.example,IP:127.0.0.1"},
      &output);
  if (status != 0) {
    ADD_FAILURE() << output;
    return {};
  }
  return made;
}

// A crypt(3) hash of password as mkpasswd makes it (method "yescrypt" or "sha-512").
inline std::string Mkpasswd(const std::string& method, const std::string& password) {
  std::string output;
  if (RunProgram({kMkpasswd, "-m", method, password}, &output) != 0) {
    ADD_FAILURE() << output;
    return {};
  }
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

// The start of a Python script: argv[1] the port, argv[2] the certificate to trust. reply(s)
// reads one reply (all its lines, "<closed>" when the server closed); cmd(s, line) sends a line
// and returns the last line of its reply, stripped; tls(s) starts TLS on s as fax.example.
inline constexpr char kPythonClient[] = R"(
import base64, socket, ssl, sys
port, cafile = int(sys.argv[1]), sys.argv[2]
def reply(s):
    out = []
    while True:
        line = b''
        while not line.endswith(b'\n'):
            try:
                c = s.recv(1)
            except (ConnectionError, ssl.SSLError):
                c = b''
            if not c:
                return out + ['<closed>']
            line += c
        out.append(line.decode('latin-1'))
        if line[3:4] == b' ':
            return out
def cmd(s, line):
    s.sendall(line.encode('latin-1') + b'\r\n')
    return reply(s)[-1].strip()
def b64(text):
    return base64.b64encode(text.encode('latin-1')).decode()
def tls(s):
    context = ssl.create_default_context(cafile=cafile)
    return context.wrap_socket(s, server_hostname='fax.example')
def connect():
    s = socket.create_connection(('127.0.0.1', port), timeout=20)
    reply(s)
    return s
)";

}  // namespace faxmail::test
