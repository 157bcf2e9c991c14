#include "common/auto_file.h"

#include "common/folder_names.h"
#include "common/spare_files.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr std::size_t kMaxFolder = 256;
constexpr std::size_t kPrefixLength = 4;
constexpr std::size_t kMaxExtension = 3;
constexpr unsigned kSequential = 40;          // phase 1: 0 .. 39
constexpr unsigned kDecimalEnd = 1000;        // phase 2 range: 40 .. 999
constexpr unsigned kRandomDecimalTries = 21;  // the start and 20 more
constexpr unsigned kBase36Start = 10;         // phase 3 range: 10 .. 46655 (00A .. ZZZ)
constexpr unsigned kBase36End = 46656;

// Counts regular, not hidden files named stem + "." + any extension, up to limit; -1 when the
// folder cannot be listed. From the mirror of the folder's names when there is one.
int CountStem(const std::string& folder, const std::string& stem, int limit, FolderNames* names) {
  return names ? names->CountStem(folder, stem, limit)
               : FolderNames::CountStemByListing(folder, stem, limit);
}

enum class Attempt { Created, Next, Fail };

Attempt TryCandidate(const std::string& folder, const std::string& stem, std::string_view extension,
                     int& result, SpareFiles* spares, FolderNames* names) {
  const int taken = CountStem(folder, stem, 1, names);
  if (taken < 0) {
    result = kAutoFileOtherError;
    return Attempt::Fail;
  }
  if (taken > 0) return Attempt::Next;
  const std::string path = folder + stem + "." + std::string(extension);
  const SpareFiles::Claim claim = spares ? spares->TakeNew(path) : SpareFiles::Claim::kNone;
  if (claim == SpareFiles::Claim::kExists) return Attempt::Next;
  platform::File file;
  const long err =
      claim == SpareFiles::Claim::kTaken
          ? platform::kErrorSuccess
          : platform::File::Open(path, platform::Access::ReadWrite, platform::Share::ReadWrite,
                                 platform::Disposition::CreateNew, file);
  switch (err) {
    case platform::kErrorSuccess: break;
    case platform::kErrorFileExists:
    case platform::kErrorAlreadyExists: return Attempt::Next;
    case platform::kErrorPathNotFound: result = kAutoFileInvalidPath; return Attempt::Fail;
    case platform::kErrorTooManyOpenFiles: result = kAutoFileNoHandles; return Attempt::Fail;
    default: result = kAutoFileOtherError; return Attempt::Fail;
  }
  if (file.IsOpen()) file.Close();
  const int now = CountStem(folder, stem, 2, names);
  if (now < 0) {
    result = kAutoFileOtherError;
    return Attempt::Fail;
  }
  if (now > 1) {
    platform::DeleteFile(path);
    return Attempt::Next;
  }
  result = kAutoFileCreated;
  return Attempt::Created;
}

}  // namespace

std::string AutoFileNumber(unsigned number, bool base36) {
  static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const unsigned radix = base36 ? 36 : 10;
  std::string text(3, '0');
  for (int i = 2; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = kDigits[number % radix];
    number /= radix;
  }
  return text;
}

int CreateAutoFile(std::string_view prefix, std::string_view extension, const std::string& folder,
                   std::string& name, SpareFiles* spares, FolderNames* names) {
  if (folder.size() > kMaxFolder || prefix.size() != kPrefixLength ||
      extension.size() > kMaxExtension)
    return kAutoFileBadArguments;
  if (folder.empty() || folder.back() != platform::kPathSeparator) return kAutoFileOtherError;

  // Built by appends: GCC 12 at -O3 sees a false overlap (-Wrestrict) in literal + string&&.
  std::string base(1, '~');
  base += prefix;
  int result = kAutoFileOutOfNames;
  auto attempt = [&](unsigned number, bool base36) {
    const std::string stem = base + AutoFileNumber(number, base36);
    const Attempt a = TryCandidate(folder, stem, extension, result, spares, names);
    if (a == Attempt::Created) name = stem + "." + std::string(extension);
    return a;
  };

  for (unsigned n = 0; n < kSequential; ++n) {
    const Attempt a = attempt(n, false);
    if (a != Attempt::Next) return result;
  }

  platform::ClockReading clock = platform::ReadClock();
  unsigned n = (clock.seconds + clock.milliseconds) % (kDecimalEnd - kSequential) + kSequential;
  for (unsigned tries = 0; tries < kRandomDecimalTries; ++tries) {
    const Attempt a = attempt(n, false);
    if (a != Attempt::Next) return result;
    if (++n >= kDecimalEnd) n = kSequential;
  }

  clock = platform::ReadClock();
  const unsigned start = static_cast<unsigned>((clock.milliseconds * 53ULL + clock.seconds) %
                                               (kBase36End - kBase36Start)) +
                         kBase36Start;
  n = start;
  do {
    const Attempt a = attempt(n, true);
    if (a != Attempt::Next) return result;
    if (++n >= kBase36End) n = kBase36Start;
  } while (n != start);
  return kAutoFileOutOfNames;
}

}  // namespace faxmail
