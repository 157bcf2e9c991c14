// Fuzz target of the SMTP receive session: libFuzzer's entry point (clang -fsanitize=fuzzer),
// also driven by tests/fuzz/support/fuzz_driver.cpp under GCC.
//
// The input is what a client sends, as chunks: a length byte (1 to 255) and that many bytes,
// or a zero byte and the rest of the input as the last chunk. A real SMTPInThread runs the
// session on one end of a local socket pair; the client's thread writes each chunk only once
// the session has taken every byte before it, so a line split between chunks arrives split and
// commands in one chunk arrive pipelined, the same way on every run. After the last chunk the
// client closes, which ends the session (no time-out is ever waited for). Messages that
// complete are spooled and decoded into a private data folder, emptied before each run.
//
// Checked: the session ends, every reply line is a three-digit code and ends in CR LF, and
// the session leaves no file-name flag set behind it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gateway/decode/decode_console.h"
#include "gateway/queue/counters.h"
#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "tests/fuzz/support/fuzz_root.h"

namespace {

using namespace faxmail;

// The session's sockets give up after this long: far beyond any step of a run (every byte is
// written before it is waited for), so reaching it means the session hung.
constexpr std::uint32_t kSocketTimeoutMs = 20000;
// Replies kept for the check; a session answers far less than this to any input of libFuzzer's
// sizes, and more is only drained.
constexpr std::size_t kMaxReplies = 1 << 20;

struct Gateway {
  std::filesystem::path data;
  std::unique_ptr<CFileMan> fileMan;
  std::unique_ptr<SMTPIn> server;
};

Gateway& TheGateway() {
  static Gateway gateway;
  return gateway;
}

[[noreturn]] void Fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

void EmptyFolder(const std::filesystem::path& folder) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    std::filesystem::remove_all(entry.path(), ec);
}

std::vector<std::string_view> Chunks(std::string_view input) {
  std::vector<std::string_view> chunks;
  while (!input.empty()) {
    const std::size_t length = static_cast<unsigned char>(input.front());
    input.remove_prefix(1);
    const std::size_t take = length == 0 ? input.size() : std::min(length, input.size());
    if (take > 0) chunks.push_back(input.substr(0, take));
    input.remove_prefix(take);
  }
  return chunks;
}

// The client: each chunk once the session has read everything before it, the replies drained
// as they come; closes after the last chunk has been read (or the session has ended).
void Client(platform::Socket& client, const platform::Socket& session,
            const std::vector<std::string_view>& chunks, const std::atomic<bool>& ended,
            std::string& replies) {
  char buffer[4096];
  const auto drain = [&] {
    while (client.HasWaitingInput()) {
      const long n = client.Recv(buffer, sizeof buffer);
      if (n <= 0) return false;
      if (replies.size() < kMaxReplies) replies.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  };
  const auto consumed = [&] {
    while (session.AvailableBytes() > 0 && !ended.load()) {
      if (!drain()) return false;
      std::this_thread::yield();
    }
    return !ended.load();
  };
  for (const std::string_view chunk : chunks) {
    if (!consumed()) break;
    std::size_t sent = 0;
    while (sent < chunk.size()) {
      const long n = client.Send(chunk.data() + sent, chunk.size() - sent);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    if (sent < chunk.size()) break;
  }
  consumed();
  drain();
  client.Shutdown();
}

void CheckReplies(std::string_view replies) {
  std::size_t at = 0;
  while (at < replies.size()) {
    const std::size_t end = replies.find("\r\n", at);
    // The last reply may be cut where the client closed: too short a rest is not judged.
    if (end == std::string_view::npos && replies.size() - at < 4) return;
    const std::string_view line =
        replies.substr(at, end == std::string_view::npos ? end : end - at);
    if (line.size() < 4 || line[0] < '2' || line[0] > '5' || line[1] < '0' || line[1] > '9' ||
        line[2] < '0' || line[2] > '9' || (line[3] != ' ' && line[3] != '-'))
      Fail("a reply line without its code", line);
    if (line.find_first_of("\r\n") != std::string_view::npos)
      Fail("a reply line with a bare line end", line);
    if (end == std::string_view::npos) return;
    at = end + 2;
  }
}

void Silent(std::string_view) {}

void SetString(const char* name, const std::string& value) {
  platform::RegKey key;
  if (platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key) != 0 ||
      platform::RegSetString(key, name, value) != 0)
    std::abort();
  platform::RegCloseKey(key);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const std::filesystem::path root = test::MakeFuzzRoot("smtp");
  Gateway& gateway = TheGateway();
  gateway.data = root / "data";
  std::filesystem::create_directories(gateway.data / "OUT");
  std::filesystem::create_directories(gateway.data / "IN");
  SetString("ProgramPath", gateway.data.string() + "/");
  SetString("DomainName", "fax.example");
  GetDebugSettings2();
  // The decoder's console texts would only slow the runs down.
  decode::SetConsoleWriters({Silent, Silent});
  gateway.fileMan = std::make_unique<CFileMan>();
  ResetFileNameFlags();
  gateway.server = std::make_unique<SMTPIn>(*gateway.fileMan);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Gateway& gateway = TheGateway();
  EmptyFolder(gateway.data / "OUT");
  EmptyFolder(gateway.data / "IN");
  const std::vector<std::string_view> chunks =
      Chunks(std::string_view(reinterpret_cast<const char*>(data), size));

  platform::Socket session;
  platform::Socket client;
  if (platform::Socket::CreatePair(session, client) != 0) std::abort();
  session.SetReceiveTimeout(kSocketTimeoutMs);
  session.SetSendTimeout(kSocketTimeoutMs);
  client.SetReceiveTimeout(kSocketTimeoutMs);
  client.SetSendTimeout(kSocketTimeoutMs);

  std::atomic<bool> ended{false};
  std::string replies;
  std::thread writer([&] { Client(client, session, chunks, ended, replies); });
  {
    SMTPInThread thread(*gateway.server);
    thread.Attach(session, platform::SocketAddress{}, nullptr, gateway.server.get());
    thread.Run();
  }
  ended.store(true);
  writer.join();
  session.Close();
  CheckReplies(replies);
  if (IsEnvFileNameInUse() != 0 || IsAttFileNameInUse() != 0)
    Fail("a file-name flag is left set", "");
  return 0;
}
