// Secrets (the relay's password file, the receiver's AUTH users) are trusted only when their
// owner is root or the gateway's own user and nobody else may use them; files and folders the
// gateway makes for itself are closed to others. Both backends answer the same questions: the
// Linux one from modes and owners, the Windows one from security descriptors.
#include <gtest/gtest.h>

#include <string>

#include "platform/file.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#else
#include <sys/stat.h>
#endif

namespace faxmail::platform {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

// Lets everyone read the file, the way an administrator's careless copy would leave it.
void OpenToEveryone(const std::string& path) {
#ifdef _WIN32
  PACL old = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &old, nullptr, &descriptor),
            ERROR_SUCCESS);
  unsigned char world[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof world;
  ASSERT_TRUE(::CreateWellKnownSid(WinWorldSid, nullptr, world, &size));
  EXPLICIT_ACCESS_A entry{};
  entry.grfAccessPermissions = FILE_GENERIC_READ;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entry.Trustee.ptstrName = reinterpret_cast<LPSTR>(world);
  PACL widened = nullptr;
  ASSERT_EQ(::SetEntriesInAclA(1, &entry, old, &widened), ERROR_SUCCESS);
  std::string name = path;
  const DWORD rc = ::SetNamedSecurityInfoA(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, widened, nullptr);
  ::LocalFree(widened);
  ::LocalFree(descriptor);
  ASSERT_EQ(rc, ERROR_SUCCESS);
#else
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
#endif
}

#ifdef _WIN32
// How many entries of the object's DACL grant something to a trustee other than its owner,
// SYSTEM and Administrators (a missing DACL counts as one: everyone).
unsigned OthersNamedIn(const std::string& path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    ADD_FAILURE() << "no security descriptor for " << path;
    return 1;
  }
  unsigned others = dacl == nullptr ? 1 : 0;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(dacl, i, &entry)) continue;
    if (static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    PSID trustee = &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
    if (::EqualSid(trustee, owner) || ::IsWellKnownSid(trustee, WinLocalSystemSid) ||
        ::IsWellKnownSid(trustee, WinBuiltinAdministratorsSid))
      continue;
    ++others;
  }
  ::LocalFree(descriptor);
  return others;
}
#endif

FileAccess AccessOf(const std::string& path) {
  File file;
  FileAccess access;
  EXPECT_EQ(File::Open(path, Access::Read, Share::Read, Disposition::OpenExisting, file),
            kErrorSuccess);
  EXPECT_EQ(file.QueryAccess(access), kErrorSuccess);
  return access;
}

TEST(FileAccessRules, ANewFileIsTheProcessUsersOwnRegularFile) {
  TempDir dir;
  const std::string path = dir / "secret";
  WriteWholeFile(path, "x");
  const FileAccess access = AccessOf(path);
  EXPECT_TRUE(access.regularFile);
  EXPECT_TRUE(access.ownedByProcessUser);
}

TEST(FileAccessRules, RestrictToOwnerClosesAFileThatEveryoneCouldRead) {
  TempDir dir;
  const std::string path = dir / "relay.pw";
  WriteWholeFile(path, "password\n");
  OpenToEveryone(path);
  FileAccess before = AccessOf(path);
  EXPECT_TRUE(before.openToOthers);
  EXPECT_NE(before.permissions & 04, 0u) << "others' read right shows in the other bits";
  {
    // Through a handle held without sharing and opened for writing only, as a tool that
    // rewrites the secret holds it.
    File file;
    ASSERT_EQ(File::Open(path, Access::Write, Share::None, Disposition::OpenExisting, file),
              kErrorSuccess);
    EXPECT_EQ(file.RestrictToOwner(), kErrorSuccess);
    EXPECT_EQ(file.Write("password2\n"), kErrorSuccess) << "the handle keeps its own rights";
  }
  const FileAccess after = AccessOf(path);
  EXPECT_FALSE(after.openToOthers);
  EXPECT_TRUE(after.ownedByProcessUser);
  EXPECT_EQ(after.permissions & 0077, 0u);
  EXPECT_EQ(after.permissions & 0600, 0600u) << "the owner keeps reading and writing";
  EXPECT_EQ(ReadWholeFile(path), "password2\n");
  File again;
  EXPECT_EQ(File::Open(path, Access::ReadWrite, Share::None, Disposition::OpenExisting, again),
            kErrorSuccess);
}

TEST(FileAccessRules, RestrictToOwnerOnAClosedHandleFails) {
  File closed;
  EXPECT_EQ(closed.RestrictToOwner(), kErrorInvalidHandle);
  FileAccess access;
  EXPECT_EQ(closed.QueryAccess(access), kErrorInvalidHandle);
}

TEST(PrivateDirectory, IsClosedToOthersAndSoIsWhatIsMadeInside) {
  TempDir dir;
  const std::string folder = dir / "private";
  ASSERT_EQ(CreatePrivateDirectory(folder), kErrorSuccess);
  ASSERT_TRUE(DirectoryExists(folder));
#ifdef _WIN32
  // No one but the owner, SYSTEM and Administrators is named in the folder's own rules.
  EXPECT_EQ(OthersNamedIn(folder), 0u);
  if (test::UnderWine()) GTEST_SKIP() << "Wine does not pass a folder's rules on to new files";
  // The folder's entries pass on to its files: one made inside without any rule of its own is
  // closed too.
  const std::string inside = folder + "/part";
  WriteWholeFile(inside, "x");
  const FileAccess access = AccessOf(inside);
  EXPECT_FALSE(access.openToOthers);
  EXPECT_TRUE(access.ownedByProcessUser);
#else
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
#endif
}

TEST(PrivateDirectory, TakesItsOwnFolderAgainButNothingElseInTheWay) {
  TempDir dir;
  const std::string folder = dir / "again";
  ASSERT_EQ(CreatePrivateDirectory(folder), kErrorSuccess);
  EXPECT_EQ(CreatePrivateDirectory(folder), kErrorSuccess) << "an existing own folder is taken";
  const std::string file = dir / "file";
  WriteWholeFile(file, "x");
  EXPECT_EQ(CreatePrivateDirectory(file), kErrorAccessDenied);
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_EQ(CreatePrivateDirectory(dir / "missing/below"), kErrorPathNotFound);
}

}  // namespace
}  // namespace faxmail::platform
