#include "gateway/queue/counters.h"

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/auto_file.h"
#include "common/path_utils.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "STRUTILS";
constexpr std::uint32_t kNameLimit = 80;       // FileName, FileNameAtt, ProgramPath (short)
constexpr std::uint32_t kLongPathLimit = 260;  // ProgramPath where 259 characters are allowed
constexpr std::size_t kMaxAttExtension = 3;

using platform::kErrorSuccess;

// The gateway key, opened (created when missing) at its first use and kept for the next: an
// open key is its name, good for as long as the key is there. An operation that finds the key
// gone (deleted by hand meanwhile) opens it again, creating it, and is made once more: the
// same outcome as opening the key before every operation, without the hive being looked at
// twice for each value.
class GatewayKey {
 public:
  // op on the key: its result, or the error that kept the key from being opened.
  static long Run(const std::function<long(const platform::RegKey&)>& op) {
    platform::RegKey key;
    if (const long result = Opened(key); result != kErrorSuccess) return result;
    const long result = op(key);
    if (result != platform::kErrorKeyDeleted) return result;
    Forget();
    if (const long again = Opened(key); again != kErrorSuccess) return again;
    return op(key);
  }

 private:
  static long Opened(platform::RegKey& key) {
    std::lock_guard lock(s_lock);
    if (!s_key.IsOpen()) {
      platform::RegKey opened;
      const long result = platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, opened);
      if (result != kErrorSuccess) return result;
      s_key = opened;
    }
    key = s_key;
    return kErrorSuccess;
  }
  static void Forget() {
    std::lock_guard lock(s_lock);
    s_key = platform::RegKey();
  }

  static inline std::mutex s_lock;       // guards s_key
  static inline platform::RegKey s_key;  // not open until the first use
};

std::string ReadText(const char* name, std::uint32_t limit, long* error = nullptr) {
  std::string value;
  const long result = GatewayKey::Run([&](const platform::RegKey& key) {
    return platform::RegQueryString(key, name, limit, value);
  });
  if (error) *error = result;
  return result == kErrorSuccess ? value : std::string();
}

std::uint32_t ReadNumber(const char* name) {
  std::uint32_t value = 0;
  if (GatewayKey::Run([&](const platform::RegKey& key) {
        return platform::RegQueryDword(key, name, value);
      }) != kErrorSuccess)
    return 0;
  return value;
}

void WriteFlag(const char* name, std::uint32_t value, bool flush) {
  GatewayKey::Run([&](const platform::RegKey& key) {
    const long result = platform::RegSetDword(key, name, value);
    if (result == platform::kErrorKeyDeleted) return result;
    if (flush) platform::RegFlushKey(key);
    return kErrorSuccess;
  });
}

long FlushGatewayKey() {
  return GatewayKey::Run([](const platform::RegKey& key) { return platform::RegFlushKey(key); });
}

std::vector<std::byte> BytesOf(std::string_view text) {
  const auto* first = reinterpret_cast<const std::byte*>(text.data());
  return {first, first + text.size()};
}

platform::RegValue DwordValue(std::string name, std::uint32_t value) {
  return {std::move(name), platform::kRegDword, platform::RegDwordBytes(value)};
}

}  // namespace

std::uint32_t NextCounterValue(std::uint32_t v) { return v == kCounterLast ? 0 : v + 1; }

long TakeCounter(const char* valueName, std::uint32_t& number, bool lazy) {
  std::uint32_t taken = 0;
  const auto update = [&taken](std::optional<std::uint32_t> current) {
    taken = current.value_or(0);
    return NextCounterValue(taken);
  };
  const long result = GatewayKey::Run([&](const platform::RegKey& key) {
    return lazy ? platform::RegUpdateDwordLazy(key, valueName, update, nullptr)
                : platform::RegUpdateDword(key, valueName, update, nullptr);
  });
  if (result == kErrorSuccess) number = taken;
  return result;
}

long FlushCounters() { return FlushGatewayKey(); }

std::string GetProgramPath() { return ReadText("ProgramPath", kNameLimit); }

std::string GetBodyFileName() {
  return GetProgramPath() + "OUT" + platform::kPathSeparator + "Msgcnt.imp";
}

