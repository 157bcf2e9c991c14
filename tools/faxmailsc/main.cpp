// faxmailsc: the administrator's command for the services of this machine.
//
//   faxmailsc create NAME binPath= PATH [start= auto|demand|disabled] [DisplayName= TEXT]
//                         [obj= ACCOUNT] [depend= A/B] [type= own] [error= normal]
//   faxmailsc delete NAME
//   faxmailsc start NAME [ARGS...]
//   faxmailsc stop | pause | continue | interrogate NAME
//   faxmailsc query [NAME] [type= own|share|service|driver|all] [state= active|inactive|all]
//   faxmailsc qc NAME
//   faxmailsc config NAME start= auto|demand|disabled
//   faxmailsc enumdepend NAME
//   faxmailsc reports NAME
//   faxmailsc boot
//   faxmailsc shutdown
//
// Options are written "key= value", the value as the next argument; keys, operations and
// option values ignore letter case, service names are compared without it. NAME is the
// service's name, not its display name. query without NAME lists every service (state= and
// type= narrow the list); with NAME it shows that service. start passes ARGS to the service
// main after its name. reports lists the status reports of the service's current or last run,
// oldest first: how its start went. boot starts every automatic service that is not active,
// dependencies first, and waits until each runs; shutdown stops every active service,
// dependents first, and waits until each has stopped (boot.h has their bounds).
//
// Output is laid out as the system's service command lays it out, on standard output;
// failures go to standard error as "[SC] OPERATION FAILED NUMBER:", a blank line and the
// system's text for the number. Exit status 0 on success, 1 when an operation failed, 2 for
// a usage error (with the usage text on standard error).
#include <cstdint>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "platform/service_control.h"
#include "tools/faxmailsc/boot.h"
#include "tools/faxmailsc/sc_text.h"

namespace {

namespace pf = faxmail::platform;
namespace sc = faxmail::sc;
using faxmail::EqualsNoCase;
using faxmail::LowerAscii;

constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "faxmailsc: the services of this machine\n"
    "\n"
    "  faxmailsc create NAME binPath= PATH [start= auto|demand|disabled]\n"
    "                        [DisplayName= TEXT] [obj= ACCOUNT] [depend= A/B]\n"
    "                        [type= own] [error= normal]\n"
    "  faxmailsc delete NAME\n"
    "  faxmailsc start NAME [ARGS...]\n"
    "  faxmailsc stop | pause | continue | interrogate NAME\n"
    "  faxmailsc query [NAME] [type= own|share|service|driver|all]\n"
    "                         [state= active|inactive|all]\n"
    "  faxmailsc qc NAME\n"
    "  faxmailsc config NAME start= auto|demand|disabled\n"
    "  faxmailsc enumdepend NAME\n"
    "  faxmailsc reports NAME\n"
    "  faxmailsc boot\n"
    "  faxmailsc shutdown\n"
    "\n"
    "  Options are written \"key= value\": the value is the next argument.\n"
    "  binPath=      the program and its arguments, as one text\n"
    "  start=        auto (started by boot), demand (the default), disabled\n"
    "  obj=          the account it runs as (LocalSystem, the default, is root)\n"
    "  depend=       the services it depends on, separated by /\n"
    "  query         without NAME: every service (state= all, type= service)\n"
    "  reports       the status reports of the current or last run, oldest first\n"
    "  boot          start every automatic service, dependencies first, and wait\n"
    "  shutdown      stop every active service, dependents first, and wait\n"
    "\n"
    "Exit status: 0 success, 1 an operation failed, 2 usage error.\n";

int Usage(const std::string& problem) {
  std::cerr << "faxmailsc: " << problem << "\n\n" << kUsage;
  return kExitUsage;
}

int Failed(std::string_view operation, long error) {
  std::cerr << sc::FailureText(operation, error) << '\n';
  return kExitFailed;
}

// The arguments after the operation: positional ones, and "key= value" pairs by lower-cased
// key (without the equals sign).
struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;

  const std::string* Option(const std::string& key) const {
    const auto found = options.find(key);
    return found == options.end() ? nullptr : &found->second;
  }
};

