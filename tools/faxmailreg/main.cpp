// faxmailreg: the administrator's command for the registry hive of this machine.
//
//   faxmailreg query  KEY [/v NAME | /ve] [/s]
//   faxmailreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   faxmailreg delete KEY [/v NAME | /ve | /va] [/f]
//   faxmailreg import FILE
//   faxmailreg export KEY FILE [/y]
//   faxmailreg compact
//
// KEY is HKLM\PATH or HKEY_LOCAL_MACHINE\PATH. Switches start with / or - and ignore letter
// case; anything that is not a switch of the operation (an absolute file name, say) is an
// argument. FILE "-" is standard input for import and standard output for export.
//
// Exit status 0 on success; 1 on failure with "ERROR: ..." on standard error, and when the
// administrator answers no to a question (the question is asked only without /f or /y).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/registry_format.h"
#include "platform/win_error.h"

namespace {

namespace pf = faxmail::platform;
using faxmail::EqualsNoCase;
using pf::registry::HexDigit;
constexpr char kDone[] = "The operation completed successfully.";
constexpr char kCancelled[] = "The operation was cancelled by the user.";
constexpr char kColumn[] = "    ";

constexpr char kUsage[] =
    "faxmailreg: the registry hive of this machine\n"
    "\n"
    "  faxmailreg query  KEY [/v NAME | /ve] [/s]\n"
    "  faxmailreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  faxmailreg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  faxmailreg import FILE\n"
    "  faxmailreg export KEY FILE [/y]\n"
    "  faxmailreg compact\n"
    "\n"
    "  KEY   HKLM\\PATH or HKEY_LOCAL_MACHINE\\PATH\n"
    "  /v    a value by name; /ve the key's default value; /va every value of the key\n"
    "  /s    query: the key and all keys below it; add: the separator of REG_MULTI_SZ\n"
    "        items in DATA (default \\0)\n"
    "  /t    REG_SZ (default), REG_EXPAND_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ, REG_NONE\n"
    "  /d    the data: text; a number, decimal or 0x hex, for REG_DWORD; hex digits for\n"
    "        REG_BINARY and REG_NONE\n"
    "  /f    no question before overwriting or deleting; /y no question before\n"
    "        overwriting FILE\n"
    "  FILE  a file in the registry editor's export format; - for standard input or output\n"
    "  compact writes the hive file whole, so that it shows every value (changes of\n"
    "        values are kept in its change log until then): before reading or editing it\n"
    "        by hand\n"
    "\n"
    "Switches may start with / or -.\n";

int Fail(const std::string& message) {
  std::cerr << "ERROR: " << message << '\n';
  return 1;
}

std::string ErrorText(long error) {
  switch (error) {
    case pf::kErrorFileNotFound:
      return "The system was unable to find the specified registry key or value.";
    case pf::kErrorAccessDenied: return "Access is denied.";
    case pf::kErrorInvalidParameter: return "The parameter is incorrect.";
    case pf::kErrorDiskFull: return "There is not enough space on the disk.";
    case pf::kErrorRegistryQuotaLimit:
      return "The registry hive would grow beyond its size limit of " +
             std::to_string(pf::kMaxHiveFileSize >> 20) + " MiB.";
    case pf::kErrorKeyDeleted:
      return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case pf::kErrorBadDb: {
      std::string text = "The configuration registry database is corrupt.";
      const std::string problem = pf::RegHiveProblem(pf::Hive::LocalMachine);
      if (!problem.empty()) text += " " + problem;
      return text;
    }
    default: return "Error " + std::to_string(error) + ".";
  }
}

int FailWith(long error) { return Fail(ErrorText(error)); }

// KEY as the administrator writes it and as the hive file's sections name it.
std::optional<std::string> SubKeyOf(std::string_view key) {
  const auto path = pf::registry::KeyPathOf(key);
  if (!path) return std::nullopt;
  return std::string(*path);
}

std::string FullName(const std::string& path) { return pf::registry::SectionName(path); }

bool Confirm(const std::string& question) {
  std::cout << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

// ---------------------------------------------------------------------------------------------
// Arguments

struct Args {
  std::vector<std::string> positional;
  std::optional<std::string> valueName;  // /v NAME, or "" for /ve
  bool allValues = false;                // /va
  bool recursive = false;                // query /s
  std::optional<std::string> separator;  // add /s
  std::optional<std::string> type;       // /t
  std::optional<std::string> data;       // /d
  bool force = false;                    // /f or /y
};

struct SwitchSpec {
  std::string_view name;
  bool takesValue;
};

bool IsSwitchToken(std::string_view token, std::string_view& name) {
  if (token.size() < 2 || (token[0] != '/' && token[0] != '-')) return false;
  name = token.substr(1);
  return true;
}

// Parses the arguments after the operation; returns an error text or an empty one.
std::string ParseArgs(const std::vector<std::string>& argv, std::string_view op,
                      const std::vector<SwitchSpec>& specs, Args& args) {
  for (std::size_t i = 0; i < argv.size(); ++i) {
    std::string_view name;
    const SwitchSpec* spec = nullptr;
    if (IsSwitchToken(argv[i], name)) {
      for (const auto& s : specs)
        if (EqualsNoCase(s.name, name)) spec = &s;
    }
    if (!spec) {
      args.positional.push_back(argv[i]);
      continue;
    }
    std::string value;
    if (spec->takesValue) {
      if (i + 1 >= argv.size()) return "/" + std::string(spec->name) + " needs a value.";
      value = argv[++i];
    }
    std::string sw(1, '/');
    sw += name;
    auto once = [&](bool already) {
      return already ? "Invalid syntax: " + sw + " given twice." : std::string();
    };
    std::string error;
    if (EqualsNoCase(name, "v") || EqualsNoCase(name, "ve") || EqualsNoCase(name, "va")) {
      if (args.valueName || args.allValues) return "Invalid syntax: only one of /v, /ve, /va.";
      if (EqualsNoCase(name, "va"))
        args.allValues = true;
      else
        args.valueName = EqualsNoCase(name, "ve") ? std::string() : value;
    } else if (EqualsNoCase(name, "s")) {
      if (op == "add") {
        error = once(args.separator.has_value());
        args.separator = value;
      } else {
        args.recursive = true;
      }
    } else if (EqualsNoCase(name, "t")) {
      error = once(args.type.has_value());
      args.type = value;
    } else if (EqualsNoCase(name, "d")) {
      error = once(args.data.has_value());
      args.data = value;
    } else {  // f, y
      args.force = true;
    }
    if (!error.empty()) return error;
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// Query

std::string TypeName(std::uint32_t type) {
  switch (type) {
    case 0: return "REG_NONE";
    case 1: return "REG_SZ";
    case 2: return "REG_EXPAND_SZ";
    case 3: return "REG_BINARY";
    case 4: return "REG_DWORD";
    case 5: return "REG_DWORD_BIG_ENDIAN";
    case 6: return "REG_LINK";
    case 7: return "REG_MULTI_SZ";
    case 8: return "REG_RESOURCE_LIST";
    case 9: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case 11: return "REG_QWORD";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "REG_TYPE_0x%x", type);
      return text;
    }
  }
}

std::string HexBytes(const std::vector<std::byte>& data) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const auto b : data) {
    out += kHex[static_cast<std::uint8_t>(b) >> 4];
    out += kHex[static_cast<std::uint8_t>(b) & 0xf];
  }
  return out;
}

