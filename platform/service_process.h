// The launch of a service process: its command line, its account, and the detached start.
//
// The process is started by a double fork, so that no starter (a tool, the applet, a test
// that lives long) is left with a zombie when the service ends: the grandchild runs the
// program in a session of its own with standard streams on /dev/null, a clean environment,
// and only two inherited descriptors, the life lock and the listening control channel, whose
// numbers it finds in the environment. A failed exec comes back as its error number through a
// close-on-exec pipe. Platform-internal; any thread (the child does only what is safe after a
// fork in a threaded process: everything it needs is prepared before the fork).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::platform::scm {

// Environment variables through which a started process finds its channel.
inline constexpr char kChannelFdVariable[] = "FAXMAIL_SCM_CHANNEL_FD";
inline constexpr char kLockFdVariable[] = "FAXMAIL_SCM_LOCK_FD";
inline constexpr char kServiceNameVariable[] = "FAXMAIL_SCM_SERVICE";

// The search path every service process gets, whatever its starter's was.
inline constexpr char kServicePath[] =
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

struct ImageCommand {
  std::string program;
  std::vector<std::string> args;  // after the program
};

// %NAME% replaced by the variable's value from the environment; unknown names stay as written.
std::string ExpandEnvironmentStrings(std::string_view text);
// A quoted first token is the program; unquoted, the whole text when it names an existing
// file, else the text up to the first blank. The rest, split on blanks, are arguments.
ImageCommand ParseImagePath(std::string_view imagePath);

struct ServiceAccount {
  bool switchUser = false;  // true when the child must change its identity
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;
  std::string user;
  std::string home;
};
// The account a record's ObjectName stands for: LocalSystem or empty is root, or the caller
// itself when it is not root. kErrorServiceLogonFailed for an account that does not exist or
// that this caller cannot switch to.
long ResolveAccount(std::string_view objectName, ServiceAccount& out);

struct LaunchSpec {
  std::string program;
  std::vector<std::string> argv;  // argv[0] is the program
  std::vector<std::string> env;   // complete, "NAME=value"
  ServiceAccount account;
  int lockFd = -1;
  int channelFd = -1;
};
// Starts the process; pid receives the grandchild's id. The exec's error, when it fails.
long LaunchDetached(const LaunchSpec& spec, long& pid);

// Kills the process's whole group (its session), and the process itself.
void KillServiceProcess(long pid);

}  // namespace faxmail::platform::scm
