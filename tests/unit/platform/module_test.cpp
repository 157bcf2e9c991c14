// Run-time libraries: loading a library the build makes, its symbols, unloading, the file a
// function lives in, and the failures of a missing file, a file that is not a library and a
// library whose symbols do not resolve.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "platform/module.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

using AnswerFunction = int (*)();

const std::string kLibrary = FAXMAIL_TEST_MODULE;
const std::string kUnresolved = FAXMAIL_TEST_MODULE_UNRESOLVED;

AnswerFunction Answer(const Module& module) {
  return reinterpret_cast<AnswerFunction>(module.Symbol("faxmail_test_module_answer"));
}

TEST(Module, LoadFindCallUnload) {
  ASSERT_FALSE(Module::IsLoadedInProcess(kLibrary));
  Module module;
  std::string detail = "stale";
  ASSERT_EQ(Module::Load(kLibrary, module, &detail), kErrorSuccess);
  EXPECT_TRUE(detail.empty());
  EXPECT_TRUE(module.IsLoaded());
  EXPECT_TRUE(Module::IsLoadedInProcess(kLibrary));
  const AnswerFunction answer = Answer(module);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(module.Symbol("faxmail_no_such_symbol"), nullptr);
  const std::string file = ModuleFileOf(reinterpret_cast<const void*>(answer));
  ASSERT_FALSE(file.empty());
  EXPECT_TRUE(std::filesystem::equivalent(file, kLibrary)) << file;

  EXPECT_EQ(module.Unload(), kErrorSuccess);
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_FALSE(Module::IsLoadedInProcess(kLibrary));
  EXPECT_EQ(module.Symbol("faxmail_test_module_answer"), nullptr);
  EXPECT_EQ(module.Unload(), kErrorInvalidHandle);
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
}

TEST(Module, ReferencesAreCountedAndMoved) {
  Module first;
  Module second;
  ASSERT_EQ(Module::Load(kLibrary, first), kErrorSuccess);
  ASSERT_EQ(Module::Load(kLibrary, second), kErrorSuccess);
  EXPECT_EQ(first.Unload(), kErrorSuccess);
  EXPECT_TRUE(Module::IsLoadedInProcess(kLibrary)) << "the second reference keeps it";
  Module moved(std::move(second));
  EXPECT_FALSE(second.IsLoaded());
  ASSERT_TRUE(moved.IsLoaded());
  EXPECT_EQ(Answer(moved)(), 42);
  Module assigned;
  assigned = std::move(moved);
  EXPECT_FALSE(moved.IsLoaded());
  {
    const Module gone(std::move(assigned));
    EXPECT_TRUE(Module::IsLoadedInProcess(kLibrary));
  }
  EXPECT_FALSE(Module::IsLoadedInProcess(kLibrary)) << "the destructor gave it back";
}

TEST(Module, LoadFailures) {
  const test::TempDir folder;
  test::WriteWholeFile(folder / "notes.so", "these are not machine instructions\n");
  struct Case {
    std::string path;
    long error;
  };
  const Case cases[] = {
      {folder / "missing.so", kErrorFileNotFound},
      {folder / "notes.so", kErrorBadExeFormat},
      {folder.Path(), kErrorBadExeFormat},
      {kUnresolved, kErrorBadExeFormat},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Module module;
    std::string detail;
    EXPECT_EQ(Module::Load(c.path, module, &detail), c.error);
    EXPECT_EQ(LastError(), c.error);
    EXPECT_FALSE(module.IsLoaded());
    EXPECT_FALSE(detail.empty()) << "the loader's own words are passed on";
    EXPECT_FALSE(Module::IsLoadedInProcess(c.path));
  }
  // A failed load leaves the target empty even when it held a library before.
  Module held;
  ASSERT_EQ(Module::Load(kLibrary, held), kErrorSuccess);
  EXPECT_EQ(Module::Load(folder / "missing.so", held), kErrorFileNotFound);
  EXPECT_FALSE(held.IsLoaded());
  EXPECT_FALSE(Module::IsLoadedInProcess(kLibrary));
}

TEST(Module, FileOfAnAddress) {
  static int inTheProgram = 0;
  const std::string program = ModuleFileOf(&inTheProgram);
  EXPECT_FALSE(program.empty());
  EXPECT_EQ(ModuleFileOf(nullptr), "");
}

TEST(SystemMessageText, TheSystemsSentences) {
  struct Case {
    long error;
    const char* text;
  };
  const Case cases[] = {
      {kErrorFileNotFound, "The system cannot find the file specified."},
      {kErrorPathNotFound, "The system cannot find the path specified."},
      {kErrorAccessDenied, "Access is denied."},
      {kErrorSharingViolation,
       "The process cannot access the file because it is being used by another process."},
      {kErrorInvalidParameter, "The parameter is incorrect."},
      {1058,
       "The service cannot be started, either because it is disabled or because it has no "
       "enabled devices associated with it."},
      {1062, "The service has not been started."},
      {1069, "The service did not start due to a logon failure."},
  };
  for (const Case& c : cases) EXPECT_EQ(SystemMessageText(c.error), c.text) << c.error;
  // Service errors are worded once, for the logs and the boxes alike.
  for (long error = 1051; error <= 1075; ++error)
    EXPECT_EQ(SystemMessageText(error), ErrorText(error)) << error;
  // A number without a sentence falls back to the short text, never to nothing.
  EXPECT_EQ(SystemMessageText(kErrorApplicationBit | 71), ErrorText(kErrorApplicationBit | 71));
  EXPECT_FALSE(SystemMessageText(kErrorApplicationBit | 71).empty());
}

}  // namespace
}  // namespace faxmail::platform