std::string DataText(const pf::RegValue& value) {
  const std::string_view bytes(reinterpret_cast<const char*>(value.data.data()), value.data.size());
  switch (value.type) {
    case pf::kRegSz:
    case pf::kRegExpandSz: return std::string(bytes.substr(0, bytes.find('\0')));
    case pf::kRegMultiSz: {
      std::string out;
      std::string_view rest = bytes;
      bool first = true;
      while (!rest.empty()) {
        const std::size_t zero = rest.find('\0');
        const std::string_view item = rest.substr(0, zero);
        if (item.empty() && zero != std::string_view::npos) break;  // the list's end
        if (!first) out += "\\0";
        out += item;
        first = false;
        if (zero == std::string_view::npos) break;
        rest.remove_prefix(zero + 1);
      }
      return out;
    }
    case pf::kRegDword:
    case 11:
      if (value.data.size() == 4 || value.data.size() == 8) {
        std::uint64_t number = 0;
        for (std::size_t i = value.data.size(); i-- > 0;)
          number = (number << 8) | static_cast<std::uint8_t>(value.data[i]);
        char text[32];
        std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(number));
        return text;
      }
      return HexBytes(value.data);
    default: return HexBytes(value.data);
  }
}

void PrintValue(const pf::RegValue& value) {
  std::cout << kColumn << (value.name.empty() ? "(Default)" : value.name) << kColumn
            << TypeName(value.type) << kColumn << DataText(value) << '\n';
}