long AllocEnvFileName(std::string* name) {
  long error = kErrorSuccess;
  std::string path = ReadText("ProgramPath", kLongPathLimit, &error);
  if (error != kErrorSuccess) return error;
  AppendTrailingSeparator(path);
  // The number, the name and the in-use flag are one change of the key, seen by every reader
  // at once and made durable by FlushEnvFileName outside the work lock, where the decodes that
  // flush at the same time share one sync. A crash before it can hand the number out again,
  // but nothing durable names it yet: the envelope is made durable, and so are its ready name
  // and the raw file's marker, only after the flush, and recovery removes an envelope that was
  // not finished.
  // A fresh installation has no OUTIndex yet: it starts at 0 rather than refusing every
  // envelope (and so every received message).
  std::string envelope;
  const long result = GatewayKey::Run([&](const platform::RegKey& key) {
    return platform::RegUpdateValuesLazy(
        key, [&](const platform::RegValueFinder& find, std::vector<platform::RegValue>& writes) {
          std::uint32_t number = 0;
          if (const platform::RegValue* current = find("OUTIndex"))
            if (const long r = platform::RegDwordOf(*current, number); r != kErrorSuccess) return r;
          envelope = path + "OUT" + platform::kPathSeparator + "ENV" + std::to_string(number);
          writes.push_back(DwordValue("OUTIndex", NextCounterValue(number)));
          writes.push_back({"FileName", platform::kRegSz, BytesOf(envelope)});
          writes.push_back(DwordValue("FileNameUse", 1));
          return kErrorSuccess;
        });
  });
  if (result != kErrorSuccess) return result;
  if (name) *name = envelope;
  return kErrorSuccess;
}

std::string GetEnvFileName() { return ReadText("FileName", kNameLimit); }

std::uint32_t IsEnvFileNameInUse() { return ReadNumber("FileNameUse"); }

void ReleaseEnvFileName() {
  // Made at once for every reader, on the disk with the next synced change or FlushEnvFileName:
  // the next decode's name is that change, and a decode flushes before its ready name.
  GatewayKey::Run(
      [](const platform::RegKey& key) { return platform::RegSetDwordLazy(key, "FileNameUse", 0); });
}

long FlushEnvFileName() { return FlushGatewayKey(); }

std::string AllocAttFileName(const std::string& extension) {
  std::string suffix(1, '.');
  suffix += std::string_view(extension).substr(0, kMaxAttExtension);
  std::string name = "ATT0" + suffix;
  // The number, the name and the in-use flag are one change of the key (one synced write).
  // A counter that cannot be read gives number 0, as a missing one does.
  GatewayKey::Run([&](const platform::RegKey& key) {
    return platform::RegUpdateValues(
        key, [&](const platform::RegValueFinder& find, std::vector<platform::RegValue>& writes) {
          std::uint32_t number = 0;
          const platform::RegValue* current = find("OUTIndexAtt");
          const bool readable = !current || platform::RegDwordOf(*current, number) == kErrorSuccess;
          name = "ATT" + std::to_string(number) + suffix;
          if (readable) writes.push_back(DwordValue("OUTIndexAtt", NextCounterValue(number)));
          writes.push_back({"FileNameAtt", platform::kRegSz, BytesOf(name)});
          writes.push_back(DwordValue("FileNameUseAtt", 1));
          return kErrorSuccess;
        });
  });
  return name;
}

std::string GetAttFileName() { return ReadText("FileNameAtt", kNameLimit); }

std::uint32_t IsAttFileNameInUse() { return ReadNumber("FileNameUseAtt"); }

void ReleaseAttFileName() { WriteFlag("FileNameUseAtt", 0, true); }

void ResetFileNameFlags() {
  GatewayKey::Run([](const platform::RegKey& key) {
    if (const long result = platform::RegSetDword(key, "FileNameUse", 0);
        result == platform::kErrorKeyDeleted)
      return result;
    platform::RegSetDword(key, "FileNameUseAtt", 0);
    platform::RegFlushKey(key);
    return kErrorSuccess;
  });
}

std::string CreateAttachListFile(std::chrono::milliseconds retryWait, SpareFiles* spares,
                                 FolderNames* names) {
  std::string folder = ReadText("ProgramPath", kLongPathLimit);
  folder += "OUT";
  folder.push_back(platform::kPathSeparator);
  std::string name;
  int result = CreateAutoFile("ATTC", "imp", folder, name, spares, names);
  if (result != kAutoFileCreated) {
    const char* text = nullptr;
    bool retry = true;
    switch (result) {
      case kAutoFileNoHandles: text = "SMTPIn- CreateAutoFile failed, no more handles: "; break;
      case kAutoFileInvalidPath:
        text = "SMTPIn- CreateAutoFile failed, invalid path: ";
        retry = false;
        break;
      case kAutoFileOutOfNames:
        text = "SMTPIn- CreateAutoFile failed, out of file names: ";
        retry = false;
        break;
      default: text = "SMTPIn- CreateAutoFile failed, unknown error: "; break;
    }
    LogMessageText2(text, std::to_string(result), kTag, __LINE__);
    if (retry) {
      platform::SleepMs(static_cast<std::uint32_t>(retryWait.count()));
      name.clear();
      if (CreateAutoFile("ATTC", "imp", folder, name, spares, names) != kAutoFileCreated) {
        LogMessage2("SMTPIn- CreateAutoFile failed second attempt", kTag, __LINE__);
        name.clear();
      }
    }
  }
  return folder + name;
}

}  // namespace faxmail
