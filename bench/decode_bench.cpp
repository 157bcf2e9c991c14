// Decoding speed and memory, each beside a peer measured in the same run:
//   base64 attachment (50 MB decoded)  vs OpenSSL EVP_DecodeUpdate over the same text
//   the same with the MD5 digest       vs OpenSSL EVP_DecodeUpdate + MD5
//   the same, spool file to file       vs OpenSSL decoding and digesting, iostreams reading
//                                         and writing
//   quoted-printable text (50 MB)      vs memcpy of the same bytes
//   plain text (50 MB)                 vs memcpy
//   deep multipart (60 levels)         vs memcpy
// Each figure is the best of several runs, in MB/s of message text read; the ratio is our
// speed over the peer's. Peak memory is the growth of the process's resident high-water mark
// during the file-to-file decodes.
//
//   decode_bench [MB [CASE]]     (default 50; CASE: "file", "base64", "qp", "plain" or "deep",
//                                 that case only, for profiling one path)
//   decode_bench corpus RUNS FILE...
//
// The corpus mode decodes the given spool files (CR LF lines, as the receiver stores them)
// the way the receiver does: each opened as a spool file in text mode, every body decoded,
// attachments with their MD5 digest where they carry Content-MD5, the decoded bytes dropped. It
// prints one line, "corpus files=N bytes=B seconds=S", S the best of RUNS passes over all the
// files, so that a peer given the very same files can be set beside it (bench/run-all does, with
// Python's email).
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "gateway/decode/decode_console.h"
#include "gateway/decode/decode_message.h"
#include "gateway/decode/part_reader.h"
#include "gateway/decode/transfer_decoders.h"

namespace {

using namespace faxmail::decode;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 5;

// Decodes every body into a given output; attachments with the digest always, never, or as the
// receiver does: only those that carry a Content-MD5 value to check it against.
enum class Digest { kNever, kAlways, kWithContentMd5 };

class BenchSink : public DecodeSink {
 public:
  BenchSink(DecodeOutput& output, Digest digest) : m_output(output), m_digest(digest) {}
  void BeginHeaders(std::string_view) override {}
  void HeaderSeen(HeaderKind, std::string_view, std::size_t, std::size_t) override {}
  void EndHeaders(std::string_view) override {}
  int AppendBodyText(PartReader& reader, TransferEncoding encoding) override {
    DecodeBody(reader, encoding, m_output, false, encoding == TransferEncoding::Base64);
    return 0;
  }
  int SaveAttachment(PartReader& reader, bool, const ContentType& type, TransferEncoding encoding,
                     std::optional<std::string_view>,
                     std::optional<std::string_view> contentMd5) override {
    const bool digest = m_digest == Digest::kAlways ||
                        (m_digest == Digest::kWithContentMd5 && contentMd5.has_value());
    DecodeBody(reader, encoding, m_output, digest,
               faxmail::StartsWithNoCase(type.mediaType, "text/"));
    return 0;
  }