// Parses the arguments against the keys the operation takes; returns a usage problem or an
// empty text.
std::string ParseArgs(const std::vector<std::string>& argv, std::vector<std::string_view> keys,
                      Args& out) {
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& token = argv[i];
    const std::size_t equals = token.find('=');
    if (equals == std::string::npos || equals == 0) {
      out.positional.push_back(token);
      continue;
    }
    const std::string key = LowerAscii(std::string_view(token).substr(0, equals));
    bool known = false;
    for (const auto k : keys) known |= EqualsNoCase(k, key);
    if (!known) return "unknown option \"" + token.substr(0, equals + 1) + "\".";
    if (equals + 1 != token.size())
      return "write the value of \"" + token.substr(0, equals + 1) +
             "\" as the next argument, after a blank.";
    if (i + 1 >= argv.size()) return "\"" + token + "\" needs a value.";
    if (!out.options.emplace(key, argv[++i]).second) return "\"" + token + "\" given twice.";
  }
  return {};
}

std::optional<std::uint32_t> StartTypeOf(const std::string& value) {
  if (EqualsNoCase(value, "auto")) return pf::kServiceAutoStart;
  if (EqualsNoCase(value, "demand")) return pf::kServiceDemandStart;
  if (EqualsNoCase(value, "disabled")) return pf::kServiceDisabled;
  return std::nullopt;
}

std::optional<std::uint32_t> ErrorControlOf(const std::string& value) {
  static constexpr std::string_view kNames[] = {"ignore", "normal", "severe", "critical"};
  for (std::uint32_t i = 0; i < std::size(kNames); ++i)
    if (EqualsNoCase(value, kNames[i])) return i;
  return std::nullopt;
}

// The service types a query's type= lists.
std::optional<std::uint32_t> TypeMaskOf(const std::string& value) {
  constexpr std::uint32_t kDrivers = 0x0B;  // kernel, file system and recognizer drivers
  constexpr std::uint32_t kShare = 0x20;
  if (EqualsNoCase(value, "own")) return pf::kServiceWin32OwnProcess;
  if (EqualsNoCase(value, "share")) return kShare;
  if (EqualsNoCase(value, "service")) return pf::kServiceWin32OwnProcess | kShare;
  if (EqualsNoCase(value, "driver")) return kDrivers;
  if (EqualsNoCase(value, "all")) return pf::kServiceWin32OwnProcess | kShare | kDrivers;
  return std::nullopt;
}

std::vector<std::string> SplitDependencies(const std::string& text) {
  std::vector<std::string> names;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view name = faxmail::Trim(rest.substr(0, slash), " \t");
    if (!name.empty()) names.emplace_back(name);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return names;
}

// Opens the manager and the service named by the one positional argument.
struct Opened {
  pf::ScManager manager;
  pf::ScService service;
};

int Open(const std::string& name, Opened& out) {
  if (const long error = pf::OpenSCManager(out.manager); error != 0)
    return Failed("OpenSCManager", error);
  if (const long error = pf::OpenService(out.manager, name, out.service); error != 0)
    return Failed("OpenService", error);
  return kExitSuccess;
}

// ---------------------------------------------------------------------------------------------
// Operations

int Create(const Args& args) {
  if (args.positional.size() != 1) return Usage("create takes one service NAME.");
  const std::string* binPath = args.Option("binpath");
  if (!binPath || binPath->empty()) return Usage("create needs \"binPath= PATH\".");
  pf::ServiceConfig config;
  config.name = args.positional[0];
  config.imagePath = *binPath;
  if (const std::string* value = args.Option("start")) {
    const auto startType = StartTypeOf(*value);
    if (!startType) return Usage("start= takes auto, demand or disabled.");
    config.startType = *startType;
  }
  if (const std::string* value = args.Option("type"); value && !EqualsNoCase(*value, "own"))
    return Usage("type= takes own: every service runs in a process of its own.");
  if (const std::string* value = args.Option("error")) {
    const auto errorControl = ErrorControlOf(*value);
    if (!errorControl) return Usage("error= takes normal, ignore, severe or critical.");
    config.errorControl = *errorControl;
  }
  if (const std::string* value = args.Option("displayname")) config.displayName = *value;
  if (const std::string* value = args.Option("obj"); value && !value->empty())
    config.account = *value;
  if (const std::string* value = args.Option("depend"))
    config.dependencies = SplitDependencies(*value);

  pf::ScManager manager;
  if (const long error = pf::OpenSCManager(manager); error != 0)
    return Failed("OpenSCManager", error);
  pf::ScService service;
  if (const long error = pf::CreateService(manager, config, service); error != 0)
    return Failed("CreateService", error);
  std::cout << "[SC] CreateService SUCCESS\n";
  return kExitSuccess;
}