const pf::RegValue* FindValue(const std::vector<pf::RegValue>& values, std::string_view name) {
  for (const auto& v : values)
    if (EqualsNoCase(v.name, name)) return &v;
  return nullptr;
}

int Query(const Args& args) {
  if (args.positional.size() != 1) return Fail("Invalid syntax: query takes one KEY.");
  const auto subKey = SubKeyOf(args.positional[0]);
  if (!subKey) return Fail("Invalid key name.");
  pf::RegKey key;
  if (const long r = pf::RegOpenKey(pf::Hive::LocalMachine, *subKey, key); r != 0)
    return FailWith(r);
  const std::string start = key.Path();
  pf::RegCloseKey(key);

  std::size_t matches = 0;
  // Depth first, subkeys in name order; a key that goes away meanwhile is passed over.
  std::vector<std::string> stack{start};
  bool first = true;
  while (!stack.empty()) {
    const std::string path = std::move(stack.back());
    stack.pop_back();
    pf::RegKey k;
    long r = pf::RegOpenKey(pf::Hive::LocalMachine, path, k);
    std::vector<pf::RegValue> values;
    std::vector<std::string> subKeys;
    if (r == 0) r = pf::RegEnumValues(k, values);
    if (r == 0) r = pf::RegEnumSubKeys(k, subKeys);
    if (k.IsOpen()) pf::RegCloseKey(k);
    if (r != 0) {
      if (first) return FailWith(r);
      continue;
    }
    if (args.valueName) {
      const pf::RegValue* value = FindValue(values, *args.valueName);
      if (value) {
        std::cout << '\n' << FullName(path) << '\n';
        PrintValue(*value);
        ++matches;
      } else if (!args.recursive) {
        return FailWith(pf::kErrorFileNotFound);
      }
    } else if (args.recursive || first) {
      std::cout << '\n' << FullName(path) << '\n';
      for (const auto& value : values) PrintValue(value);
    }
    if (args.recursive) {
      for (auto it = subKeys.rbegin(); it != subKeys.rend(); ++it)
        stack.push_back(path.empty() ? *it : path + "\\" + *it);
    } else if (!args.valueName && !subKeys.empty()) {
      std::cout << '\n';
      for (const auto& sub : subKeys)
        std::cout << FullName(path.empty() ? sub : path + "\\" + sub) << '\n';
    }
    first = false;
  }
  std::cout << '\n';
  if (args.recursive && args.valueName) {
    std::cout << "End of search: " << matches << " match(es) found.\n";
    if (matches == 0) return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Add

bool ParseNumber(std::string_view text, std::uint32_t& out) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    const int d = HexDigit(c);
    if (d < 0 || d >= base) return false;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    if (value > 0xffffffffULL) return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool ParseHexString(std::string_view text, std::vector<std::byte>& out) {
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<std::byte>(hi * 16 + lo));
  }
  return true;
}

std::vector<std::byte> Bytes(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return std::vector<std::byte>(p, p + text.size());
}

