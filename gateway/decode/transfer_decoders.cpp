#include "gateway/decode/transfer_decoders.h"

#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <new>

#include "gateway/decode/decode_console.h"
#include "gateway/decode/part_reader.h"
#include "platform/win_error.h"

namespace faxmail::decode {

namespace {

constexpr int kEnd = PartReader::kEndOfPart;
// Decoded bytes are collected in blocks of this size before they go to the output.
constexpr std::size_t kBlock = 16 * 1024;
// Table value of a byte outside an alphabet.
constexpr unsigned char kInvalid = 127;

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<unsigned char, 256> MakeBase64Table() {
  std::array<unsigned char, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (std::size_t i = 0; i < kBase64Alphabet.size(); ++i)
    table[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<unsigned char>(i);
  return table;
}
constexpr auto kBase64Table = MakeBase64Table();

constexpr std::array<unsigned char, 256> MakeHexTable() {
  std::array<unsigned char, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<unsigned char>(i);
  for (int i = 0; i < 6; ++i) {
    table['A' + i] = static_cast<unsigned char>(10 + i);
    table['a' + i] = static_cast<unsigned char>(10 + i);
  }
  return table;
}
constexpr auto kHexTable = MakeHexTable();

unsigned Hex(int c) { return c == kEnd ? kInvalid : kHexTable[static_cast<unsigned char>(c)]; }
unsigned Hex(char c) { return kHexTable[static_cast<unsigned char>(c)]; }

// Collects output bytes into blocks.
class OutBuffer {
 public:
  explicit OutBuffer(DecodeOutput& output) : m_output(output) {}
  ~OutBuffer() { Flush(); }
  OutBuffer(const OutBuffer&) = delete;
  OutBuffer& operator=(const OutBuffer&) = delete;

  void Put(char c) {
    if (m_used == kBlock) Flush();
    m_data[m_used++] = c;
  }
  void Append(std::string_view bytes) {
    if (bytes.size() > kBlock - m_used) {
      Flush();
      if (bytes.size() >= kBlock) {
        m_output.Write(bytes);
        return;
      }
    }
    std::memcpy(m_data.data() + m_used, bytes.data(), bytes.size());
    m_used += bytes.size();
  }
  void Flush() {
    if (m_used != 0) m_output.Write(std::string_view(m_data.data(), m_used));
    m_used = 0;
  }

 private:
  DecodeOutput& m_output;
  std::array<char, kBlock> m_data;
  std::size_t m_used = 0;
};

// The digest of the decoded data, fed in blocks; does nothing when no digest is wanted.
class DigestFeed {
 public:
  explicit DigestFeed(bool wanted) {
    if (wanted) m_digest = std::make_unique<Md5Digest>();
  }
  void Put(char c) {
    if (!m_digest) return;
    if (m_used == kBlock) Flush();
    m_data[m_used++] = c;
  }
  // Bytes as they are.
  void Append(std::string_view bytes) {
    if (!m_digest) return;
    Flush();
    m_digest->Update(bytes);
  }
  // Text in canonical form: each LF preceded by a CR.
  void AppendText(std::string_view text) {
    if (!m_digest) return;
    for (;;) {
      const std::size_t lf = text.find('\n');
      Copy(text.substr(0, lf));
      if (lf == std::string_view::npos) return;
      Put('\r');
      Put('\n');
      text.remove_prefix(lf + 1);
    }
  }
  // The text, or none when no digest was wanted.
  std::optional<std::string> Text() {
    if (!m_digest) return std::nullopt;
    Flush();
    return DigestToText(*m_digest);
  }

 private:
  void Copy(std::string_view bytes) {
    while (!bytes.empty()) {
      if (m_used == kBlock) Flush();
      const std::size_t n = std::min(bytes.size(), kBlock - m_used);
      std::memcpy(m_data.data() + m_used, bytes.data(), n);
      m_used += n;
      bytes.remove_prefix(n);
    }
  }
  void Flush() {
    if (m_used != 0) m_digest->Update(std::string_view(m_data.data(), m_used));
    m_used = 0;
  }

  std::unique_ptr<Md5Digest> m_digest;
  std::array<char, kBlock> m_data;
  std::size_t m_used = 0;
};

// Decodes the quoted-printable text of a run up to its end, or up to an '=' whose escape does
// not lie wholly in the run; returns the bytes consumed.
std::size_t QuotedPrintableRun(std::string_view run, OutBuffer& out, DigestFeed& digest) {
  std::size_t pos = 0;
  while (pos < run.size()) {
    const std::size_t eq = std::min(run.find('=', pos), run.size());
    const std::string_view literal = run.substr(pos, eq - pos);
    out.Append(literal);
    digest.AppendText(literal);
    pos = eq;
    if (pos == run.size()) break;
    if (run.size() - pos >= 2 && run[pos + 1] == '\n') {
      pos += 2;  // soft line break
      continue;
    }
    if (run.size() - pos < 3) break;  // GetChar takes it from here
    const auto value = static_cast<char>(((Hex(run[pos + 1]) << 4) | Hex(run[pos + 2])) & 0xff);
    digest.Put(value);
    if (value != '\r') out.Put(value);  // encoded CRs never reach the file
    pos += 3;
  }
  return pos;
}

// Base64 groups of four characters, decoded a run at a time.
class Base64Decoder {
 public:
  Base64Decoder(DecodeOutput& output, DigestFeed& digest, bool suppressCr)
      : m_out(output), m_digest(digest), m_suppressCr(suppressCr) {}

  bool Done() const noexcept { return m_done; }
  bool InGroup() const noexcept { return m_count != 0; }

  void Run(std::string_view run) {
    const auto* p = reinterpret_cast<const unsigned char*>(run.data());
    const std::size_t len = run.size();
    std::size_t i = 0;
    while (i < len && !m_done) {
      if (m_count == 0) {
        // Whole groups of valid characters: the common case, without per-character state.
        while (len - i >= 4) {
          const unsigned a = kBase64Table[p[i]];
          const unsigned b = kBase64Table[p[i + 1]];
          const unsigned c = kBase64Table[p[i + 2]];
          const unsigned d = kBase64Table[p[i + 3]];
          if ((a | b | c | d) & 0x40) break;
          if (m_used + 3 > kBlock) Flush();
          const unsigned v = (a << 18) | (b << 12) | (c << 6) | d;
          m_data[m_used] = static_cast<char>(v >> 16);
          m_data[m_used + 1] = static_cast<char>((v >> 8) & 0xff);
          m_data[m_used + 2] = static_cast<char>(v & 0xff);
          m_used += 3;
          i += 4;
        }
        if (i == len) break;
      }
      Char(p[i++]);
    }
  }

  void Char(unsigned char ch) {
    const unsigned char v = kBase64Table[ch];
    if (v == kInvalid && ch != '=') return;
    m_chars[m_count] = ch;
    m_values[m_count] = v;
    if (++m_count < 4) return;
    m_count = 0;
    // Padding in the first two places decodes nothing; padding anywhere ends the data.
    if (m_chars[0] == '=' || m_chars[1] == '=') {
      m_done = true;
      return;
    }
    Emit(static_cast<char>((m_values[0] << 2) | ((m_values[1] >> 4) & 3)));
    if (m_chars[2] == '=') {
      m_done = true;
      return;
    }
    Emit(static_cast<char>(((m_values[1] << 4) | ((m_values[2] >> 2) & 15)) & 0xff));
    if (m_chars[3] == '=') {
      m_done = true;
      return;
    }
    Emit(static_cast<char>(((m_values[2] << 6) | m_values[3]) & 0xff));
  }

  // The data ended inside a group. An encoder that leaves out the padding still sent whole
  // bytes there: two characters carry one, three carry two. A lone character carries none.
  void EndShortGroup() {
    const int count = m_count;
    m_count = 0;
    if (count < 2 || m_chars[0] == '=' || m_chars[1] == '=') return;
    Emit(static_cast<char>((m_values[0] << 2) | ((m_values[1] >> 4) & 3)));
    if (count == 3 && m_chars[2] != '=')
      Emit(static_cast<char>(((m_values[1] << 4) | ((m_values[2] >> 2) & 15)) & 0xff));
  }

  // Hands everything decoded so far on.
  void Finish() {
    Flush();
    m_out.Flush();
  }

 private:
  void Flush() {
    if (m_used == 0) return;
    const std::string_view block(m_data.data(), m_used);
    m_digest.Append(block);
    if (!m_suppressCr) {
      m_out.Append(block);
    } else {
      std::size_t from = 0;
      while (from < block.size()) {
        const std::size_t cr = block.find('\r', from);
        const std::size_t to = cr == std::string_view::npos ? block.size() : cr;
        m_out.Append(block.substr(from, to - from));
        from = to + 1;
      }
    }
    m_used = 0;
  }

  void Emit(char c) {
    if (m_used == kBlock) Flush();
    m_data[m_used++] = c;
  }

  OutBuffer m_out;
  DigestFeed& m_digest;
  bool m_suppressCr;
  bool m_done = false;
  int m_count = 0;
  unsigned char m_chars[4] = {};
  unsigned char m_values[4] = {};
  std::array<char, kBlock> m_data;
  std::size_t m_used = 0;
};

// Reads and drops the rest of the part.
void DrainPart(PartReader& reader) {
  for (;;) {
    const std::string_view run = reader.PeekRun();
    if (!run.empty()) {
      reader.Skip(run.size());
      continue;
    }
    if (reader.GetChar() == kEnd) return;
  }
}

}  // namespace

bool StreamOutput::Write(std::string_view bytes) {
  if (m_failed) return false;
  if (m_stream.Mode() == platform::StreamMode::Binary) {
    // The decoders hand over whole blocks: they go to the file at once, behind whatever the
    // stream still buffers.
    if (!m_stream.Flush() || m_stream.Handle().Write(bytes) != platform::kErrorSuccess)
      m_failed = true;
  } else if (!m_stream.Write(bytes)) {
    m_failed = true;
  }
  return !m_failed;
}

bool StringOutput::Write(std::string_view bytes) {
  m_text.append(bytes);
  return true;
}

struct Md5Digest::State {
  EVP_MD_CTX* ctx = nullptr;
  ~State() { EVP_MD_CTX_free(ctx); }
};

Md5Digest::Md5Digest() : m_state(std::make_unique<State>()) {
  m_state->ctx = EVP_MD_CTX_new();
  if (!m_state->ctx || EVP_DigestInit_ex(m_state->ctx, EVP_md5(), nullptr) != 1)
    throw std::bad_alloc();
}

Md5Digest::~Md5Digest() = default;

void Md5Digest::Update(std::string_view data) {
  if (!data.empty()) EVP_DigestUpdate(m_state->ctx, data.data(), data.size());
}

void Md5Digest::Final(unsigned char (&digest)[kSize]) {
  unsigned int len = 0;
  EVP_DigestFinal_ex(m_state->ctx, digest, &len);
}

std::string DigestToText(Md5Digest& digest) {
  unsigned char md5[Md5Digest::kSize] = {};
  digest.Final(md5);
  // Two zero bytes make 18, which base64 turns into 24 characters; the last two become "==".
  unsigned char bytes[Md5Digest::kSize + 2] = {};
  std::memcpy(bytes, md5, sizeof md5);
  std::string text;
  for (std::size_t i = 0; i < sizeof bytes; i += 3) {
    const unsigned v = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8) | bytes[i + 2];
    text.push_back(kBase64Alphabet[(v >> 18) & 63]);
    text.push_back(kBase64Alphabet[(v >> 12) & 63]);
    text.push_back(kBase64Alphabet[(v >> 6) & 63]);
    text.push_back(kBase64Alphabet[v & 63]);
  }
  text.replace(22, 2, "==");
  return text;
}

std::optional<std::string> CopyUnencoded(PartReader& reader, DecodeOutput& output,
                                         bool wantDigest) {
  OutBuffer out(output);
  DigestFeed digest(wantDigest);
  for (;;) {
    const std::string_view run = reader.PeekRun();
    if (!run.empty()) {
      out.Append(run);
      digest.AppendText(run);
      reader.Skip(run.size());
      continue;
    }
    const int c = reader.GetChar();
    if (c == kEnd) break;
    if (c == '\n') digest.Put('\r');
    digest.Put(static_cast<char>(c));
    out.Put(static_cast<char>(c));
  }
  out.Flush();
  return digest.Text();
}

std::optional<std::string> DecodeQuotedPrintable(PartReader& reader, DecodeOutput& output,
                                                 bool wantDigest) {
  OutBuffer out(output);
  DigestFeed digest(wantDigest);
  for (;;) {
    if (const std::string_view run = reader.PeekRun(); !run.empty()) {
      const std::size_t used = QuotedPrintableRun(run, out, digest);
      reader.Skip(used);
      if (used != 0) continue;
    }
    const int c = reader.GetChar();
    if (c == kEnd) break;
    if (c != '=') {
      if (c == '\n') digest.Put('\r');
      digest.Put(static_cast<char>(c));
      out.Put(static_cast<char>(c));
      continue;
    }
    const int high = reader.GetChar();
    if (high == '\n') continue;  // soft line break
    // XXX An '=' that ends the part is a soft line break before the delimiter: it decodes to
    // nothing rather than to a byte made of two missing digits.
    if (high == kEnd) break;
    const int low = reader.GetChar();
    // Invalid digits count as 127; the byte keeps the low eight bits.
    const auto value = static_cast<char>(((Hex(high) << 4) | Hex(low)) & 0xff);
    digest.Put(value);
    if (value != '\r') out.Put(value);  // encoded CRs never reach the file
  }
  out.Flush();
  return digest.Text();
}

std::optional<std::string> DecodeBase64(PartReader& reader, DecodeOutput& output, bool wantDigest,
                                        bool suppressCr) {
  DigestFeed digest(wantDigest);
  Base64Decoder decoder(output, digest, suppressCr);
  for (;;) {
    const std::string_view run = reader.PeekRun();
    if (!run.empty()) {
      decoder.Run(run);
      reader.Skip(run.size());
      if (decoder.Done()) break;
      continue;
    }
    const int c = reader.GetChar();
    if (c == kEnd) break;
    decoder.Char(static_cast<unsigned char>(c));
    if (decoder.Done()) break;
  }
  if (decoder.Done()) {
    DrainPart(reader);
  } else if (decoder.InGroup()) {
    Warn("Premature EOF");
    decoder.EndShortGroup();
  }
  decoder.Finish();
  return digest.Text();
}

std::optional<std::string> DecodeBody(PartReader& reader, TransferEncoding encoding,
                                      DecodeOutput& output, bool wantDigest, bool suppressCr) {
  switch (encoding) {
    case TransferEncoding::QuotedPrintable:
      return DecodeQuotedPrintable(reader, output, wantDigest);
    case TransferEncoding::Base64: return DecodeBase64(reader, output, wantDigest, suppressCr);
    case TransferEncoding::None: break;
  }
  return CopyUnencoded(reader, output, wantDigest);
}

bool CheckContentMd5(std::string_view computed, std::string_view received, std::string_view path) {
  if (received.substr(0, computed.size()) == computed) return true;
  std::string text(path);
  text += " was corrupted in transit";
  Warn(text);
  return false;
}

}  // namespace faxmail::decode