int Delete(const Args& args) {
  if (args.positional.size() != 1) return Usage("delete takes one service NAME.");
  Opened opened;
  if (const int status = Open(args.positional[0], opened); status != kExitSuccess) return status;
  if (const long error = pf::DeleteService(opened.service); error != 0)
    return Failed("DeleteService", error);
  std::cout << "[SC] DeleteService SUCCESS\n";
  return kExitSuccess;
}

int Start(const std::vector<std::string>& argv) {
  if (argv.empty()) return Usage("start takes a service NAME.");
  Opened opened;
  if (const int status = Open(argv[0], opened); status != kExitSuccess) return status;
  const std::vector<std::string> serviceArgs(argv.begin() + 1, argv.end());
  if (const long error = pf::StartService(opened.service, serviceArgs); error != 0)
    return Failed("StartService", error);
  pf::ServiceStatus status;
  if (const long error = pf::QueryServiceStatus(opened.service, status); error != 0)
    return Failed("QueryServiceStatus", error);
  std::cout << sc::StatusBlock(opened.service.Name(), status) << '\n';
  return kExitSuccess;
}

int Control(const Args& args, std::uint32_t control, std::string_view operation) {
  if (args.positional.size() != 1)
    return Usage(std::string(operation) + " takes one service NAME.");
  Opened opened;
  if (const int status = Open(args.positional[0], opened); status != kExitSuccess) return status;
  pf::ServiceStatus status;
  if (const long error = pf::ControlService(opened.service, control, status); error != 0)
    return Failed("ControlService", error);
  std::cout << sc::StatusBlock(opened.service.Name(), status) << '\n';
  return kExitSuccess;
}

int Query(const Args& args) {
  if (args.positional.size() > 1) return Usage("query takes at most one service NAME.");
  if (args.positional.size() == 1) {
    if (!args.options.empty()) return Usage("type= and state= narrow a query without NAME.");
    Opened opened;
    if (const int status = Open(args.positional[0], opened); status != kExitSuccess) return status;
    pf::ServiceStatus status;
    if (const long error = pf::QueryServiceStatus(opened.service, status); error != 0)
      return Failed("QueryServiceStatus", error);
    std::cout << sc::StatusBlock(opened.service.Name(), status) << '\n';
    return kExitSuccess;
  }
  auto filter = pf::ServiceStateFilter::All;
  if (const std::string* value = args.Option("state")) {
    if (EqualsNoCase(*value, "active"))
      filter = pf::ServiceStateFilter::Active;
    else if (EqualsNoCase(*value, "inactive"))
      filter = pf::ServiceStateFilter::Inactive;
    else if (!EqualsNoCase(*value, "all"))
      return Usage("state= takes active, inactive or all.");
  }
  std::uint32_t types = *TypeMaskOf("service");
  if (const std::string* value = args.Option("type")) {
    const auto mask = TypeMaskOf(*value);
    if (!mask) return Usage("type= takes own, share, service, driver or all.");
    types = *mask;
  }
  pf::ScManager manager;
  if (const long error = pf::OpenSCManager(manager); error != 0)
    return Failed("OpenSCManager", error);
  std::vector<pf::ServiceEntry> entries;
  if (const long error = pf::EnumServicesStatus(manager, filter, entries); error != 0)
    return Failed("EnumServicesStatus", error);
  for (const auto& entry : entries) {
    if ((entry.status.serviceType & types) == 0) continue;
    const std::string displayName = entry.displayName.empty() ? entry.name : entry.displayName;
    std::cout << sc::StatusBlock(entry.name, entry.status, &displayName);
  }
  std::cout << '\n';
  return kExitSuccess;
}

int QueryConfig(const Args& args) {
  if (args.positional.size() != 1) return Usage("qc takes one service NAME.");
  Opened opened;
  if (const int status = Open(args.positional[0], opened); status != kExitSuccess) return status;
  pf::ServiceConfig config;
  if (const long error = pf::QueryServiceConfig(opened.service, config); error != 0)
    return Failed("QueryServiceConfig", error);
  std::cout << "[SC] QueryServiceConfig SUCCESS\n\n" << sc::ConfigBlock(config) << '\n';
  return kExitSuccess;
}

