#include "platform/win32/access.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/win_error.h"

namespace faxmail::platform::win32 {

namespace {

// Memory the security functions hand out (descriptors, SID texts) and want back through
// LocalFree.
struct LocalFreer {
  void operator()(void* memory) const noexcept { ::LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreer>;

struct HandleCloser {
  void operator()(HANDLE handle) const noexcept { ::CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

long Fail(long error) {
  SetLastError(error);
  return error;
}

long FailLast() { return Fail(static_cast<long>(::GetLastError())); }

// A SID copied into memory of its own.
using SidBytes = std::vector<std::uint8_t>;

SidBytes CopySid(PSID sid) {
  SidBytes bytes(::GetLengthSid(sid));
  ::CopySid(static_cast<DWORD>(bytes.size()), bytes.data(), sid);
  return bytes;
}

SidBytes WellKnownSid(WELL_KNOWN_SID_TYPE type) {
  SidBytes bytes(SECURITY_MAX_SID_SIZE);
  DWORD size = SECURITY_MAX_SID_SIZE;
  if (!::CreateWellKnownSid(type, nullptr, bytes.data(), &size)) return {};
  bytes.resize(size);
  return bytes;
}

bool SameSid(const SidBytes& a, PSID b) {
  return !a.empty() && ::EqualSid(const_cast<std::uint8_t*>(a.data()), b);
}

// The process's user and the owner its token gives to what it creates.
struct ProcessSids {
  SidBytes user;
  SidBytes owner;
};

long ReadProcessSids(ProcessSids& out) {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return FailLast();
  const OwnedHandle token(raw);
  for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
    DWORD needed = 0;
    ::GetTokenInformation(raw, kind, nullptr, 0, &needed);
    if (needed == 0) return FailLast();
    std::vector<std::uint8_t> buffer(needed);
    if (!::GetTokenInformation(raw, kind, buffer.data(), needed, &needed)) return FailLast();
    if (kind == TokenUser)
      out.user = CopySid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    else
      out.owner = CopySid(reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner);
  }
  return kErrorSuccess;
}

// The private descriptor for an owner: full access for it, SYSTEM and Administrators, nothing
// from the parent; inherit passes the entries on to a folder's contents.
long PrivateDescriptor(PSID owner, bool inherit, LocalMemory& out) {
  char* text = nullptr;
  if (!::ConvertSidToStringSidA(owner, &text)) return FailLast();
  const LocalMemory ownerText(text);
  const std::string flags = inherit ? "OICI" : "";
  const std::string sddl =
      "D:P(A;" + flags + ";FA;;;" + text + ")(A;" + flags + ";FA;;;SY)(A;" + flags + ";FA;;;BA)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
    return FailLast();
  out.reset(descriptor);
  return kErrorSuccess;
}

constexpr SECURITY_INFORMATION kPrivateDacl =
    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;

// The rights an entry's mask gives as read, write and execute bits (4, 2, 1).
std::uint32_t ModeBits(ACCESS_MASK mask) {
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  ::MapGenericMask(&mask, &mapping);
  std::uint32_t bits = 0;
  if (mask & FILE_READ_DATA) bits |= 4;
  if (mask & (FILE_WRITE_DATA | FILE_APPEND_DATA)) bits |= 2;
  if (mask & FILE_EXECUTE) bits |= 1;
  return bits;
}

}  // namespace

long RestrictHandleToOwner(HANDLE handle) {
  // A handle of its own that asks for the rules alone: the caller's may lack the rights, and
  // rights without data access meet no share mode of any open of the file.
  const HANDLE raw = ::ReOpenFile(handle, READ_CONTROL | WRITE_DAC,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  if (raw == INVALID_HANDLE_VALUE) return FailLast();
  const OwnedHandle rules(raw);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR current = nullptr;
  if (const DWORD rc = ::GetSecurityInfo(raw, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                         nullptr, nullptr, nullptr, &current))
    return Fail(static_cast<long>(rc));
  const LocalMemory currentHeld(current);
  LocalMemory wanted;
  if (const long error = PrivateDescriptor(owner, false, wanted)) return error;
  // The kernel's own call: the descriptor's "protected" mark travels with it (and Wine takes
  // a file's rules only this way; its SetSecurityInfo leaves them as they were).
  if (!::SetKernelObjectSecurity(raw, kPrivateDacl, wanted.get())) return FailLast();
  return kErrorSuccess;
}

long CreatePrivateFolder(const std::string& path) {
  ProcessSids process;
  if (const long error = ReadProcessSids(process)) return error;
  // The folder's owner will be the one the token gives to what it creates.
  LocalMemory wanted;
  if (const long error = PrivateDescriptor(process.owner.data(), true, wanted)) return error;
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = wanted.get();
  if (!::CreateDirectoryA(path.c_str(), &attributes)) return FailLast();
  return kErrorSuccess;
}

long FolderOwnedByProcessUser(const std::string& path, bool& owned) {
  owned = false;
  ProcessSids process;
  if (const long error = ReadProcessSids(process)) return error;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR current = nullptr;
  if (const DWORD rc =
          ::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                  nullptr, nullptr, nullptr, &current))
    return Fail(static_cast<long>(rc));
  const LocalMemory currentHeld(current);
  owned = owner != nullptr && (SameSid(process.user, owner) || SameSid(process.owner, owner));
  return kErrorSuccess;
}

long QueryHandleAccess(HANDLE handle, FileAccess& out) {
  const HANDLE raw =
      ::ReOpenFile(handle, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  if (raw == INVALID_HANDLE_VALUE) return FailLast();
  const OwnedHandle rules(raw);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (const DWORD rc = ::GetSecurityInfo(raw, SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &descriptor))
    return Fail(static_cast<long>(rc));
  const LocalMemory held(descriptor);
  ProcessSids process;
  if (const long error = ReadProcessSids(process)) return error;
  const SidBytes system = WellKnownSid(WinLocalSystemSid);
  const SidBytes administrators = WellKnownSid(WinBuiltinAdministratorsSid);
  const SidBytes ownerRights = WellKnownSid(WinCreatorOwnerRightsSid);
  out.ownedByAdministrator =
      owner != nullptr && (SameSid(system, owner) || SameSid(administrators, owner));
  out.ownedByProcessUser =
      owner != nullptr && (SameSid(process.user, owner) || SameSid(process.owner, owner));
  if (dacl == nullptr) {
    // No DACL at all: everyone may do everything.
    out.openToOthers = true;
    out.permissions = 0777;
    return kErrorSuccess;
  }
  ACL_SIZE_INFORMATION size{};
  if (!::GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) return FailLast();
  std::uint32_t ownerBits = 0;
  std::uint32_t otherBits = 0;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(dacl, i, &entry)) return FailLast();
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    // Entries that only pass on to a folder's contents do not apply to the object; denials
    // are passed over, so an entry that grants counts even where a denial might shadow it.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
      continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    const PSID trustee = &allowed->SidStart;
    const std::uint32_t bits = ModeBits(allowed->Mask);
    if ((owner != nullptr && ::EqualSid(trustee, owner)) || SameSid(ownerRights, trustee))
      ownerBits |= bits;
    else if (!SameSid(system, trustee) && !SameSid(administrators, trustee))
      otherBits |= bits;
  }
  out.openToOthers = otherBits != 0;
  out.permissions = ownerBits << 6 | otherBits;
  return kErrorSuccess;
}

}  // namespace faxmail::platform::win32
