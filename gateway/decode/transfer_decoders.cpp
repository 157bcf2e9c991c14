#include "gateway/decode/transfer_decoders.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The wide quoted-printable decoder: x86-64 with GCC's per-function targets, chosen at run time
// by what the processor has. Not in Windows builds: the MinGW compiler does not align the stack
// for the spills of 512-bit registers.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define FAXMAIL_QP_WIDE 1
#include <immintrin.h>
#else
#define FAXMAIL_QP_WIDE 0
#endif

#include "gateway/decode/decode_console.h"
#include "gateway/decode/part_reader.h"
#include "platform/digest.h"
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

// The value of each base64 character in the place it takes in a group of four characters
// (group bits 23..0), one table per place; kBadGroup marks a byte outside the alphabet, so that
// an OR of four entries tells whether the group is whole and valid.
constexpr std::uint32_t kBadGroup = 1u << 24;
constexpr std::array<std::array<std::uint32_t, 256>, 4> MakeGroupTables() {
  std::array<std::array<std::uint32_t, 256>, 4> tables{};
  for (std::size_t place = 0; place < 4; ++place) {
    for (std::size_t c = 0; c < 256; ++c) {
      const unsigned v = kBase64Table[c];
      tables[place][c] = v == kInvalid ? kBadGroup : std::uint32_t{v} << (18 - 6 * place);
    }
  }
  return tables;
}
constexpr auto kGroupTables = MakeGroupTables();

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
  // Room for n bytes (at most kBlock) written straight into the block, flushing first when
  // there is not enough; Commit then takes the bytes up to the end given.
  char* Reserve(std::size_t n) {
    if (n > kBlock - m_used) Flush();
    return m_data.data() + m_used;
  }
  void Commit(const char* end) { m_used = static_cast<std::size_t>(end - m_data.data()); }

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

// The quoted-printable decoder without a digest (message text, the common case) takes the
// text in blocks of kQpBlock bytes. Where a block holds '=' is found first, with loads that do
// not wait for any decoding; the escapes are then taken from that mask, so that finding the
// next one is a few register operations, and each is decoded with one look-up in
// kEscapeTable. The literal text before an escape is copied kQpCopy bytes at a time, whole: a
// copy may write past the text's end, and what comes next overwrites that. Blocks never go
// nearer than kQpReach bytes to the end of the run; the rest goes one byte at a time.
constexpr std::size_t kQpBlock = 64;
constexpr std::size_t kQpCopy = 32;
// What a block reads: itself, the two bytes after it that its last escape may take, and the
// rest of a copy that starts inside it.
constexpr std::size_t kQpReach = kQpBlock + kQpCopy;
// Input taken per reservation of output: output never outgrows its input, an escape that
// starts at the end of a stretch reaches at most two bytes beyond it, and the copies write at
// most kQpCopy bytes beyond the output.
constexpr std::size_t kStretch = kBlock / 2;
constexpr std::size_t kStretchRoom = kStretch + 2 + kQpCopy;
static_assert(kStretchRoom <= kBlock);

// Where the kQpBlock bytes at p hold '=', a bit a byte, the first in bit 0.
std::uint64_t EqualsMask(const char* p) {
  static_assert(kQpBlock == 64, "a bit a byte in a 64-bit mask");
#if defined(__SSE2__)
  const auto bits = [p](std::size_t at) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('=')));
    return std::uint64_t{static_cast<std::uint16_t>(mask)} << at;
  };
  return bits(0) | bits(16) | bits(32) | bits(48);
#else
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kQpBlock; ++i) mask |= std::uint64_t{p[i] == '='} << i;
  return mask;
#endif
}

// The byte of the escape whose '=' is at p (p[1] and p[2] readable).
char EscapeValue(const char* p) {
  // Invalid digits count as 127; the byte keeps the low eight bits.
  return static_cast<char>(((Hex(p[1]) << 4) | Hex(p[2])) & 0xff);
}

// Every escape decoded, by the two bytes after its '=' read as one 16-bit number in the
// machine's byte order, so that the block decoder takes each escape with a single load: the
// byte (bits 0-7), whether it goes to the output (bit 8: not for a soft line break nor an
// encoded CR, which never reaches the file) and the bytes the escape takes (bits 9-10).
constexpr unsigned kEscapeEmits = 1u << 8;
constexpr unsigned kEscapeWidthShift = 9;
constexpr std::array<std::uint16_t, 65536> MakeEscapeTable() {
  std::array<std::uint16_t, 65536> table{};
  constexpr bool little = std::endian::native == std::endian::little;
  for (std::size_t pair = 0; pair < table.size(); ++pair) {
    const std::size_t first = little ? pair & 0xff : pair >> 8;
    const std::size_t second = little ? pair >> 8 : pair & 0xff;
    if (first == '\n') {
      table[pair] = 2u << kEscapeWidthShift;  // soft line break
      continue;
    }
    const unsigned value = ((unsigned{kHexTable[first]} << 4) | kHexTable[second]) & 0xff;
    table[pair] = static_cast<std::uint16_t>(value | (value != '\r' ? kEscapeEmits : 0u) |
                                             (3u << kEscapeWidthShift));
  }
  return table;
}
constexpr auto kEscapeTable = MakeEscapeTable();