int Add(const Args& args) {
  if (args.positional.size() != 1) return Fail("Invalid syntax: add takes one KEY.");
  if (args.allValues) return Fail("Invalid syntax: /va is for delete.");
  const auto subKey = SubKeyOf(args.positional[0]);
  if (!subKey) return Fail("Invalid key name.");
  if (!args.valueName && (args.type || args.data || args.separator))
    return Fail("Invalid syntax: /t, /d and /s need /v or /ve.");

  std::uint32_t type = pf::kRegSz;
  const std::string typeName = args.type.value_or("REG_SZ");
  if (EqualsNoCase(typeName, "REG_SZ"))
    type = pf::kRegSz;
  else if (EqualsNoCase(typeName, "REG_EXPAND_SZ"))
    type = pf::kRegExpandSz;
  else if (EqualsNoCase(typeName, "REG_DWORD"))
    type = pf::kRegDword;
  else if (EqualsNoCase(typeName, "REG_BINARY"))
    type = pf::kRegBinary;
  else if (EqualsNoCase(typeName, "REG_MULTI_SZ"))
    type = pf::kRegMultiSz;
  else if (EqualsNoCase(typeName, "REG_NONE"))
    type = pf::kRegNone;
  else
    return Fail("Invalid type: " + typeName + ".");
  if (args.separator && type != pf::kRegMultiSz)
    return Fail("Invalid syntax: /s is for REG_MULTI_SZ.");

  const std::string data = args.data.value_or("");
  std::vector<std::byte> bytes;
  switch (type) {
    case pf::kRegSz:
    case pf::kRegExpandSz:
      bytes = Bytes(data);
      bytes.push_back(std::byte{0});
      break;
    case pf::kRegDword: {
      std::uint32_t number = 0;
      if (!data.empty() && !ParseNumber(data, number))
        return Fail("Invalid REG_DWORD data: " + data +
                    " (a number up to 4294967295 or 0xffffffff).");
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::byte>(number >> (8 * i)));
      break;
    }
    case pf::kRegMultiSz: {
      const std::string separator = args.separator.value_or("\\0");
      if (separator.empty()) return Fail("Invalid syntax: an empty /s separator.");
      std::string_view rest = data;
      while (!rest.empty()) {
        const std::size_t at = rest.find(separator);
        const std::string_view item = rest.substr(0, at);
        if (item.empty()) return Fail("Invalid REG_MULTI_SZ data: an empty item.");
        auto b = Bytes(item);
        bytes.insert(bytes.end(), b.begin(), b.end());
        bytes.push_back(std::byte{0});
        if (at == std::string_view::npos) break;
        rest.remove_prefix(at + separator.size());
      }
      bytes.push_back(std::byte{0});
      break;
    }
    default:
      if (!ParseHexString(data, bytes)) return Fail("Invalid hex data: " + data + ".");
  }

  pf::RegKey key;
  if (const long r = pf::RegCreateKey(pf::Hive::LocalMachine, *subKey, key); r != 0)
    return FailWith(r);
  if (args.valueName) {
    if (!args.force) {
      std::uint32_t size = 0;
      const long r = pf::RegQueryValue(key, *args.valueName, nullptr, nullptr, &size);
      if (r == 0) {
        const std::string shown = args.valueName->empty() ? "(Default)" : *args.valueName;
        if (!Confirm("Value " + shown + " exists, overwrite")) {
          std::cout << kCancelled << '\n';
          return 1;
        }
      } else if (r != pf::kErrorFileNotFound) {
        return FailWith(r);
      }
    }
    if (bytes.size() > pf::kMaxHiveFileSize) return FailWith(pf::kErrorRegistryQuotaLimit);
    const long r = pf::RegSetValue(key, *args.valueName, type, bytes.data(),
                                   static_cast<std::uint32_t>(bytes.size()));
    if (r != 0) return FailWith(r);
  }
  pf::RegCloseKey(key);
  std::cout << kDone << '\n';
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Delete

int Delete(const Args& args) {
  if (args.positional.size() != 1) return Fail("Invalid syntax: delete takes one KEY.");
  const auto subKey = SubKeyOf(args.positional[0]);
  if (!subKey) return Fail("Invalid key name.");
  pf::RegKey key;
  if (const long r = pf::RegOpenKey(pf::Hive::LocalMachine, *subKey, key); r != 0)
    return FailWith(r);
  const std::string name = FullName(key.Path());

  if (!args.valueName && !args.allValues) {
    if (key.Path().empty()) return Fail("Invalid key name: the hive's root cannot be deleted.");
    if (!args.force && !Confirm("Permanently delete the registry key " + name)) {
      std::cout << kCancelled << '\n';
      return 1;
    }
    if (const long r = pf::RegDeleteTree(pf::Hive::LocalMachine, key.Path()); r != 0)
      return FailWith(r);
  } else if (args.valueName) {
    const std::string shown = args.valueName->empty() ? "(Default)" : *args.valueName;
    std::uint32_t size = 0;
    if (const long r = pf::RegQueryValue(key, *args.valueName, nullptr, nullptr, &size); r != 0)
      return FailWith(r);
    if (!args.force && !Confirm("Delete the registry value " + shown)) {
      std::cout << kCancelled << '\n';
      return 1;
    }
    if (const long r = pf::RegDeleteValue(key, *args.valueName); r != 0) return FailWith(r);
  } else {
    if (!args.force && !Confirm("Delete all values under the registry key " + name)) {
      std::cout << kCancelled << '\n';
      return 1;
    }
    std::vector<pf::RegValue> values;
    if (const long r = pf::RegEnumValues(key, values); r != 0) return FailWith(r);
    for (const auto& value : values) {
      const long r = pf::RegDeleteValue(key, value.name);
      if (r != 0 && r != pf::kErrorFileNotFound) return FailWith(r);
    }
  }
  pf::RegCloseKey(key);
  std::cout << kDone << '\n';
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Import and export

// Reads a whole file (or standard input for "-"), refusing one larger than a hive may be.
bool ReadInput(const std::string& file, std::string& text, std::string& error) {
  std::ifstream stream;
  std::istream* in = &std::cin;
  if (file != "-") {
    stream.open(file, std::ios::binary);
    if (!stream) {
      error = "Cannot open " + file + ".";
      return false;
    }
    in = &stream;
  }
  text.clear();
  char buffer[65536];
  while (in->read(buffer, sizeof buffer) || in->gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in->gcount()));
    if (text.size() > pf::kMaxHiveFileSize) {
      error = file + " is larger than a hive may be.";
      return false;
    }
  }
  if (in->bad()) {
    error = "Cannot read " + file + ".";
    return false;
  }
  return true;
}

