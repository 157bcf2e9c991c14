#include "gateway/service/log.h"

#include <algorithm>
#include <ctime>
#include <mutex>

#include "gateway/service/settings.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "CFILEMAN";
// Registry texts of the log paths: up to 259 characters and the zero.
constexpr std::uint32_t kLogPathLimit = 260;
// A path of fewer characters leaves its channel off.
constexpr std::size_t kMinLogPath = 4;

struct Channel {
  std::string path;
  bool on = false;
};

// Set by the start thread while the service's own threads may already write entries, so every
// read takes a copy under the lock.
std::mutex g_channelsLock;
Channel g_main;
Channel g_secondary;
// Each channel's file stays open from entry to entry; one that was moved, removed or replaced
// meanwhile is opened again by name, so the entries land where an open per entry puts them.
platform::AppendFile g_mainFile;
platform::AppendFile g_secondaryFile;

// An entry's time, to the second: each thread keeps the text of the last second it wrote in,
// so that the conversion is made once a second, not once an entry. The text is held in plain
// characters: a thread-local object with a destructor has it run at the thread's exit, which on
// some runtimes takes a lock of the loader's, and a thread that ends must not wait on anything.
constexpr std::size_t kEntryTimeSize = 32;  // "hh:mm:ss dd/mm/yy" and room to spare

std::string_view EntryTime() {
  thread_local std::time_t second = -1;
  thread_local char text[kEntryTimeSize];
  thread_local std::size_t length = 0;
  const std::time_t now = std::time(nullptr);
  if (now != second) {
    const std::string made = platform::FormatUtc(now, "%H:%M:%S %d/%m/%y");
    length = std::min(made.size(), sizeof text);
    made.copy(text, length);
    second = now;
  }
  return {text, length};
}

Channel Current(const Channel& channel) {
  std::lock_guard lock(g_channelsLock);
  return channel;
}

void Write(const Channel& shared, platform::AppendFile& file, std::string_view message,
           std::string_view text, std::string_view tag, int line) {
  const Channel channel = Current(shared);
  if (!channel.on) return;
  std::string full;
  full.reserve(message.size() + text.size());
  full.append(message).append(text);
  std::string entry = FormatLogEntry(full, tag, line, EntryTime());
  entry += "\r\n";
  file.Append(channel.path, entry);
}

Channel ReadChannel(const platform::RegKey& key, const char* name) {
  Channel channel;
  std::string path;
  if (platform::RegQueryString(key, name, kLogPathLimit, path) == platform::kErrorSuccess &&
      path.size() >= kMinLogPath) {
    channel.path = path;
    channel.on = true;
  }
  return channel;
}

}  // namespace

std::string FormatLogEntry(std::string_view message, std::string_view tag, int line,
                           std::string_view time) {
  std::string tail = " ";
  tail.append(time).append(" (").append(tag).append(" - ").append(std::to_string(line)).append(")");
  // Cut the message, never the tail, so that the time and the source stay readable.
  const std::size_t room = kMaxEntry > tail.size() ? kMaxEntry - tail.size() : 0;
  std::string entry(message.substr(0, room));
  for (char& c : entry) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  if (entry.size() < kLogColumn) entry.append(kLogColumn - entry.size(), ' ');
  entry += tail;
  if (entry.size() > kMaxEntry) entry.resize(kMaxEntry);
  return entry;
}

void GetDebugSettings2() {
  platform::RegKey key;
  Channel main;
  Channel secondary;
  if (platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKey, key) ==
      platform::kErrorSuccess) {
    secondary = ReadChannel(key, "logfileb");
    main = ReadChannel(key, "logfile");
    platform::RegCloseKey(key);
  }
  std::lock_guard lock(g_channelsLock);
  g_main = std::move(main);
  g_secondary = std::move(secondary);
}

void LogMessage(std::string_view message, std::string_view tag, int line) {
  Write(g_main, g_mainFile, message, {}, tag, line);
}

void LogMessageText(std::string_view message, std::string_view text, std::string_view tag,
                    int line) {
  Write(g_main, g_mainFile, message, text, tag, line);
}

void LogMessage2(std::string_view message, std::string_view tag, int line) {
  Write(g_secondary, g_secondaryFile, message, {}, tag, line);
}

void LogMessageText2(std::string_view message, std::string_view text, std::string_view tag,
                     int line) {
  Write(g_secondary, g_secondaryFile, message, text, tag, line);
}

long LogSocketError() {
  const long error = platform::LastError();
  LogMessage("WSA Socket Error: (" + std::to_string(error) + ")", kTag, __LINE__);
  return error;
}

bool IsMainLogOn() { return Current(g_main).on; }
bool IsSecondaryLogOn() { return Current(g_secondary).on; }

std::string DebugCopyName(const std::string& path, std::uint64_t seconds, unsigned counter) {
  std::string name = path;
  // Only a dot of the file's own name counts: a dot in a folder name is not an extension.
  const auto slash = name.find_last_of(platform::kPathSeparator);
  const auto dot = name.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.erase(dot, 4);
  name += '-';
  name += std::to_string(seconds);
  if (counter > 0) {
    name += '-';
    name += std::to_string(counter);
  }
  return name + ".debug";
}

void KeepDebugCopy(const std::string& path) { KeepDebugCopy(path, path); }

void KeepDebugCopy(const std::string& path, const std::string& namedAfter) {
  // Work files are named after their handle, so the same name comes back within one second:
  // a copy kept earlier is never replaced, the new one takes the next free counter instead.
  const std::uint64_t seconds = platform::ReadClock().seconds;
  for (unsigned counter = 0; counter < kMaxDebugCopyNames; ++counter) {
    const long error = platform::RenameFile(path, DebugCopyName(namedAfter, seconds, counter),
                                            false, platform::Holders::kNone);
    if (error != platform::kErrorAlreadyExists && error != platform::kErrorFileExists) return;
  }
  // Every name was taken: the file stays under its own name.
}

namespace {

// The gateway's event source, registered on first use and kept for the life of the process.
struct GatewayEventSource {
  std::mutex mutex;
  platform::EventSource source;
};

GatewayEventSource& EventSourceOfGateway() {
  static GatewayEventSource source;
  return source;
}

}  // namespace

void ReportGatewayEvent(platform::EventType type, std::uint32_t eventId, const char* text1,
                        const char* text2, const char* text3) {
  auto& [mutex, source] = EventSourceOfGateway();
  std::lock_guard lock(mutex);
  if (!source.IsOpen() &&
      platform::RegisterEventSource(kServiceName, source) != platform::kErrorSuccess)
    return;
  std::vector<const char*> strings = {text1, text2, text3};
  while (!strings.empty() && strings.back() == nullptr) strings.pop_back();
  platform::ReportEvent(source, type, 0, eventId, strings);
}

void ReleaseGatewayEventSource() {
  auto& [mutex, source] = EventSourceOfGateway();
  std::lock_guard lock(mutex);
  if (source.IsOpen()) platform::DeregisterEventSource(source);
}

}  // namespace faxmail
