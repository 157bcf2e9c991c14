// faxmailadm's work: find the configuration applet, load it, call its RunDialog and unload it,
// as often as asked (a soak of the applet's promise that it can be loaded again).
//
// Runs on the caller's thread, which the dialog blocks while it is open. Failures come back as
// the exit codes below with a sentence for standard error; nothing throws.
#pragma once

#include <string>
#include <vector>

namespace faxmail::adm {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitNoApplet = 1;  // not loaded, or it has no RunDialog
inline constexpr int kExitUsage = 2;

// Each round shows the sheet to the administrator; more rounds than this are a typing slip.
inline constexpr int kMaxTimes = 1000;

// The applet's file name, beside the program in both layouts below.
inline constexpr char kAppletFileName[] = "libfaxmailcfg.so";

struct Options {
  std::string applet;  // empty: DefaultAppletPath
  int times = 1;
};

// Reads "[--applet PATH] [--times N]" (the arguments after the program's name). False, with
// the reason in error, for anything else.
bool ParseArguments(const std::vector<std::string>& args, Options& out, std::string& error);

// The applet for the program at programPath: <dir>/../lib/faxmail/ when that file exists (the
// installed layout), else <dir>/../../applet/ (the build tree).
std::string DefaultAppletPath(const std::string& programPath);

// Loads the applet at path, calls RunDialog with four null arguments and unloads it, times
// times. kExitSuccess, or kExitNoApplet with a sentence in error.
int RunApplet(const std::string& path, int times, std::string& error);

}  // namespace faxmail::adm
