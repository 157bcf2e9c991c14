// Shared helpers of the tests: a private FAXMAIL_ROOT per test, temporary folders, whole-file
// reads and writes, free loopback ports, and child processes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace faxmail::test {

// A fresh temporary folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }
  // Path() + "/" + name
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// A test fixture whose FAXMAIL_ROOT is a fresh temporary folder for each test.
class RootTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::string& Root() const { return m_root->Path(); }

 private:
  std::unique_ptr<TempDir> m_root;
};

// Sets an environment variable of this process (std::nullopt removes it), as both the C
// library's getenv and the system's own lookup see it.
void SetEnv(const std::string& name, const std::optional<std::string>& value);

// path with each '/' turned into the system's separator (as it is where that is '/'): paths
// that the system gives back are built with its separator and compared with these.
inline std::string NativePath(std::string path) {
#ifdef _WIN32
  for (char& c : path)
    if (c == '/') c = '\\';
#endif
  return path;
}

// Sets the modification time of a file or a folder (false when it cannot be set).
bool SetModifiedTime(const std::string& path, std::chrono::system_clock::time_point when);

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& data);

// A TCP port for a test server: free a moment ago, outside the range the kernel gives
// outgoing connections, and handed to no other test process while this one runs.
std::uint16_t FreeLoopbackPort();
// True when a listener could bind port on every address now (as the gateway binds it).
bool PortBindable(std::uint16_t port);

// Runs a program with arguments and extra environment; returns its exit status (or -1), with
// its standard output and error captured together.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr,
               const std::vector<std::string>& env = {}, const std::string& input = {});

// Polls done every 20 ms until it holds (true) or timeout has passed (false): a bound on a wait
// for another process or thread, so that a fault fails the test instead of hanging it.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// True when the program runs under Wine, whose registry and file system differ from the
// system's in documented small ways (a text stored without its zero gets one, values list in
// name order, no named streams); cases that meet them say so.
bool UnderWine();

// Path of a program built by this project (e.g. "tools/faxmailreg/faxmailreg").
std::string BuiltProgram(const std::string& relative);

// The project's source folder and the build's folder. Only the support library is compiled
// with them, so that no other test file's compile depends on where the tree lies (and the
// compiler cache serves every clone of it).
std::string SourceDir();
std::string BinaryDir();

}  // namespace faxmail::test