 private:
  DecodeOutput& m_output;
  Digest m_digest;
};

double BestSeconds(const std::function<void()>& run) {
  double best = 1e9;
  for (int i = 0; i < kRuns; ++i) {
    const auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

void Report(const char* name, std::size_t bytes, double ours, const char* peerName, double peer) {
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("%-34s %8.0f MB/s   %-24s %8.0f MB/s   ours/peer %.2f\n", name, mb / ours, peerName,
              mb / peer, peer / ours);
}

std::string Base64Lines(const std::string& data) {
  std::string out;
  out.reserve(data.size() / 57 * 78 + 80);
  std::vector<unsigned char> line(80);
  for (std::size_t i = 0; i < data.size(); i += 57) {
    const std::size_t n = std::min<std::size_t>(57, data.size() - i);
    const int len = EVP_EncodeBlock(
        line.data(), reinterpret_cast<const unsigned char*>(data.data() + i), static_cast<int>(n));
    out.append(reinterpret_cast<const char*>(line.data()), static_cast<std::size_t>(len));
    out.push_back('\n');
  }
  return out;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937_64 random(seed);
  std::string data(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const std::uint64_t v = random();
    std::memcpy(&data[i], &v, 8);
  }
  return data;
}

std::string Base64Message(const std::string& encoded) {
  return "From: bench@example.com\nTo: 555@fax.example\nSubject: bench\n"
         "Content-Type: multipart/mixed; boundary=\"=_bench_boundary\"\n\n"
         "--=_bench_boundary\nContent-Type: text/plain\n\nSee the attachment.\n"
         "--=_bench_boundary\nContent-Type: image/tiff; name=fax.tif\n"
         "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; "
         "filename=fax.tif\n\n" +
         encoded + "--=_bench_boundary--\n";
}

// Text of 72-character lines with some 8-bit characters, quoted-printable encoded.
std::string QuotedPrintableText(std::size_t size) {
  std::mt19937 random(3);
  std::string out;
  out.reserve(size + 100);
  const char* words[] = {"the ",
                         "fax ",
                         "gateway ",
                         "caf\xe9 ",
                         "message ",
                         "line ",
                         "d\xfc"
                         "rfen ",
                         "and "};
  std::string line;
  while (out.size() < size) {
    const std::string word = words[random() % 8];
    for (const char c : word) {
      const auto u = static_cast<unsigned char>(c);
      if (u >= 0x80 || c == '=') {
        char hex[4];
        std::snprintf(hex, sizeof hex, "=%02X", u);
        line += hex;
      } else {
        line += c;
      }
    }
    if (line.size() >= 72) {
      out += line + (random() % 2 ? "=\n" : "\n");
      line.clear();
    }
  }
  return out;
}

std::string PlainText(std::size_t size) {
  std::string out;
  out.reserve(size + 100);
  while (out.size() < size)
    out += "A plain text line of a long message, about seventy characters long.\n";
  return out;
}

// levels multiparts one inside the other; at each level, parts small text parts before the
// inner multipart.
std::string DeepMultipart(int levels, int parts, const std::string& text) {
  std::string open;
  std::string close;
  for (int level = 0; level < levels; ++level) {
    const std::string b = "level-" + std::to_string(level) + "-boundary-with-a-long-unique-tail";
    open += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\n\npreamble\n";
    for (int p = 0; p < parts; ++p) open += "--" + b + "\nContent-Type: text/plain\n\n" + text;
    open += "--" + b + "\n";
    close = "--" + b + "--\nepilogue\n" + close;
  }
  return open + "\ninnermost\n" + close;
}

double DecodeSeconds(const std::string& message, bool digest) {
  return BestSeconds([&] {
    NullOutput null;
    BenchSink sink(null, digest ? Digest::kAlways : Digest::kNever);
    PartReader reader(std::make_unique<MemorySource>(message));
    DecodeMessage(reader, "text/plain", false, sink);
  });
}

double PeerBase64Seconds(const std::string& encoded, bool digest) {
  std::vector<unsigned char> out(encoded.size());
  return BestSeconds([&] {
    EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
    EVP_DecodeInit(ctx);
    int n = 0;
    int total = 0;
    EVP_DecodeUpdate(ctx, out.data(), &n, reinterpret_cast<const unsigned char*>(encoded.data()),
                     static_cast<int>(encoded.size()));
    total += n;
    EVP_DecodeFinal(ctx, out.data() + total, &n);
    total += n;
    EVP_ENCODE_CTX_free(ctx);
    if (digest) {
      unsigned char md[EVP_MAX_MD_SIZE];
      unsigned int len = 0;
      EVP_Digest(out.data(), static_cast<std::size_t>(total), md, &len, EVP_md5(), nullptr);
    }
  });
}

double MemcpySeconds(const std::string& data) {
  std::string copy(data.size(), '\0');
  return BestSeconds([&] {
    std::memcpy(copy.data(), data.data(), data.size());
    asm volatile("" : : "r"(copy.data()) : "memory");
  });
}

long PeakKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void Quiet(std::string_view) {}

// Passes over a corpus: the best is taken, not the mean, as with the other figures.
constexpr int kMaxCorpusRuns = 1000;

int RunCorpus(int runs, const std::vector<std::string>& files) {
  std::size_t bytes = 0;
  for (const auto& file : files) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error) {
      std::fprintf(stderr, "decode_bench: %s: %s\n", file.c_str(), error.message().c_str());
      return 1;
    }
    bytes += static_cast<std::size_t>(size);
  }
  double best = 1e9;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    for (const auto& file : files) {
      std::unique_ptr<PartReader> reader;
      if (!PartReader::Open(file, faxmail::platform::Share::None, reader)) {
        std::fprintf(stderr, "decode_bench: cannot open %s\n", file.c_str());
        return 1;
      }
      NullOutput null;
      BenchSink sink(null, Digest::kWithContentMd5);
      DecodeMessage(*reader, "text/plain", false, sink);
    }
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::printf("corpus files=%zu bytes=%zu seconds=%.6f\n", files.size(), bytes, best);
  return 0;
}

void Base64Cases(std::size_t size) {
  const std::string encoded = Base64Lines(RandomBytes(size, 1));
  const std::string message = Base64Message(encoded);
  Report("base64 attachment", message.size(), DecodeSeconds(message, false), "EVP_DecodeUpdate",
         PeerBase64Seconds(encoded, false));
  Report("base64 attachment + MD5", message.size(), DecodeSeconds(message, true),
         "EVP_DecodeUpdate + MD5", PeerBase64Seconds(encoded, true));
}

void QuotedPrintableCase(std::size_t size) {
  const std::string message =
      "Content-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\n" +
      QuotedPrintableText(size);
  const double memcpySeconds = MemcpySeconds(message);
  const bool wide = UseWideQuotedPrintable(true);
  Report(wide ? "quoted-printable text (wide)" : "quoted-printable text", message.size(),
         DecodeSeconds(message, false), "memcpy", memcpySeconds);
  if (!wide) return;
  UseWideQuotedPrintable(false);
  Report("quoted-printable text (portable)", message.size(), DecodeSeconds(message, false),
         "memcpy", memcpySeconds);
  UseWideQuotedPrintable(true);
}

void PlainCase(std::size_t size) {
  const std::string message = "Content-Type: text/plain\n\n" + PlainText(size);
  Report("plain text", message.size(), DecodeSeconds(message, false), "memcpy",
         MemcpySeconds(message));
}

void DeepCase(std::size_t size) {
  const int levels = 60;
  const std::string text = PlainText(2000);
  const int parts = static_cast<int>(size / (levels * (text.size() + 120)));
  const std::string message = DeepMultipart(levels, std::max(parts, 1), text);
  Report("deep multipart (60 levels)", message.size(), DecodeSeconds(message, false), "memcpy",
         MemcpySeconds(message));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "corpus") {
    const int runs = argc > 2 ? std::atoi(argv[2]) : 0;
    if (runs < 1 || runs > kMaxCorpusRuns || argc < 4) {
      std::fprintf(stderr, "usage: decode_bench corpus RUNS(1-%d) FILE...\n", kMaxCorpusRuns);
      return 2;
    }
    SetConsoleWriters({Quiet, Quiet});
    return RunCorpus(runs, std::vector<std::string>(argv + 3, argv + argc));
  }
  const std::size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
  const std::size_t size = mb * 1000 * 1000;
  const std::string only = argc > 2 ? argv[2] : "";
  SetConsoleWriters({Quiet, Quiet});
  if (!only.empty() && only != "file" && only != "base64" && only != "qp" && only != "plain" &&
      only != "deep") {
    std::fprintf(stderr, "usage: decode_bench [MB [file|base64|qp|plain|deep]]\n");
    return 2;
  }
  if (!only.empty() && only != "file") {
    std::printf("message sizes: %zu MB; best of %d runs\n\n", mb, kRuns);
    if (only == "base64") Base64Cases(size);
    if (only == "qp") QuotedPrintableCase(size);
    if (only == "plain") PlainCase(size);
    if (only == "deep") DeepCase(size);
    return 0;
  }
  const std::string folder =
      (std::filesystem::temp_directory_path() / "faxmail-decode-bench").string();
  std::filesystem::create_directories(folder);

