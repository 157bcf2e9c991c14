#include "gateway/smtp_out/encoder.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "common/base64.h"
#include "gateway/decode/decode_console.h"
#include "platform/stream.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

struct Signature {
  const char* contentType;
  std::string_view bytes;
};

// Searched in this order; the longest signature is the number of bytes looked at.
constexpr std::array<Signature, 4> kSignatures = {{
    {"image/gif", std::string_view("GIF", 3)},
    {"image/jpeg", std::string_view("\xFF\xD8\xFF", 3)},
    {"video/mpeg", std::string_view("\x00\x00\x01\xB3", 4)},
    {"application/postscript", std::string_view("%!", 2)},
}};
constexpr std::size_t kSignatureBytes = 4;
constexpr char kOctetStream[] = "application/octet-stream";

// Input read per block: whole base64 lines, so a block never ends inside a group.
constexpr std::size_t kBlockBytes = kBase64LineBytes * 1024;

// Reads until size bytes or the end of the file (or a read error, which counts as the end).
std::size_t ReadFully(platform::File& input, unsigned char* buffer, std::size_t size) {
  std::size_t total = 0;
  while (total < size) {
    std::size_t got = 0;
    if (input.Read(buffer + total, size - total, got) != platform::kErrorSuccess || got == 0) break;
    total += got;
  }
  return total;
}

}  // namespace

const char* GuessContentType(platform::File& input) {
  unsigned char head[kSignatureBytes];
  const std::size_t got = ReadFully(input, head, sizeof head);
  input.Seek(0, SEEK_SET);
  const std::string_view start(reinterpret_cast<const char*>(head), got);
  for (const Signature& signature : kSignatures)
    if (signature.bytes.size() <= got && start.starts_with(signature.bytes))
      return signature.contentType;
  return kOctetStream;
}

int EncodeAttachment(platform::File& input, const std::string& outputPath, std::string_view name,
                     const char* contentType) {
  if (contentType == nullptr) contentType = GuessContentType(input);
  // The part file is written in a folder that others write to as well: whatever is in the way
  // at its name (a symbolic link to a file elsewhere, a FIFO) is neither followed nor waited on.
  platform::File file;
  if (platform::File::Open(outputPath, platform::Access::Write, platform::Share::None,
                           platform::Disposition::CreateAlways, file, platform::Links::DontFollow,
                           platform::Kind::RegularFile) != platform::kErrorSuccess) {
    decode::ReportFileError(outputPath);
    return 1;
  }
  platform::Stream out = platform::Stream::Adopt(std::move(file), platform::StreamMode::Text);
  const std::string shown(name);
  std::string text;
  text += "Content-Type: " + std::string(contentType) + ";\n        name=\"" + shown + "\"\n";
  text += "Content-Transfer-Encoding: base64\n";
  text += "Content-Disposition: attachment;\n        filename=\"" + shown + "\"\n";
  text += "Content-Description: " + shown + "\n\n";
  bool written = out.Write(text);

  std::string block(kBlockBytes, '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(block.data());
  std::string lines;
  for (;;) {
    const std::size_t got = ReadFully(input, bytes, kBlockBytes);
    if (got == 0) break;
    lines.clear();
    for (std::size_t at = 0; at < got; at += kBase64LineBytes) {
      AppendBase64(lines, std::string_view(block).substr(at, std::min(kBase64LineBytes, got - at)));
      lines.push_back('\n');
    }
    written = out.Write(lines) && written;
    if (got < kBlockBytes) break;
  }
  // A part cut short by a full disk must not go out as if it were whole.
  if (out.Close() != platform::kErrorSuccess || !written) {
    decode::ReportFileError(outputPath);
    return 1;
  }
  return 0;
}

}  // namespace faxmail
