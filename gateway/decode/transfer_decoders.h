// The body decoders: a part's content, read from a PartReader up to the end of the part,
// turned into bytes in an output, with an optional MD5 digest beside it.
//
// CopyUnencoded copies; DecodeQuotedPrintable and DecodeBase64 decode. When a digest is wanted
// it covers the decoded data in canonical form (for copied text, every LF preceded by a CR;
// for base64, the decoded bytes as they are) and comes back as DigestToText's 24 characters.
// Bad input is never an error: invalid base64 characters are skipped, invalid quoted-printable
// escapes decode to some byte, premature end of base64 data is warned about (the characters of
// the unfinished group still give the whole bytes they carry, as when padding was left out).
//
// The decoders work on whole runs of the reader's buffer and hand the output over in blocks,
// so they run at memory speed. A write error of the output does not stop the reading: the part
// is always read to its end, and DecodeOutput::Failed() tells the caller.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "gateway/decode/mime_headers.h"
#include "platform/stream.h"

namespace faxmail::decode {

class PartReader;

// Where decoded bytes go.
class DecodeOutput {
 public:
  virtual ~DecodeOutput() = default;
  // Takes the bytes; false on a write error (further writes are then ignored).
  virtual bool Write(std::string_view bytes) = 0;
  virtual bool Failed() const = 0;
};

// An open file (text mode turns each LF into CR LF). Does not own the stream.
class StreamOutput final : public DecodeOutput {
 public:
  explicit StreamOutput(platform::Stream& stream) : m_stream(stream) {}
  bool Write(std::string_view bytes) override;
  bool Failed() const override { return m_failed; }

 private:
  platform::Stream& m_stream;
  bool m_failed = false;
};

// Appends to a string in memory.
class StringOutput final : public DecodeOutput {
 public:
  explicit StringOutput(std::string& text) : m_text(text) {}
  bool Write(std::string_view bytes) override;
  bool Failed() const override { return false; }

 private:
  std::string& m_text;
};

// Counts and drops.
class NullOutput final : public DecodeOutput {
 public:
  bool Write(std::string_view bytes) override {
    m_count += bytes.size();
    return true;
  }
  bool Failed() const override { return false; }
  std::size_t Count() const noexcept { return m_count; }

 private:
  std::size_t m_count = 0;
};

// MD5 (RFC 1321) over data given in pieces.
class Md5Digest {
 public:
  static constexpr std::size_t kSize = 16;
  Md5Digest();
  ~Md5Digest();
  Md5Digest(const Md5Digest&) = delete;
  Md5Digest& operator=(const Md5Digest&) = delete;
  void Update(std::string_view data);
  // Finishes the computation; the object is then spent.
  void Final(unsigned char (&digest)[kSize]);

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// The digest as text: the 16 bytes in base64, 22 characters and "==".
std::string DigestToText(Md5Digest& digest);

std::optional<std::string> CopyUnencoded(PartReader& reader, DecodeOutput& output, bool wantDigest);
std::optional<std::string> DecodeQuotedPrintable(PartReader& reader, DecodeOutput& output,
                                                 bool wantDigest);
// suppressCr drops decoded CR bytes from the output (not from the digest).
std::optional<std::string> DecodeBase64(PartReader& reader, DecodeOutput& output, bool wantDigest,
                                        bool suppressCr);

// Whether quoted-printable message text is decoded with the processor's 512-bit vector
// instructions when it has them (the default) or with the portable code only; the output is the
// same. Returns whether the wide code is now in use. For tests and benchmarks: call it before
// any decoding starts.
bool UseWideQuotedPrintable(bool wanted);

// The decoder for an encoding: CopyUnencoded, DecodeQuotedPrintable or DecodeBase64.
std::optional<std::string> DecodeBody(PartReader& reader, TransferEncoding encoding,
                                      DecodeOutput& output, bool wantDigest, bool suppressCr);

// The Content-MD5 check of a saved attachment: the received value must begin with the
// computed digest text. On a difference warns "PATH was corrupted in transit" and returns
// false.
bool CheckContentMd5(std::string_view computed, std::string_view received, std::string_view path);

}  // namespace faxmail::decode