  // File to file first, while the process holds nothing big: the growth of the peak is the
  // decoder's own memory.
  const std::string spool = folder + "/message.cqx";
  const std::string bare = folder + "/attachment.b64";  // the peer's input: the base64 text only
  const std::string attachment = folder + "/ATT1.tif";
  std::size_t spoolBytes = 0;
  {
    std::ofstream out(spool, std::ios::binary);
    std::ofstream peerIn(bare, std::ios::binary);
    const std::string head = Base64Message("");
    const std::size_t cut = head.rfind("--=_bench_boundary--");
    for (const char c : head.substr(0, cut)) out << (c == '\n' ? "\r\n" : std::string(1, c));
    for (std::size_t done = 0; done < size; done += 57 * 1000) {
      std::string chunk = Base64Lines(
          RandomBytes(std::min<std::size_t>(57 * 1000, size - done), static_cast<unsigned>(done)));
      std::string crlf;
      crlf.reserve(chunk.size() * 80 / 78);
      for (const char c : chunk) {
        if (c == '\n') crlf += '\r';
        crlf += c;
      }
      out << crlf;
      peerIn << crlf;
    }
    out << "--=_bench_boundary--\r\n";
    spoolBytes = static_cast<std::size_t>(out.tellp());
  }
  ResetPeak();
  const long before = PeakKb();
  const double fileOurs = BestSeconds([&] {
    std::unique_ptr<PartReader> reader;
    PartReader::Open(spool, faxmail::platform::Share::None, reader);
    faxmail::platform::Stream file;
    faxmail::platform::Stream::Open(attachment, "w", faxmail::platform::StreamMode::Binary,
                                    faxmail::platform::Share::None, file);
    StreamOutput output(file);
    BenchSink sink(output, Digest::kAlways);
    DecodeMessage(*reader, "text/plain", false, sink);
    file.Close();
  });
  const long growth = PeakKb() - before;
  const double filePeer = BestSeconds([&] {
    // The same job with OpenSSL and standard streams: read, decode, digest, write.
    std::ifstream in(bare, std::ios::binary);
    std::ofstream out(attachment, std::ios::binary);
    std::vector<char> block(64 * 1024);
    std::vector<unsigned char> decoded(block.size());
    EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
    EVP_MD_CTX* md5 = EVP_MD_CTX_new();
    EVP_DecodeInit(ctx);
    EVP_DigestInit_ex(md5, EVP_md5(), nullptr);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
      int n = 0;
      EVP_DecodeUpdate(ctx, decoded.data(), &n, reinterpret_cast<unsigned char*>(block.data()),
                       static_cast<int>(in.gcount()));
      EVP_DigestUpdate(md5, decoded.data(), static_cast<std::size_t>(n));
      out.write(reinterpret_cast<char*>(decoded.data()), n);
    }
    int n = 0;
    EVP_DecodeFinal(ctx, decoded.data(), &n);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(md5, md, &len);
    EVP_MD_CTX_free(md5);
    EVP_ENCODE_CTX_free(ctx);
  });
  std::filesystem::remove_all(folder);

  std::printf("message sizes: %zu MB decoded attachment; best of %d runs\n\n", mb, kRuns);
  if (only == "file") {
    Report("base64 spool file to file + MD5", spoolBytes, fileOurs, "OpenSSL + iostreams",
           filePeer);
    std::printf("file-to-file decode: peak resident memory grew by %ld kB (spool file %zu MB)\n",
                growth, spoolBytes / 1000000);
    return 0;
  }
  Base64Cases(size);
  Report("base64 spool file to file + MD5", spoolBytes, fileOurs, "OpenSSL + iostreams", filePeer);
  QuotedPrintableCase(size);
  PlainCase(size);
  DeepCase(size);
  std::printf("\nfile-to-file decode: peak resident memory grew by %ld kB (spool file %zu MB)\n",
              growth, spoolBytes / 1000000);
  return 0;
}
