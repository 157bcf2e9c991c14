// faxmailpasswd: the administrator's command for the receiver's user file (AuthUsers).
//
//   faxmailpasswd [-f FILE] [--sha512] add USER
//   faxmailpasswd [-f FILE] remove USER
//   faxmailpasswd [-f FILE] list
//
// The file is rewritten whole into a scratch file beside it, synced, given mode 0600 and
// renamed over the old one, so it is never seen half-written; every line that the operation
// does not concern stays byte for byte. The file is held without sharing while it is edited:
// a second faxmailpasswd at the same moment fails (status 3) instead of losing an edit.
// Exit status: 0 done, 1 usage, 2 user exists (add) or not found (remove), 3 file error.
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/password_hash.h"
#include "platform/registry.h"
#include "platform/temp_file.h"
#include "platform/terminal.h"
#include "platform/win_error.h"
#include "tools/faxmailpasswd/user_file.h"

namespace {

namespace pf = faxmail::platform;
namespace pw = faxmail::passwd;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitUser = 2;
constexpr int kExitFile = 3;

constexpr char kGatewayKey[] = "SOFTWARE\\Almoran\\Corvane SMTP Server";
constexpr char kAuthUsersValue[] = "AuthUsers";
// The longest AuthUsers path the gateway reads, with its zero.
constexpr std::uint32_t kPathLimit = 4096;
// A user file beyond this is not one an administrator keeps: a million users fit.
constexpr std::uint64_t kFileLimit = 128ull * 1024 * 1024;
constexpr char kScratchSuffix[] = ".new";

constexpr char kHelp[] =
    "NAME\n"
    "    faxmailpasswd - add, remove and list the users of the gateway's AUTH\n"
    "\n"
    "SYNOPSIS\n"
    "    faxmailpasswd [-f FILE] [--sha512] add USER\n"
    "    faxmailpasswd [-f FILE] remove USER\n"
    "    faxmailpasswd [-f FILE] list\n"
    "    faxmailpasswd --help\n"
    "\n"
    "DESCRIPTION\n"
    "    The gateway's SMTP server authenticates clients against a file of lines\n"
    "    \"user:hash\", the hash in crypt(3) form as mkpasswd makes it. The file is the\n"
    "    AuthUsers value of the gateway's registry key unless -f names another.\n"
    "\n"
    "    add USER     asks for the password (without echo on a terminal; otherwise the\n"
    "                 first line of standard input is the password) and adds the user,\n"
    "                 hashed with yescrypt, or SHA-512 with --sha512. The file is\n"
    "                 created when it does not exist.\n"
    "    remove USER  removes the user's line.\n"
    "    list         prints the users, one a line, in the file's order.\n"
    "\n"
    "    USER is 1 to 64 of the characters A-Z a-z 0-9 . _ @ + -. Every other line of\n"
    "    the file is kept byte for byte. The file is replaced whole (written beside it,\n"
    "    synced, renamed over it) with mode 0600; the gateway reads it at start.\n"
    "\n"
    "EXIT STATUS\n"
    "    0  done\n"
    "    1  usage: bad arguments, no file named, an unacceptable password\n"
    "    2  add: the user exists; remove: the user is not in the file\n"
    "    3  the file cannot be read or written (or another faxmailpasswd holds it)\n";

constexpr char kUsage[] =
    "usage: faxmailpasswd [-f FILE] [--sha512] add USER | remove USER | list\n"
    "       faxmailpasswd --help\n";

int Fail(int status, const std::string& message) {
  std::cerr << "faxmailpasswd: " << message << "\n";
  return status;
}

int Usage(const std::string& message) {
  if (!message.empty()) std::cerr << "faxmailpasswd: " << message << "\n";
  std::cerr << kUsage;
  return kExitUsage;
}

std::string FileError(const std::string& path, long error) {
  return path + ": " + std::string(pf::ErrorText(error)) + " (error " + std::to_string(error) + ")";
}

// AuthUsers of the gateway's key; none when the key or the value is missing or empty.
std::optional<std::string> ConfiguredFile() {
  pf::RegKey key;
  if (pf::RegOpenKey(pf::Hive::LocalMachine, kGatewayKey, key) != pf::kErrorSuccess)
    return std::nullopt;
  std::string path;
  const long read = pf::RegQueryString(key, kAuthUsersValue, kPathLimit, path);
  pf::RegCloseKey(key);
  if (read != pf::kErrorSuccess || path.empty()) return std::nullopt;
  return path;
}

// The whole file into text; a missing file is empty when mayCreate.
long ReadWhole(pf::File& file, std::string& text) {
  std::uint64_t size = 0;
  if (const long error = file.Size(size); error != pf::kErrorSuccess) return error;
  if (size > kFileLimit) return pf::kErrorNotEnoughMemory;
  text.assign(static_cast<std::size_t>(size), '\0');
  std::size_t have = 0;
  while (have < text.size()) {
    std::size_t got = 0;
    if (const long error = file.Read(text.data() + have, text.size() - have, got);
        error != pf::kErrorSuccess)
      return error;
    if (got == 0) break;
    have += got;
  }
  text.resize(have);
  return pf::kErrorSuccess;
}

long Replace(const std::string& path, const std::string& text) {
  pf::TempFile scratch;
  if (const long error =
          pf::TempFile::Create(path + kScratchSuffix, pf::Disposition::CreateAlways, scratch);
      error != pf::kErrorSuccess)
    return error;
  if (const long error = scratch.file().RestrictToOwner(); error != pf::kErrorSuccess) return error;
  if (const long error = scratch.file().Write(text); error != pf::kErrorSuccess) return error;
  if (const long error = scratch.file().Sync(); error != pf::kErrorSuccess) return error;
  if (const long error = scratch.Commit(path, true); error != pf::kErrorSuccess) return error;
  return pf::SyncDirectory(pf::ParentFolder(path));
}

std::optional<std::string> ReadNewPassword() {
  const auto first = pf::ReadSecretLine("Password: ", ::platform::kPasswordLimit);
  if (!first || !pf::StdinIsTerminal()) return first;
  const auto again = pf::ReadSecretLine("Retype password: ", ::platform::kPasswordLimit);
  if (!again || *again != *first) {
    std::cerr << "faxmailpasswd: the passwords differ\n";
    return std::nullopt;
  }
  return first;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::optional<std::string> file;
  bool sha512 = false;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp;
      return kExitOk;
    }
    if (arg == "-f" || arg == "--file") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return Usage(arg + " needs a FILE");
      file = args[++i];
    } else if (arg == "--sha512") {
      sha512 = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) return Usage("no operation");
  const std::string& operation = words[0];
  const bool list = operation == "list";
  const bool add = operation == "add";
  const bool remove = operation == "remove";
  if (!list && !add && !remove) return Usage("unknown operation " + operation);
  if (words.size() != (list ? 1u : 2u)) return Usage("wrong number of arguments");
  if (sha512 && !add) return Usage("--sha512 belongs to add");
  const std::string user = list ? std::string() : words[1];
  if (!list && !pw::ValidUserName(user))
    return Usage("bad user name (1 to 64 of A-Z a-z 0-9 . _ @ + -)");

  if (!file) file = ConfiguredFile();
  if (!file) return Usage("no user file: give -f FILE or set AuthUsers in the gateway's key");

  // Held without sharing from the read to the rename: edits never cross.
  pf::File held;
  const long opened =
      pf::File::Open(*file, list ? pf::Access::Read : pf::Access::ReadWrite,
                     list ? pf::Share::Read : pf::Share::None,
                     add ? pf::Disposition::OpenAlways : pf::Disposition::OpenExisting, held,
                     pf::Links::Follow, pf::Kind::RegularFile);
  if (opened != pf::kErrorSuccess) return Fail(kExitFile, FileError(*file, opened));
  std::string text;
  if (const long error = ReadWhole(held, text); error != pf::kErrorSuccess)
    return Fail(kExitFile, FileError(*file, error));

  if (list) {
    for (const std::string& name : pw::ListUsers(text)) std::cout << name << "\n";
    return kExitOk;
  }
  std::string updated;
  if (add) {
    if (pw::HasUser(text, user)) return Fail(kExitUser, "user exists: " + user);
    const auto password = ReadNewPassword();
    if (!password) return Fail(kExitUsage, "no password read (at most 256 bytes, one line)");
    if (password->empty()) return Fail(kExitUsage, "an empty password is not taken");
    const std::string hash = ::platform::HashPassword(*password, sha512);
    if (hash.empty()) return Fail(kExitUsage, "the password cannot be hashed (a zero byte?)");
    updated = pw::AddUser(text, user, hash);
  } else {
    std::size_t removed = 0;
    updated = pw::RemoveUser(text, user, removed);
    if (removed == 0) return Fail(kExitUser, "no such user: " + user);
  }
  if (const long error = Replace(*file, updated); error != pf::kErrorSuccess)
    return Fail(kExitFile, FileError(*file, error));
  return kExitOk;
}
