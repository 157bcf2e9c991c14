#include "gateway/decode/part_directory.h"

#include "common/path_utils.h"
#include "gateway/decode/decode_console.h"
#include "gateway/decode/mime_headers.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/win_error.h"

namespace faxmail::decode {

namespace {

// Characters of TMP used; the rest of a longer value is ignored.
constexpr std::size_t kMaxTmpLength = 200;
// The private scratch folder under the platform root, used when TMP is not set.
constexpr char kPrivateTmp[] = "tmp";

// A refused folder (a link, someone else's) ends the store's use; a missing parent shows at
// the id's folder, which names the whole path.
bool Refused(long err) {
  return err == platform::kErrorStoppedOnSymlink || err == platform::kErrorAccessDenied;
}

// An 8.3 name: eight characters, a dot, three characters.
constexpr std::size_t kNameStem = 8;
constexpr std::size_t kNameCharacters = 11;

constexpr std::string_view kReservedNames[] = {"aux",  "con",  "nul",  "prn",  "com1", "com2",
                                               "com3", "com4", "lpt1", "lpt2", "lpt3"};

}  // namespace

bool IsReservedDeviceName(std::string_view name) {
  for (const std::string_view reserved : kReservedNames)
    if (EqualsNoCase(name, reserved)) return true;
  return false;
}

std::string PartsFolder() {
  std::string base;
  if (auto tmp = platform::GetEnv("TMP"); tmp && !tmp->empty()) {
    base = tmp->substr(0, kMaxTmpLength);
  } else {
    base = platform::FaxmailRoot();
    platform::EnsureDirectories(base);
    AppendTrailingSeparator(base);
    base += kPrivateTmp;
    if (Refused(platform::CreatePrivateDirectory(base))) {
      ReportFileError(base);
      return {};
    }
  }
  AppendTrailingSeparator(base);
  base += "parts";
  if (Refused(platform::CreatePrivateDirectory(base))) {
    ReportFileError(base);
    return {};
  }
  return base;
}

std::string PartFolderName(std::string_view id) {
  std::string name;
  std::size_t taken = 0;
  for (const char c : id) {
    if (taken == kNameCharacters) break;
    if (c == '\0' || kAllowedNameCharacters.find(c) == std::string_view::npos) continue;
    if (taken == kNameStem) name.push_back('.');
    name.push_back(c);
    ++taken;
  }
  if (taken == 0 || IsReservedDeviceName(name)) name.push_back('x');
  return name;
}

std::string PartDirectory(std::string_view id) {
  std::string path = PartsFolder();
  if (path.empty()) return {};
  path.push_back(platform::kPathSeparator);
  path += PartFolderName(id);
  if (platform::CreatePrivateDirectory(path) != platform::kErrorSuccess) {
    ReportFileError(path);
    return {};
  }
  path.push_back(platform::kPathSeparator);
  return path;
}

void RemovePartDirectory(std::string path) {
  StripTrailingSeparator(path);
  platform::RemoveDirectory(path);
}

}  // namespace faxmail::decode