int Config(const Args& args) {
  if (args.positional.size() != 1) return Usage("config takes one service NAME.");
  const std::string* value = args.Option("start");
  if (!value) return Usage("config needs \"start= auto|demand|disabled\".");
  const auto startType = StartTypeOf(*value);
  if (!startType) return Usage("start= takes auto, demand or disabled.");
  Opened opened;
  if (const int status = Open(args.positional[0], opened); status != kExitSuccess) return status;
  if (const long error = pf::ChangeServiceStartType(opened.service, *startType); error != 0)
    return Failed("ChangeServiceConfig", error);
  std::cout << "[SC] ChangeServiceConfig SUCCESS\n";
  return kExitSuccess;
}

int EnumDepend(const Args& args) {
  if (args.positional.size() != 1) return Usage("enumdepend takes one service NAME.");
  Opened opened;
  if (const int status = Open(args.positional[0], opened); status != kExitSuccess) return status;
  std::vector<pf::ServiceEntry> entries;
  if (const long error =
          pf::EnumDependentServices(opened.service, pf::ServiceStateFilter::All, entries);
      error != 0)
    return Failed("EnumDependentServices", error);
  std::cout << "Enum: entriesRead  = " << entries.size() << '\n';
  for (const auto& entry : entries) {
    const std::string displayName = entry.displayName.empty() ? entry.name : entry.displayName;
    std::cout << sc::StatusBlock(entry.name, entry.status, &displayName);
  }
  std::cout << '\n';
  return kExitSuccess;
}

int Reports(const Args& args) {
  if (args.positional.size() != 1) return Usage("reports takes one service NAME.");
  Opened opened;
  if (const int status = Open(args.positional[0], opened); status != kExitSuccess) return status;
  std::vector<pf::ServiceStatus> reports;
  if (const long error = pf::QueryServiceStatusReports(opened.service, reports); error != 0)
    return Failed("QueryServiceStatusReports", error);
  std::cout << "\nSERVICE_NAME: " << opened.service.Name() << "\n\n"
            << sc::ReportsTable(reports) << '\n';
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no operation given.");
  const std::string op = argv[1];
  const std::vector<std::string> rest(argv + 2, argv + argc);
  if (op == "-h" || op == "--help" || op == "/?" || EqualsNoCase(op, "help")) {
    std::cout << kUsage;
    return kExitSuccess;
  }
  Args args;
  std::string problem;
  auto parse = [&](std::vector<std::string_view> keys) {
    problem = ParseArgs(rest, std::move(keys), args);
    return problem.empty();
  };
  auto noArgs = [&]() {
    if (!rest.empty()) problem = op + " takes no arguments.";
    return rest.empty();
  };
  if (EqualsNoCase(op, "create")) {
    if (parse({"binpath", "start", "displayname", "obj", "depend", "type", "error"}))
      return Create(args);
  } else if (EqualsNoCase(op, "delete")) {
    if (parse({})) return Delete(args);
  } else if (EqualsNoCase(op, "start")) {
    return Start(rest);  // the service's arguments are its own, "=" and all
  } else if (EqualsNoCase(op, "stop")) {
    if (parse({})) return Control(args, pf::kServiceControlStop, "stop");
  } else if (EqualsNoCase(op, "pause")) {
    if (parse({})) return Control(args, pf::kServiceControlPause, "pause");
  } else if (EqualsNoCase(op, "continue")) {
    if (parse({})) return Control(args, pf::kServiceControlContinue, "continue");
  } else if (EqualsNoCase(op, "interrogate")) {
    if (parse({})) return Control(args, pf::kServiceControlInterrogate, "interrogate");
  } else if (EqualsNoCase(op, "query")) {
    if (parse({"type", "state"})) return Query(args);
  } else if (EqualsNoCase(op, "qc")) {
    if (parse({})) return QueryConfig(args);
  } else if (EqualsNoCase(op, "config")) {
    if (parse({"start"})) return Config(args);
  } else if (EqualsNoCase(op, "enumdepend")) {
    if (parse({})) return EnumDepend(args);
  } else if (EqualsNoCase(op, "reports")) {
    if (parse({})) return Reports(args);
  } else if (EqualsNoCase(op, "boot")) {
    if (noArgs()) return sc::Boot();
  } else if (EqualsNoCase(op, "shutdown")) {
    if (noArgs()) return sc::Shutdown();
  } else {
    problem = "unknown operation \"" + op + "\".";
  }
  return Usage(problem);
}
