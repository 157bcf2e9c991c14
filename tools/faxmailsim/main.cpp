// faxmailsim: a stand-in for the fax server beside the gateway, for tests and demonstrations.
//
//   faxmailsim [--data DIR] [--sent DIR] [--refuse NUMBER]... [--refuse-file FILE] [--once]
//   faxmailsim receive --from NUMBER --to ADDRESS --image FILE [--data DIR]
//
// The first form takes the envelopes ready in the data directory's OUT folder, "transmits"
// their faxes and leaves a notification for each in IN (see fax_server.h); without --once it
// goes on until SIGINT or SIGTERM, woken by every arrival in OUT and at least once a second.
// The second leaves in IN a received fax for ADDRESS, with the image attached.
//
// DIR defaults: the data directory is the gateway's ProgramPath setting; the sent folder is
// "sent" beside the data directory. One line per transmission on standard output, errors on
// standard error. Exit status 0 when all went well, 1 when something failed, 2 on bad usage.
#include <chrono>
#include <iostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "common/path_utils.h"
#include "platform/dir_watch.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/stop_signal.h"
#include "platform/win_error.h"
#include "tools/faxmailsim/envelope.h"
#include "tools/faxmailsim/fax_image.h"
#include "tools/faxmailsim/fax_server.h"
#include "tools/faxmailsim/ready_file.h"

namespace {

namespace pf = faxmail::platform;
namespace sim = faxmail::sim;

constexpr char kGatewayKey[] = "SOFTWARE\\Almoran\\Corvane SMTP Server";
// The gateway reads ProgramPath into 80 bytes: longer values do not name its folder.
constexpr std::uint32_t kProgramPathBytes = 80;
// How long a wait for OUT lasts when no notice comes: the poll behind the watch.
constexpr std::chrono::milliseconds kPollPeriod{1000};

// How much of a bad argument is repeated in the complaint.
constexpr std::size_t kShownArgument = 60;

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

constexpr char kUsageText[] =
    "usage: faxmailsim [--data DIR] [--sent DIR] [--refuse NUMBER]... [--refuse-file FILE] "
    "[--once]\n"
    "       faxmailsim receive --from NUMBER --to ADDRESS --image FILE [--data DIR]\n"
    "\n"
    "  --data DIR         the data directory with OUT and IN (default: the gateway's\n"
    "                     ProgramPath setting)\n"
    "  --sent DIR         where transmissions are recorded (default: sent beside DIR)\n"
    "  --refuse NUMBER    a number whose faxes are rejected (may be given again)\n"
    "  --refuse-file FILE numbers to reject, one a line, '#' starts a comment\n"
    "  --once             handle what is ready now and end\n"
    "  receive            leave a received fax for ADDRESS in IN\n";

int Usage(const std::string& problem) {
  std::cerr << "faxmailsim: " << problem << "\n" << kUsageText;
  return kUsage;
}

// The data directory, with its separator: given, or the gateway's setting.
bool DataDirectory(std::string given, std::string& out) {
  if (given.empty()) {
    pf::RegKey key;
    if (pf::RegOpenKey(pf::Hive::LocalMachine, kGatewayKey, key) != pf::kErrorSuccess ||
        pf::RegQueryString(key, "ProgramPath", kProgramPathBytes, given) != pf::kErrorSuccess ||
        given.empty()) {
      std::cerr << "faxmailsim: the gateway's ProgramPath is not set; give --data DIR\n";
      return false;
    }
    pf::RegCloseKey(key);
  }
  faxmail::AppendTrailingSeparator(given);
  if (!pf::DirectoryExists(given + "OUT") || !pf::DirectoryExists(given + "IN")) {
    std::cerr << "faxmailsim: " << given << " has no OUT and IN folders\n";
    return false;
  }
  out = given;
  return true;
}

std::string SentBeside(std::string data) {
  faxmail::StripTrailingSeparator(data);
  const std::string parent = pf::ParentFolder(data);
  return parent == std::string(1, pf::kPathSeparator) ? parent + "sent"
                                                      : parent + pf::kPathSeparator + "sent";
}

int Receive(const std::vector<std::string_view>& args) {
  std::string from, to, image, data;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    std::string* target = arg == "--from"    ? &from
                          : arg == "--to"    ? &to
                          : arg == "--image" ? &image
                          : arg == "--data"  ? &data
                                             : nullptr;
    if (!target) return Usage("unknown argument " + std::string(arg));
    if (i + 1 == args.size()) return Usage(std::string(arg) + " needs a value");
    *target = std::string(args[++i]);
  }
  if (from.empty() || to.empty() || image.empty())
    return Usage("receive needs --from, --to and --image");
  if (from.size() > sim::kMaxNumberDigits * 2 || sim::SafeLine(from) != from)
    return Usage("not a number: " + sim::SafeLine(from, kShownArgument));
  if (to.size() > sim::kMaxAddress || sim::SafeLine(to) != to ||
      to.find_first_of("<> ") != std::string::npos || to.find('@') == std::string::npos)
    return Usage("not a mail address: " + sim::SafeLine(to, kShownArgument));
  std::string dataDir;
  if (!DataDirectory(data, dataDir)) return kFailure;
  std::size_t pages = 0;
  std::string problem;
  if (!sim::CountTiffPages(image, pages, problem)) {
    std::cerr << "faxmailsim: " << image << ": " << problem << '\n';
    return kFailure;
  }
  sim::ReadyFile fax;
  fax.from = "Fax Server <fax@" + pf::HostName() + ">";
  fax.to = to;
  fax.subject = "Fax received from " + from;
  fax.body = {"You have received a fax from " + from + ": " + std::to_string(pages) +
              (pages == 1 ? " page." : " pages.")};
  fax.attachments.push_back({"fax.tif", image});
  std::string readyName;
  if (std::string failed = sim::PutReadyFile(dataDir + "IN" + pf::kPathSeparator, fax, readyName);
      !failed.empty()) {
    std::cerr << "faxmailsim: " << failed << '\n';
    return kFailure;
  }
  std::cout << "faxmailsim: fax from " << from << " received for " << to << ", " << pages
            << (pages == 1 ? " page, " : " pages, ") << dataDir << "IN" << pf::kPathSeparator
            << readyName << '\n';
  return kOk;
}