// The kEscapeTable entry of the escape whose '=' is at p (p[1] and p[2] readable).
unsigned EscapeEntry(const char* p) {
  std::uint16_t pair = 0;
  std::memcpy(&pair, p + 1, 2);
  return kEscapeTable[pair];
}

// Where a stretch of decoding stopped: the next byte of input, the end of the output, and
// whether at an '=' whose escape does not lie wholly in the run.
struct Stopped {
  const char* in;
  char* out;
  bool stuck;
};

// Decodes text from in, one byte or escape at a time, up to stop or to an '=' whose escape
// does not lie wholly before end; an escape started before stop may end beyond it.
Stopped QuotedPrintableBytes(const char* in, const char* stop, const char* end, char* o) {
  while (in < stop) {
    if (*in != '=') {
      *o++ = *in++;
      continue;
    }
    const auto left = static_cast<std::size_t>(end - in);
    if (left >= 2 && in[1] == '\n') {
      in += 2;  // soft line break
      continue;
    }
    if (left < 3) return {in, o, true};  // GetChar takes it from here
    const char value = EscapeValue(in);
    *o = value;
    o += value != '\r';  // encoded CRs never reach the file
    in += 3;
  }
  return {in, o, false};
}

// Copies the literal text from..to of the block at p to o, kQpCopy bytes at a time (at least
// once); returns the end of the text in the output.
char* CopyLiteral(const char* p, std::size_t from, std::size_t to, char* o) {
  std::memcpy(o, p + from, kQpCopy);
  for (std::size_t at = from + kQpCopy; at < to; at += kQpCopy)
    std::memcpy(o + (at - from), p + at, kQpCopy);
  return o + (to - from);
}

// Decodes the block at p from its byte at (0 to 2: an escape of the block before may reach
// into it) to o; returns the offset of the next byte of input (beyond the block when its last
// escape reaches into the next) and moves o to the end of the output.
std::size_t QuotedPrintableBlock(const char* p, std::size_t at, char*& o) {
  std::uint64_t equals = EqualsMask(p) & (~std::uint64_t{0} << at);
  // One escape: the text before it, then its byte. Returns where the text after it starts.
  const auto escape = [p, &o](std::size_t from, std::size_t j) {
    o = CopyLiteral(p, from, j, o);
    const unsigned entry = EscapeEntry(p + j);
    *o = static_cast<char>(entry & 0xff);
    o += (entry >> 8) & 1;
    return j + (entry >> kEscapeWidthShift);
  };
  if ((equals & ((equals << 1) | (equals << 2))) == 0) {
    // No two '=' closer than three bytes: every '=' starts an escape, so the escapes are known
    // at once, and the work on one does not wait for the one before.
    for (; equals != 0; equals &= equals - 1)
      at = escape(at, static_cast<std::size_t>(__builtin_ctzll(equals)));
  } else {
    // One escape after the other: each decides where the next can start.
    while (at < kQpBlock && (equals &= ~std::uint64_t{0} << at) != 0)
      at = escape(at, static_cast<std::size_t>(__builtin_ctzll(equals)));
  }
  if (at < kQpBlock) {
    o = CopyLiteral(p, at, kQpBlock, o);
    at = kQpBlock;
  }
  return at;
}

// Decodes a run in stretches of at most kStretch bytes, each into one reservation of output,
// the blocks of a stretch with block(p, skip, o) (QuotedPrintableBlock or its wide form), the
// bytes after them one at a time. Stops where QuotedPrintableRun stops; returns the bytes
// consumed. Inlined into each caller, so that a wide block decoder is inlined into it in turn.
template <typename BlockDecoder>
inline __attribute__((always_inline)) std::size_t QuotedPrintableStretches(
    std::string_view run, OutBuffer& out, BlockDecoder blockDecoder) {
  const char* in = run.data();
  const char* const end = in + run.size();
  for (;;) {
    const std::size_t take = std::min(static_cast<std::size_t>(end - in), kStretch);
    const char* const stop = in + take;
    char* o = out.Reserve(kStretchRoom);
    // The block at block; its first skip bytes belong to an escape of the block before.
    const char* block = in;
    std::size_t skip = 0;
    while (stop - block >= static_cast<std::ptrdiff_t>(kQpBlock) &&
           end - block >= static_cast<std::ptrdiff_t>(kQpReach)) {
      skip = blockDecoder(block, skip, o) - kQpBlock;
      block += kQpBlock;
    }
    const Stopped stopped = QuotedPrintableBytes(block + skip, stop, end, o);
    out.Commit(stopped.out);
    in = stopped.in;
    if (in == end || stopped.stuck) break;
  }
  return static_cast<std::size_t>(in - run.data());
}

