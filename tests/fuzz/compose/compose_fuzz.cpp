// Fuzz target of outbound mail composition: libFuzzer's entry point (clang -fsanitize=fuzzer),
// also driven by tests/fuzz/support/fuzz_driver.cpp under GCC.
//
// The input gives the options, a ready file and the files it may name as attachments:
//   - byte 0: the options, bit 0 IncludeTIFF, bit 1 SubjectLine, bit 2 NotifyOnSuccess,
//     bit 3 NotifyOnFailure;
//   - then the ready file's text, up to the first zero byte (or the end);
//   - then attachment files, each a byte whose low five bits are the length of its name and
//     whose bit 7 makes it a folder instead of a file, the name, a two-byte length (high byte
//     first) and that many bytes of content (cut at the input's end).
// Everything goes into a private IN folder, emptied before each run; ComposeMessage then
// composes the ready file into a work file with those options, and FindReceiver reads it.
//
// Checked: the result is one of ComposeMessage's, a message to send ends with the SMTP end
// line, the header lines (up to the first empty line) end only in CR LF, no scratch file of an
// encoded part stays in IN, the ready file is left as it was, and the receiver line fits.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_out/compose.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "tests/fuzz/support/fuzz_root.h"

namespace {

using namespace faxmail;

// One file manager for each combination of the four option bits.
constexpr std::size_t kOptionSets = 16;
constexpr std::size_t kNameLengthMask = 0x1F;
constexpr unsigned kFolderFlag = 0x80;
constexpr char kReadyName[] = "ready.tmp";
constexpr char kWorkName[] = "work.cqx";

struct Gateway {
  std::filesystem::path in;
  std::array<std::unique_ptr<CFileMan>, kOptionSets> options;
};

Gateway& TheGateway() {
  static Gateway gateway;
  return gateway;
}

[[noreturn]] void Fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

void SetValue(const char* name, const std::string* text, std::uint32_t number) {
  platform::RegKey key;
  if (platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key) != 0) std::abort();
  const long result =
      text ? platform::RegSetString(key, name, *text) : platform::RegSetDword(key, name, number);
  if (result != 0) std::abort();
  platform::RegCloseKey(key);
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::filesystem::path& path, std::string_view data) {
  std::ofstream(path, std::ios::binary)
      .write(data.data(), static_cast<std::streamsize>(data.size()));
}

// A name the fuzzer gave that can be a file of IN (the composer decides what it accepts).
bool UsableName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name != kReadyName && name != kWorkName &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// Returns the names it made, so that a file the input itself names like a scratch part is not
// taken for one.
std::set<std::string> MakeAttachments(std::string_view rest, const std::filesystem::path& in) {
  std::set<std::string> made;
  while (!rest.empty()) {
    const auto head = static_cast<unsigned char>(rest.front());
    rest.remove_prefix(1);
    const std::string_view name = rest.substr(0, head & kNameLengthMask);
    rest.remove_prefix(name.size());
    std::size_t length = 0;
    if (rest.size() >= 2) {
      length = (std::size_t{static_cast<unsigned char>(rest[0])} << 8) |
               static_cast<unsigned char>(rest[1]);
      rest.remove_prefix(2);
    } else {
      rest = {};
    }
    const std::string_view content = rest.substr(0, length);
    rest.remove_prefix(content.size());
    if (!UsableName(name)) continue;
    std::error_code ec;
    if (head & kFolderFlag)
      std::filesystem::create_directory(in / std::string(name), ec);
    else
      WriteAll(in / std::string(name), content);
    made.emplace(name);
  }
  return made;
}

// No CR or LF in the header lines but the CR LF that ends each of them.
void CheckHeader(std::string_view text) {
  const std::size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) return;
  const std::string_view header = text.substr(0, end + 2);
  for (std::size_t i = 0; i < header.size(); ++i) {
    const bool lineEnd = header[i] == '\r' && i + 1 < header.size() && header[i + 1] == '\n';
    if (lineEnd) {
      ++i;
    } else if (header[i] == '\r' || header[i] == '\n') {
      Fail("a header line with a bare line end", header);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const std::filesystem::path root = test::MakeFuzzRoot("compose");
  Gateway& gateway = TheGateway();
  const std::filesystem::path data = root / "data";
  gateway.in = data / "IN";
  std::filesystem::create_directories(gateway.in);
  std::filesystem::create_directories(data / "OUT");
  const std::string programPath = data.string() + "/";
  const std::string domain = "fax.example";
  SetValue("ProgramPath", &programPath, 0);
  SetValue("DomainName", &domain, 0);
  SetValue("AdvancedOptions", nullptr, 1);
  GetDebugSettings2();
  for (std::size_t bits = 0; bits < kOptionSets; ++bits) {
    SetValue("IncludeTIFF", nullptr, bits & 1);
    SetValue("SubjectLine", nullptr, (bits >> 1) & 1);
    SetValue("NotifyOnSuccess", nullptr, (bits >> 2) & 1);
    SetValue("NotifyOnFailure", nullptr, (bits >> 3) & 1);
    gateway.options[bits] = std::make_unique<CFileMan>();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Gateway& gateway = TheGateway();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(gateway.in, ec))
    std::filesystem::remove_all(entry.path(), ec);

  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const CFileMan& options = *gateway.options[static_cast<unsigned char>(input[0]) % kOptionSets];
  std::string_view rest = input.substr(1);
  const std::size_t zero = rest.find('\0');
  const std::string_view readyText = rest.substr(0, zero);
  const std::set<std::string> made = MakeAttachments(
      zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1), gateway.in);
  const std::filesystem::path readyPath = gateway.in / kReadyName;
  const std::filesystem::path workPath = gateway.in / kWorkName;
  WriteAll(readyPath, readyText);

  int result = -1;
  std::string receiver;
  {
    platform::File ready;
    platform::File work;
    if (platform::File::Open(readyPath.string(), platform::Access::Read, platform::Share::None,
                             platform::Disposition::OpenExisting, ready) != 0 ||
        platform::File::Open(workPath.string(), platform::Access::ReadWrite, platform::Share::None,
                             platform::Disposition::CreateAlways, work) != 0)
      std::abort();
    std::string firstAttachment;
    result = ComposeMessage(ready, work, options, firstAttachment);
    if (result == kComposeReady) {
      FindReceiver(work, receiver);
      if (receiver.size() >= kReceiverLineSize) Fail("a receiver line too long", receiver);
    }
  }
  if (result != kComposeDropped && result != kComposeReady && result != kComposeWriteFailed &&
      result != kComposeRefused)
    Fail("an unknown result", std::to_string(result));
  if (ReadAll(readyPath) != readyText) Fail("the ready file was changed", readyText);
  const std::string text = ReadAll(workPath);
  if (result == kComposeReady) {
    if (!text.ends_with(".\r\n")) Fail("a message without its end line", text);
    CheckHeader(text);
  }
  for (const auto& entry : std::filesystem::directory_iterator(gateway.in, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("At") && name.ends_with(".cqx") && !made.contains(name))
      Fail("a scratch part left in IN", name);
  }
  return 0;
}