int Serve(const std::vector<std::string_view>& args) {
  std::string data, sent;
  std::set<std::string> refused;
  bool once = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--once") {
      once = true;
      continue;
    }
    if (arg != "--data" && arg != "--sent" && arg != "--refuse" && arg != "--refuse-file")
      return Usage("unknown argument " + std::string(arg));
    if (i + 1 == args.size()) return Usage(std::string(arg) + " needs a value");
    const std::string value(args[++i]);
    if (arg == "--data")
      data = value;
    else if (arg == "--sent")
      sent = value;
    else if (arg == "--refuse") {
      const std::string number = sim::NormalNumber(value);
      if (number.empty()) return Usage("--refuse needs a number");
      refused.insert(number);
    } else if (std::string failed = sim::ReadRefusalList(value, refused); !failed.empty()) {
      std::cerr << "faxmailsim: " << failed << '\n';
      return kFailure;
    }
  }
  sim::FaxServerOptions options;
  if (!DataDirectory(data, options.data)) return kFailure;
  if (!sent.empty()) faxmail::StripTrailingSeparator(sent);
  options.sent = sent.empty() ? SentBeside(options.data) : sent;
  options.refused = std::move(refused);
  sim::FaxServer server(std::move(options));

  if (once) return server.HandleReady(std::cout, std::cerr) == 0 ? kOk : kFailure;

  pf::InstallStopSignals();
  const std::string out = server.Options().data + "OUT";
  pf::DirectoryWatch watch;
  if (const long err = pf::DirectoryWatch::Open(out, watch))
    std::cerr << "faxmailsim: no notice of arrivals in " << out << " (error " << err
              << "); looking every second\n";
  bool failed = false;
  while (!pf::StopRequested()) {
    if (server.HandleReady(std::cout, std::cerr) != 0) failed = true;
    if (pf::StopRequested()) break;
    if (watch.IsOpen())
      watch.Wait(kPollPeriod, [](std::string_view name) {
        return name.size() > 4 && faxmail::EndsWithNoCase(name, ".tmp");
      });
    else
      pf::SleepMs(static_cast<std::uint32_t>(kPollPeriod.count()));
  }
  return failed ? kFailure : kOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (const std::string_view arg : args)
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsageText;
      return kOk;
    }
  if (!args.empty() && args[0] == "receive")
    return Receive(std::vector<std::string_view>(args.begin() + 1, args.end()));
  return Serve(args);
}
