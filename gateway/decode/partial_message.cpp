#include "gateway/decode/partial_message.h"

#include <climits>
#include <vector>

#include "gateway/decode/decode_console.h"
#include "gateway/decode/decode_message.h"
#include "gateway/decode/part_directory.h"
#include "gateway/decode/transfer_decoders.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/stream.h"
#include "platform/temp_file.h"
#include "platform/win_error.h"

namespace faxmail::decode {

namespace {

constexpr char kTotalFile[] = "CT";
constexpr char kFullFile[] = "FULL";
// The header lines of part 1's body are read in pieces of at most this many bytes.
constexpr std::size_t kHeaderPiece = 1024;
// Bytes of a part file copied at a time into the joined message.
constexpr std::size_t kCopyBlock = 64 * 1024;

// Header lines that belong to the enclosed message rather than to the enclosing one.
bool IsInnerHeader(std::string_view line) {
  return StartsWithNoCase(line, "content-") || StartsWithNoCase(line, "message-id:");
}

bool IsContinuation(std::string_view line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

// Opens a file of the store without sharing; how is "r" or "w". A symbolic link in the file's
// place is never followed: a planted link can neither receive a part nor
// feed another file into a joined message.
long OpenStoreFile(const std::string& path, std::string_view how, platform::StreamMode mode,
                   platform::Stream& out) {
  const bool write = how == "w";
  platform::File file;
  if (const long err = platform::File::Open(
          path, write ? platform::Access::Write : platform::Access::Read, platform::Share::None,
          write ? platform::Disposition::CreateAlways : platform::Disposition::OpenExisting, file,
          platform::Links::DontFollow))
    return err;
  out = platform::Stream::Adopt(std::move(file), mode);
  return platform::kErrorSuccess;
}

int Fail(PartReader& reader) {
  SkipPart(reader);
  return 1;
}

// The enclosing message's header lines, without those of the enclosed message.
void WriteOuterHeaders(std::string_view block, platform::Stream& out) {
  bool dropping = false;
  std::size_t pos = block.empty() ? 0 : 1;  // after the block's leading LF
  while (pos < block.size()) {
    const std::size_t lf = block.find('\n', pos);
    const std::size_t end = lf == std::string_view::npos ? block.size() : lf + 1;
    const std::string_view line = block.substr(pos, end - pos);
    if (!IsContinuation(line)) dropping = IsInnerHeader(line);
    if (!dropping) {
      out.Write(line);
      if (line.back() != '\n') out.Write("\n");
    }
    pos = end;
  }
}

// The enclosed message's own header lines at the start of part 1's body, up to and including
// the blank line that ends them.
void WriteInnerHeaders(PartReader& reader, platform::Stream& out) {
  std::string piece;
  bool atLineStart = true;
  bool copying = false;
  for (;;) {
    piece.clear();
    if (reader.GetLine(piece, kHeaderPiece) == 0) return;
    if (atLineStart) {
      if (piece == "\n") {
        out.Write("\n");
        return;
      }
      if (!IsContinuation(piece)) copying = IsInnerHeader(piece);
    }
    if (copying) out.Write(piece);
    atLineStart = piece.back() == '\n';
  }
}

// Joins the part files 1..total into FULL, which joined owns on success. The parts are deleted
// once FULL is complete: a join that fails keeps every part stored (and drops FULL).
bool JoinParts(const std::string& dir, int total, platform::TempFile& joined) {
  const std::string fullPath = dir + kFullFile;
  // Declared before the stream: the file is closed before its name goes.
  platform::TempFile fullName;
  platform::Stream full;
  if (OpenStoreFile(fullPath, "w", platform::StreamMode::Text, full) != platform::kErrorSuccess) {
    ReportFileError(fullPath);
    return false;
  }
  fullName = platform::TempFile(fullPath);
  std::vector<char> block(kCopyBlock);
  for (int i = 1; i <= total; ++i) {
    const std::string partPath = dir + std::to_string(i);
    platform::Stream part;
    if (OpenStoreFile(partPath, "r", platform::StreamMode::Text, part) != platform::kErrorSuccess) {
      ReportFileError(partPath);
      return false;
    }
    while (const std::size_t n = part.Read(block.data(), block.size())) full.Write(block.data(), n);
    part.Close();
  }
  if (full.Close() != platform::kErrorSuccess) {
    ReportFileError(fullPath);
    return false;
  }
  for (int i = 1; i <= total; ++i) platform::DeleteFile(dir + std::to_string(i));
  joined = std::move(fullName);
  return true;
}

bool IsStoreFileName(std::string_view name) {
  if (name == kTotalFile || name == kFullFile) return true;
  if (name.empty()) return false;
  for (const char c : name)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

int ParseDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) {
      value = INT_MAX;
      break;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

void RemoveStalePartialSets(const std::string& partsFolder, std::uint64_t now,
                            std::uint64_t maxAge) {
  std::vector<platform::DirEntry> sets;
  if (platform::FindFiles(partsFolder, "*", sets) != platform::kErrorSuccess) return;
  for (const platform::DirEntry& set : sets) {
    if (!set.isDirectory) continue;
    const std::string path = partsFolder + platform::kPathSeparator + set.name;
    std::uint64_t changed = 0;
    if (platform::GetModifiedTime(path, changed) != platform::kErrorSuccess) continue;
    if (changed > now || now - changed <= maxAge) continue;
    std::vector<platform::DirEntry> files;
    if (platform::FindFiles(path, "*", files) != platform::kErrorSuccess) continue;
    // Only the store's own files go; a folder with anything else in it stays.
    for (const platform::DirEntry& file : files)
      if (!file.isDirectory && IsStoreFileName(file.name))
        platform::DeleteFile(path + platform::kPathSeparator + file.name);
    RemovePartDirectory(path);
  }
}

int HandlePartial(PartReader& reader, const PartHeaders& headers, const ContentType& type,
                  DecodeSink& sink, int nesting) {
  const auto id = GetParam(type.params, "id");
  if (!id) {
    Warn("partial message has no id parameter");
    return Fail(reader);
  }
  if (nesting >= kMaxNesting) {
    Warn("parts nested too deeply; skipping the inner part");
    return Fail(reader);
  }
  const std::string partsFolder = PartsFolder();
  if (partsFolder.empty()) return Fail(reader);
  RemoveStalePartialSets(partsFolder, platform::ReadClock().seconds);
  const std::string dir = PartDirectory(*id);
  // Without its folder a set would be stored in the current directory, mixed with others.
  if (dir.empty()) return Fail(reader);

  const auto numberText = GetParam(type.params, "number");
  if (!numberText) {
    Warn("partial message doesn't have number parameter");
    return Fail(reader);
  }
  const int number = ParseDecimal(*numberText);

  const std::string totalPath = dir + kTotalFile;
  int total = 0;
  if (const auto totalText = GetParam(type.params, "total")) {
    total = ParseDecimal(*totalText);
    if (total < 1 || total > kMaxParts) {
      Warn("partial message has invalid number of parts");
      return Fail(reader);
    }
    platform::Stream ct;
    if (OpenStoreFile(totalPath, "w", platform::StreamMode::Text, ct) != platform::kErrorSuccess ||
        !ct.Write(std::to_string(total) + "\n") || ct.Close() != platform::kErrorSuccess) {
      ReportFileError(totalPath);
      return Fail(reader);
    }
  } else {
    platform::Stream ct;
    if (OpenStoreFile(totalPath, "r", platform::StreamMode::Text, ct) == platform::kErrorSuccess) {
      std::string line;
      ct.ReadLine(line, 100);
      total = std::max(0, ParseDecimal(line));
      if (total > kMaxParts) {
        Warn("partial message has invalid number of parts");
        return Fail(reader);
      }
    }
  }
  if (number < 1 || number > kMaxParts || (total != 0 && total < number)) {
    Warn("partial message has invalid number");
    return Fail(reader);
  }

  std::string progress = "Saving part " + std::to_string(number) + " ";
  if (total != 0) progress += "of " + std::to_string(total) + " ";
  ConsoleOut(progress + *id + "\n");

  const std::string partPath = dir + std::to_string(number);
  {
    // Declared before the stream: the file is closed before its name goes.
    platform::TempFile partName;
    platform::Stream part;
    if (OpenStoreFile(partPath, "w", platform::StreamMode::Text, part) != platform::kErrorSuccess) {
      ReportFileError(partPath);
      return Fail(reader);
    }
    // A part cut short must not complete the set: it is stored only once wholly written.
    partName = platform::TempFile(partPath);
    if (number == 1) {
      WriteOuterHeaders(headers.block, part);
      WriteInnerHeaders(reader, part);
    }
    StreamOutput output(part);
    CopyUnencoded(reader, output, false);
    if (part.Close() != platform::kErrorSuccess || output.Failed()) {
      ReportFileError(partPath);
      return 1;
    }
    partName.Release();
  }
  if (total == 0) return 0;
  for (int i = total; i >= 1; --i)
    if (!platform::FileExists(dir + std::to_string(i))) return 0;  // more parts to come

  // FULL goes on every way out: the parts it joined are gone, and nothing reads it again.
  platform::TempFile joinedFile;
  if (!JoinParts(dir, total, joinedFile)) return 1;
  const std::string& fullPath = joinedFile.Path();
  {
    platform::Stream full;
    if (OpenStoreFile(fullPath, "r", platform::StreamMode::Binary, full) !=
        platform::kErrorSuccess) {
      ReportFileError(fullPath);
      return 1;
    }
    PartReader joined(std::make_unique<TextFileSource>(std::move(full)));
    joined.SetAttachmentListPath(reader.AttachmentListPath());
    DecodeMessage(joined, "text/plain", false, sink, nesting + 1);
  }
  joinedFile.Discard();
  platform::DeleteFile(totalPath);
  RemovePartDirectory(dir);
  return 0;
}

}  // namespace faxmail::decode