std::size_t QuotedPrintableRunPortable(std::string_view run, OutBuffer& out) {
  return QuotedPrintableStretches(run, out, QuotedPrintableBlock);
}

#if FAXMAIL_QP_WIDE
// GCC 12 takes the undefined upper halves that its own intrinsics start from for uninitialized
// values once they are inlined here.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The block decoder on 512-bit vectors (AVX-512 F and BW), for blocks in which no two '=' are
// closer than three bytes (every '=' then starts an escape): all the block's escapes are found
// and decoded at once, and the bytes to keep are packed together without a branch on the text.
// Other blocks go to QuotedPrintableBlock. Same arguments and result as QuotedPrintableBlock;
// reads the two bytes after the block, and writes up to 16 bytes beyond the output it gives.
#define FAXMAIL_QP_WIDE_TARGET __attribute__((target("avx512f,avx512bw,popcnt")))

// The value of each byte as a hexadecimal digit; kInvalid (127) for any other byte.
FAXMAIL_QP_WIDE_TARGET inline __m512i HexDigits(__m512i bytes) {
  const __m512i digit = _mm512_sub_epi8(bytes, _mm512_set1_epi8('0'));
  const __mmask64 isDigit = _mm512_cmplt_epu8_mask(digit, _mm512_set1_epi8(10));
  const __m512i letter =
      _mm512_sub_epi8(_mm512_or_si512(bytes, _mm512_set1_epi8(0x20)), _mm512_set1_epi8('a'));
  const __mmask64 isLetter = _mm512_cmplt_epu8_mask(letter, _mm512_set1_epi8(6));
  const __m512i value = _mm512_mask_add_epi8(_mm512_set1_epi8(static_cast<char>(kInvalid)),
                                             isLetter, letter, _mm512_set1_epi8(10));
  return _mm512_mask_mov_epi8(value, isDigit, digit);
}

// Packs the bytes of group kGroup (16 bytes) of decoded that keep marks to o, widened to 32
// bits for the packing instruction of AVX-512 F; writes 16 bytes, returns the end of those kept.
template <int kGroup>
FAXMAIL_QP_WIDE_TARGET inline char* PackGroup(__m512i decoded, std::uint64_t keep, char* o) {
  const auto mask = static_cast<__mmask16>(keep >> (16 * kGroup));
  const __m512i wide = _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(decoded, kGroup));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                   _mm512_cvtepi32_epi8(_mm512_maskz_compress_epi32(mask, wide)));
  return o + _mm_popcnt_u32(mask);
}

FAXMAIL_QP_WIDE_TARGET inline std::size_t QuotedPrintableBlockWide(const char* p, std::size_t at,
                                                                   char*& o) {
  const __m512i bytes = _mm512_loadu_si512(p);
  const std::uint64_t from = ~std::uint64_t{0} << at;
  const std::uint64_t equals = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('=')) & from;
  if ((equals & ((equals << 1) | (equals << 2))) != 0) return QuotedPrintableBlock(p, at, o);
  if (equals == 0 && at == 0) {
    _mm512_storeu_si512(o, bytes);
    o += kQpBlock;
    return kQpBlock;
  }
  // The bytes after each byte: the two digits of an escape, or the LF of a soft line break.
  const __m512i first = _mm512_loadu_si512(p + 1);
  const __m512i second = _mm512_loadu_si512(p + 2);
  const std::uint64_t soft = equals & _mm512_cmpeq_epi8_mask(first, _mm512_set1_epi8('\n'));
  const std::uint64_t hard = equals & ~soft;
  // The byte of each escape: invalid digits count as 127, the byte keeps the low eight bits.
  const __m512i high = _mm512_and_si512(_mm512_slli_epi16(HexDigits(first), 4),
                                        _mm512_set1_epi8(static_cast<char>(0xf0)));
  const __m512i value = _mm512_or_si512(high, HexDigits(second));
  const __m512i decoded = _mm512_mask_mov_epi8(bytes, hard, value);
  // Encoded CRs never reach the file; the '=' of a soft line break, the LF after it and the
  // digits of an escape are no output.
  const std::uint64_t cr = hard & _mm512_cmpeq_epi8_mask(value, _mm512_set1_epi8('\r'));
  const std::uint64_t taken = (hard << 1) | (hard << 2) | (soft << 1);
  const std::uint64_t keep = from & ~(taken | soft | cr);
  o = PackGroup<0>(decoded, keep, o);
  o = PackGroup<1>(decoded, keep, o);
  o = PackGroup<2>(decoded, keep, o);
  o = PackGroup<3>(decoded, keep, o);
  // The digits or the LF that the block's last escape takes from the next block.
  return kQpBlock + ((hard >> 62) & 1) + ((hard >> 63) & 1) * 2 + ((soft >> 63) & 1);
}

