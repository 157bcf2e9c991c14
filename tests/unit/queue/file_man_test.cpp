// The queue between the gateway and the fax server: which ready files are taken, and that a
// file the other side still holds is never opened.
#include <gtest/gtest.h>

#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"
#include "tests/unit/queue/file_man_test_fixture.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

using test::FileManTest;

TEST_F(FileManTest, RawMessageFilesAreNumberedAndEmptiedWhenReused) {
  CFileMan man;
  platform::File file;
  std::string path;
  ASSERT_EQ(man.Que_AddMsg(file, path), 0);
  EXPECT_EQ(path, m_data + test::NativePath("OUT/0.cqx"));
  ASSERT_TRUE(CFileMan::WriteText(file, "data"));
  file.Close();
  platform::RegKey key;
  ASSERT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
  ASSERT_EQ(platform::RegSetDword(key, "TmpIndex", 0), 0);  // the counter wrapped
  ASSERT_EQ(man.Que_AddMsg(file, path), 0);
  EXPECT_EQ(path, m_data + test::NativePath("OUT/0.cqx"));
  file.Close();
  EXPECT_EQ(ReadWholeFile(path), "");
}

TEST_F(FileManTest, RawMessageFileThatCannotBeCreatedIsLogged) {
  ASSERT_EQ(platform::RemoveDirectory(m_data + "OUT"), 0);
  CFileMan man;
  platform::File file;
  std::string path;
  EXPECT_EQ(man.Que_AddMsg(file, path), 2);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(path, m_data + test::NativePath("OUT/0.cqx"));
  EXPECT_NE(Log().find("QUE_AddMsg Error: File open: " + path), std::string::npos);
  EXPECT_NE(Log().find("WSA Socket Error: (3)"), std::string::npos);
}

TEST_F(FileManTest, TmpFilenameNeedsRoom) {
  CFileMan man;
  std::string out = "unchanged";
  EXPECT_EQ(man.GetNewTmpFilename(out, m_data.size() + 7), 1);
  EXPECT_EQ(out, "unchanged");
  EXPECT_EQ(man.GetNewTmpFilename(out, m_data.size() + 8), 0);
  EXPECT_EQ(out, m_data + test::NativePath("OUT/0.cqx"));
}

TEST_F(FileManTest, ReadyNamesIgnoreCaseButNeverStartWithADot) {
  WriteWholeFile(In(".tmp"), "x");
  WriteWholeFile(In(".hidden.tmp"), "x");
  WriteWholeFile(In("note.txt"), "x");
  CFileMan man;
  EXPECT_EQ(man.Que_CountMsgs("IN"), 0);
  platform::File file;
  std::string path;
  EXPECT_EQ(man.Que_OpenMsg(file, path), 1);
  WriteWholeFile(In("FAX1.TMP"), "x");
  EXPECT_EQ(man.Que_CountMsgs("IN"), 1);
  ASSERT_EQ(man.Que_OpenMsg(file, path), 0);
  EXPECT_EQ(path, In("FAX1.TMP"));
  EXPECT_EQ(man.LinkCount(), 1u);
}

TEST_F(FileManTest, OpenedFileIsLinkedAndLogged) {
  WriteWholeFile(In("n.tmp"), "FROM: a\r\nTO: b\r\nlast");
  CFileMan man;
  platform::File file;
  std::string path;
  ASSERT_EQ(man.Que_OpenMsg(file, path), 0);
  std::string name;
  EXPECT_EQ(man.GetNameForHandle(file.Id(), name), 0);
  EXPECT_EQ(name, In("n.tmp"));
  std::string line;
  EXPECT_EQ(CFileMan::ReadLine(file, line, 100), 9u);
  EXPECT_EQ(line, "FROM: a\r\n");
  EXPECT_EQ(CFileMan::ReadLine(file, line, 3), 3u);
  EXPECT_EQ(line, "TO:");
  EXPECT_EQ(CFileMan::ReadLine(file, line, 100), 4u);
  EXPECT_EQ(line, " b\r\n");
  EXPECT_EQ(CFileMan::ReadLine(file, line, 100), 0u);
  man.Que_CloseMsg(file);
  EXPECT_EQ(man.LinkCount(), 0u);
  EXPECT_TRUE(platform::FileExists(In("n.tmp")));
  const std::string log = Log();
  EXPECT_NE(log.find("Que_OpenMsg - filename to check for: " + test::NativePath("IN/n.tmp")),
            std::string::npos);
  EXPECT_NE(log.find("AddIDNameLink Name: " + In("n.tmp")), std::string::npos);
  EXPECT_NE(log.find("DelIDNameLink Name: " + In("n.tmp")), std::string::npos);
}

TEST_F(FileManTest, LinksAreKeptPerHandle) {
  CFileMan man;
  man.AddIDNameLink(5, "/first");
  man.AddIDNameLink(6, "/second");
  EXPECT_EQ(man.DelIDNameLink(5), 0);
  std::string out;
  EXPECT_EQ(man.GetNameForHandle(6, out), 0);
  EXPECT_EQ(out, "/second");
  EXPECT_EQ(man.GetNameForHandle(5, out), 1);
  EXPECT_EQ(man.DelIDNameLink(5), 1);
  EXPECT_EQ(man.GetNameForHandle(6, out, 7), 2);
  EXPECT_EQ(man.GetNameForHandle(6, out, 8), 0);
}

TEST_F(FileManTest, DeleteWithoutALinkIsLogged) {
  WriteWholeFile(Root() + "/other", "x");
  platform::File file;
  ASSERT_EQ(platform::File::Open(Root() + "/other", platform::Access::Read, platform::Share::Read,
                                 platform::Disposition::OpenExisting, file),
            0);
  CFileMan man;
  EXPECT_EQ(man.Que_CloseAndDeleteMsg(file), 0);
  EXPECT_NE(Log().find("Que_CloseAndDeleteMsg- Error deleting file ("), std::string::npos);
  EXPECT_TRUE(platform::FileExists(Root() + "/other"));
}

TEST_F(FileManTest, SettingsCopiesNeedRoomForTheZero) {
  platform::RegKey key;
  ASSERT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
  const std::string domain(40, 'd');
  ASSERT_EQ(platform::RegSetString(key, "DomainName", domain), 0);
  CFileMan man;
  std::string out = "unchanged";
  EXPECT_EQ(man.GetDomainName(out, 40), 1);
  EXPECT_EQ(out, "unchanged");
  EXPECT_EQ(man.GetDomainName(out, 41), 0);
  EXPECT_EQ(out, domain);
  EXPECT_EQ(man.GetMailFrom(out, 1), 0);
  EXPECT_EQ(out, "");
}

TEST_F(FileManTest, TooLongProgramPathIsRefusedWithALogEntry) {
  platform::RegKey key;
  ASSERT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
  ASSERT_EQ(platform::RegSetString(key, "ProgramPath", "/" + std::string(80, 'p') + "/"), 0);
  CFileMan man;
  EXPECT_EQ(man.ProgramPath(), "");
  EXPECT_NE(Log().find("ProgramPath is longer than 79 characters"), std::string::npos);
}

}  // namespace
}  // namespace faxmail
