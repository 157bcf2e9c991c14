// The test helpers on Windows: temporary folders under the system's TMP, a FAXMAIL_ROOT and a
// registry root (FAXMAIL_REGISTRY_ROOT) of its own for each test, ports claimed by named
// mutexes, and programs run through the platform layer.
#include "tests/support/test_support.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/child_process.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "platform/win32/windows_api.h"

namespace faxmail::test {

namespace {

// Keys of the tests' registry roots, below HKEY_LOCAL_MACHINE.
constexpr char kRegistryTestRoot[] = "SOFTWARE\\FaxmailTests";

std::atomic<unsigned> g_sequence{0};

std::string UniqueSuffix() {
  return std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(g_sequence++) + "-" +
         std::to_string(::GetTickCount64());
}

void SetVariable(const char* name, const char* value) {
  ::SetEnvironmentVariableA(name, value);
  ::_putenv_s(name, value ? value : "");
}

}  // namespace

TempDir::TempDir() {
  char base[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathA(sizeof base, base);
  std::string folder = n > 0 && n < sizeof base ? std::string(base, n) : std::string(".\\");
  if (folder.back() != '\\' && folder.back() != '/') folder.push_back('\\');
  for (int tries = 0; tries < 100; ++tries) {
    const std::string path = folder + "faxmail-test-" + UniqueSuffix();
    if (::CreateDirectoryA(path.c_str(), nullptr)) {
      m_path = path;
      return;
    }
  }
  throw std::runtime_error("no temporary folder could be made");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

void RootTest::SetUp() {
  m_root = std::make_unique<TempDir>();
  SetVariable("FAXMAIL_ROOT", m_root->Path().c_str());
  const std::string registryRoot = std::string(kRegistryTestRoot) + "\\" + UniqueSuffix();
  SetVariable("FAXMAIL_REGISTRY_ROOT", registryRoot.c_str());
  platform::RegKey root;
  platform::RegCreateKey(platform::Hive::LocalMachine, "", root);
}

void RootTest::TearDown() {
  if (const char* registryRoot = std::getenv("FAXMAIL_REGISTRY_ROOT");
      registryRoot && *registryRoot) {
    const std::string path = registryRoot;
    SetVariable("FAXMAIL_REGISTRY_ROOT", nullptr);
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
  }
  SetVariable("FAXMAIL_ROOT", nullptr);
  m_root.reset();
}

void SetEnv(const std::string& name, const std::optional<std::string>& value) {
  SetVariable(name.c_str(), value ? value->c_str() : nullptr);
}

bool SetModifiedTime(const std::string& path, std::chrono::system_clock::time_point when) {
  // A folder opens only with backup semantics; the time is in 100 ns steps since 1601.
  const HANDLE file = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  constexpr std::int64_t kEpochIn1601Steps = 116444736000000000LL;
  const std::int64_t steps =
      std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count() / 100 +
      kEpochIn1601Steps;
  FILETIME time{};
  time.dwLowDateTime = static_cast<DWORD>(steps & 0xffffffff);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(steps) >> 32);
  const bool set = ::SetFileTime(file, nullptr, nullptr, &time) != 0;
  ::CloseHandle(file);
  return set;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

namespace {

constexpr std::uint16_t kTestPortFirst = 20000;
constexpr std::uint16_t kTestPortCount = 12000;

// A port handed out is claimed by a named mutex held until the process ends, so two test
// processes never share one.
bool Claim(std::uint16_t port) {
  const std::string name = "Local\\faxmail-test-port-" + std::to_string(port);
  const HANDLE mutex = ::CreateMutexA(nullptr, TRUE, name.c_str());
  if (!mutex) return false;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return false;
  }
  return true;  // kept open for the life of the process
}

}  // namespace

bool PortBindable(std::uint16_t port) {
  platform::Socket socket;
  if (platform::Socket::Create(0, socket) != 0) return false;
  return socket.Bind(platform::MakeAddress(port, platform::kInAddrAny)) == 0;
}

std::uint16_t FreeLoopbackPort() {
  static std::uint32_t next = static_cast<std::uint32_t>(::GetCurrentProcessId()) * 97U;
  for (std::uint32_t tries = 0; tries < kTestPortCount; ++tries) {
    const auto port = static_cast<std::uint16_t>(kTestPortFirst + next++ % kTestPortCount);
    if (!Claim(port)) continue;
    if (PortBindable(port)) return port;
  }
  return 0;
}

int RunProgram(const std::vector<std::string>& argv, std::string* output,
               const std::vector<std::string>& env, const std::string& input) {
  if (!input.empty()) {
    ADD_FAILURE() << "RunProgram gives no standard input on Windows";
    return -1;
  }
  // The child inherits this process's environment: the extra variables are set around the
  // start and put back afterwards.
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
  for (const std::string& entry : env) {
    const auto equals = entry.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = entry.substr(0, equals);
    const char* old = std::getenv(name.c_str());
    saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    SetVariable(name.c_str(), entry.substr(equals + 1).c_str());
  }
  platform::ChildResult result;
  const long error =
      platform::RunChild(argv, std::chrono::minutes(5), std::size_t{16} << 20, result);
  for (auto it = saved.rbegin(); it != saved.rend(); ++it)
    SetVariable(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
  if (output) *output = result.output;
  if (error != 0 || !result.exited) return -1;
  return result.exitCode;
}

bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string BuiltProgram(const std::string& relative) {
  // The build folder as Wine shows the Linux file system: drive Z: is its root.
  std::string folder = FAXMAIL_BINARY_DIR;
  if (!folder.empty() && folder.front() == '/') folder = "Z:" + folder;
  return folder + "/" + relative + ".exe";
}

std::string SourceDir() { return FAXMAIL_SOURCE_DIR; }
std::string BinaryDir() { return FAXMAIL_BINARY_DIR; }

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace faxmail::test
