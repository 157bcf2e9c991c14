#include "tools/faxmailadm/adm.h"

#include <charconv>
#include <string_view>
#include <system_error>

#include "applet/run_dialog.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/win_error.h"

namespace faxmail::adm {
namespace {

bool ParseTimes(std::string_view text, int& out) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > kMaxTimes)
    return false;
  out = value;
  return true;
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& args, Options& out, std::string& error) {
  out = Options{};
  error.clear();
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg != "--applet" && arg != "--times") {
      error = "unknown argument \"" + arg + "\"";
      return false;
    }
    if (i + 1 == args.size()) {
      error = arg + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    if (arg == "--applet") {
      if (value.empty()) {
        error = "--applet needs a path";
        return false;
      }
      out.applet = value;
    } else if (!ParseTimes(value, out.times)) {
      error = "--times takes a whole number from 1 to " + std::to_string(kMaxTimes) + ", not \"" +
              value + "\"";
      return false;
    }
  }
  return true;
}

std::string DefaultAppletPath(const std::string& programPath) {
  const std::string folder = platform::ParentFolder(programPath);
  const std::string installed = folder + "/../lib/faxmail/" + kAppletFileName;
  if (platform::FileExists(installed)) return installed;
  return folder + "/../../applet/" + kAppletFileName;
}

int RunApplet(const std::string& path, int times, std::string& error) {
  error.clear();
  for (int round = 0; round < times; ++round) {
    platform::Module applet;
    std::string detail;
    if (platform::Module::Load(path, applet, &detail) != platform::kErrorSuccess) {
      error = "cannot load the applet " + path + (detail.empty() ? "" : ": " + detail);
      return kExitNoApplet;
    }
    // The loader hands out untyped addresses; the export's type is fixed in run_dialog.h.
    const auto runDialog = reinterpret_cast<RunDialogFunction>(applet.Symbol(kRunDialogSymbol));
    if (!runDialog) {
      error = "the applet " + path + " has no " + kRunDialogSymbol;
      return kExitNoApplet;
    }
    runDialog(nullptr, nullptr, nullptr, nullptr);
    if (applet.Unload() != platform::kErrorSuccess) {
      error = "cannot unload the applet " + path;
      return kExitNoApplet;
    }
  }
  return kExitSuccess;
}

}  // namespace faxmail::adm