int Compact(const Args& args) {
  if (!args.positional.empty() || args.valueName || args.allValues || args.force || args.recursive)
    return Fail("Invalid syntax: compact takes no arguments.");
  if (const long r = pf::RegWriteHive(pf::Hive::LocalMachine); r != 0) return FailWith(r);
  std::cout << kDone << '\n';
  return 0;
}

int Import(const Args& args) {
  if (args.positional.size() != 1) return Fail("Invalid syntax: import takes one FILE.");
  if (args.valueName || args.allValues || args.force || args.recursive)
    return Fail("Invalid syntax: import takes no switches.");
  const std::string& file = args.positional[0];
  std::string text;
  std::string error;
  if (!ReadInput(file, text, error)) return Fail(error);
  std::string problem;
  const long r = pf::RegImport(pf::Hive::LocalMachine, text, &problem);
  if (r != 0) {
    if (!problem.empty()) return Fail((file == "-" ? "standard input" : file) + ": " + problem);
    return FailWith(r);
  }
  std::cout << kDone << '\n';
  return 0;
}

int Export(const Args& args) {
  if (args.positional.size() != 2) return Fail("Invalid syntax: export takes KEY and FILE.");
  if (args.valueName || args.allValues || args.recursive)
    return Fail("Invalid syntax: export takes only /y.");
  const auto subKey = SubKeyOf(args.positional[0]);
  if (!subKey) return Fail("Invalid key name.");
  const std::string& file = args.positional[1];
  std::string text;
  if (const long r = pf::RegExport(pf::Hive::LocalMachine, *subKey, text); r != 0)
    return FailWith(r);
  if (file == "-") {
    std::cout << text << std::flush;
    return std::cout ? 0 : Fail("Cannot write standard output.");
  }
  if (pf::FileExists(file) && !args.force &&
      !Confirm("File " + file + " already exists. Overwrite")) {
    std::cout << kCancelled << '\n';
    return 1;
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return Fail("Cannot write " + file + ".");
  std::cout << kDone << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> rest(argv + (argc > 1 ? 2 : argc), argv + argc);
  const std::string op = argc > 1 ? argv[1] : "";
  std::string_view sw;
  if (op.empty() || ((IsSwitchToken(op, sw) &&
                      (sw == "?" || EqualsNoCase(sw, "h") || EqualsNoCase(sw, "help"))))) {
    (op.empty() ? std::cerr : std::cout) << kUsage;
    return op.empty() ? 1 : 0;
  }
  Args args;
  std::string error;
  int (*run)(const Args&) = nullptr;
  if (EqualsNoCase(op, "query")) {
    error = ParseArgs(rest, "query", {{"v", true}, {"ve", false}, {"s", false}}, args);
    run = Query;
  } else if (EqualsNoCase(op, "add")) {
    error = ParseArgs(
        rest, "add",
        {{"v", true}, {"ve", false}, {"t", true}, {"s", true}, {"d", true}, {"f", false}}, args);
    run = Add;
  } else if (EqualsNoCase(op, "delete")) {
    error =
        ParseArgs(rest, "delete", {{"v", true}, {"ve", false}, {"va", false}, {"f", false}}, args);
    run = Delete;
  } else if (EqualsNoCase(op, "import")) {
    error = ParseArgs(rest, "import", {}, args);
    run = Import;
  } else if (EqualsNoCase(op, "compact")) {
    error = ParseArgs(rest, "compact", {}, args);
    run = Compact;
  } else if (EqualsNoCase(op, "export")) {
    error = ParseArgs(rest, "export", {{"y", false}}, args);
    run = Export;
  } else {
    return Fail("Invalid operation: " + op + ". Type \"faxmailreg /?\" for usage.");
  }
  if (!error.empty()) return Fail(error);
  return run(args);
}