FAXMAIL_QP_WIDE_TARGET std::size_t QuotedPrintableRunWide(std::string_view run, OutBuffer& out) {
  return QuotedPrintableStretches(run, out, QuotedPrintableBlockWide);
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

bool WideSupported() {
  static const bool supported = __builtin_cpu_supports("avx512f") &&
                                __builtin_cpu_supports("avx512bw") &&
                                __builtin_cpu_supports("popcnt");
  return supported;
}
#else
bool WideSupported() { return false; }
#endif

// Whether message text is decoded with QuotedPrintableRunWide; set once, before any decoding,
// or by UseWideQuotedPrintable.
std::atomic<bool> g_wide{WideSupported()};

// QuotedPrintableRun without a digest. Stops where QuotedPrintableRun stops; returns the
// bytes consumed.
std::size_t QuotedPrintableRunFast(std::string_view run, OutBuffer& out) {
#if FAXMAIL_QP_WIDE
  if (g_wide.load(std::memory_order_relaxed)) return QuotedPrintableRunWide(run, out);
#endif
  return QuotedPrintableRunPortable(run, out);
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
        i += WholeGroups(p + i, len - i);
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

  // Whole groups of valid characters from p: the common case, without per-character state.
  // Returns the characters consumed: up to the first group that is not whole and valid.
  std::size_t WholeGroups(const unsigned char* p, std::size_t len) {
    const auto& t = kGroupTables;
    std::size_t i = 0;
    for (;;) {
      if (m_used + 3 > kBlock) Flush();
      // The groups that fit in the block, decoded with the position kept in a local: the
      // stores to the block cannot then be taken to change it.
      const std::size_t groups = std::min(len - i, (kBlock - m_used) / 3 * 4) / 4;
      if (groups == 0) return i;
      char* o = m_data.data() + m_used;
      const unsigned char* in = p + i;
      const unsigned char* const stop = in + groups * 4;
      while (in != stop) {
        const std::uint32_t v = t[0][in[0]] | t[1][in[1]] | t[2][in[2]] | t[3][in[3]];
        if (v & kBadGroup) break;
        o[0] = static_cast<char>(v >> 16);
        o[1] = static_cast<char>((v >> 8) & 0xff);
        o[2] = static_cast<char>(v & 0xff);
        o += 3;
        in += 4;
      }
      m_used = static_cast<std::size_t>(o - m_data.data());
      i = static_cast<std::size_t>(in - p);
      if (in != stop) return i;
    }
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
  platform::Digest digest{platform::DigestAlgorithm::Md5};
};

Md5Digest::Md5Digest() : m_state(std::make_unique<State>()) {
  if (!m_state->digest.Valid()) throw std::bad_alloc();
}

Md5Digest::~Md5Digest() = default;

void Md5Digest::Update(std::string_view data) { m_state->digest.Update(data); }

void Md5Digest::Final(unsigned char (&digest)[kSize]) {
  std::array<unsigned char, platform::Digest::kMaxSize> out{};
  m_state->digest.Final(out);
  std::copy_n(out.begin(), kSize, digest);
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

bool UseWideQuotedPrintable(bool wanted) {
  const bool wide = wanted && WideSupported();
  g_wide.store(wide, std::memory_order_relaxed);
  return wide;
}

std::optional<std::string> DecodeQuotedPrintable(PartReader& reader, DecodeOutput& output,
                                                 bool wantDigest) {
  OutBuffer out(output);
  DigestFeed digest(wantDigest);
  for (;;) {
    if (const std::string_view run = reader.PeekRun(); !run.empty()) {
      const std::size_t used =
          wantDigest ? QuotedPrintableRun(run, out, digest) : QuotedPrintableRunFast(run, out);
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
