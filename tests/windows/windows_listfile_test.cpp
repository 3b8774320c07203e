// List files on Windows: saved and read through the wide-character calls,
// under names outside ASCII, with the system's texts when that fails.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/listfile/listfile_test_util.h"
#include "tests/windows/windows_test_util.h"

namespace tandrel {
namespace {

using namespace tandrel::testing;

const std::vector<std::string> kOld = {"C:\\old\\one", "C:\\old\\two", "C:\\old\\three"};
const std::vector<std::string> kNew = {"D:\\Fotos \xC3\x84hre \xE5\x86\x99\xE7\x9C\x9F"};

TEST(WindowsListFile, SavesAndReadsUnderANameOutsideAscii)
{
    TempTree dir;
    const std::string path = dir.Path("Liste \xC3\x84hre \xE5\x86\x99\xE7\x9C\x9F.lst");
    Serialize(path, kOld);
    Serialize(path, kNew);  // replaces the longer list whole
    EXPECT_EQ(dir.Names(), std::vector<std::string> {"Liste \xC3\x84hre \xE5\x86\x99\xE7\x9C\x9F.lst"});
    EXPECT_EQ(ReadFileBytes(U8(path)), WriteToString(kNew));
    EXPECT_EQ(Deserialize(path).PresentEntries(), kNew);
}

TEST(WindowsListFile, AReadOnlyListIsNotReplaced)
{
    TempTree dir;
    const std::string path = dir.Path("kept.lst");
    Serialize(path, kOld);
    ASSERT_TRUE(::SetFileAttributesW(U8(path).c_str(), FILE_ATTRIBUTE_READONLY));
    std::string message;
    try {
        Serialize(path, kNew);
    } catch (const ListFileError& e) {
        message = e.what();
    }
    // Windows refuses to replace a read-only file; Wine allows it. Either
    // way the list is whole and no temporary file is left.
    if (!message.empty()) {
        EXPECT_NE(message.find(PlatformText(ERROR_ACCESS_DENIED)), std::string::npos) << message;
        EXPECT_EQ(Deserialize(path).PresentEntries(), kOld);
    } else {
        EXPECT_EQ(Deserialize(path).PresentEntries(), kNew);
    }
    EXPECT_EQ(dir.Names(), std::vector<std::string> {"kept.lst"});
}

TEST(WindowsListFile, FolderProblemsNameThePathAndTheReason)
{
    TempTree dir;
    const std::string missing = dir.Path("no such folder\\list.lst");
    std::string message = MessageOf([&] { Serialize(missing, kNew); });
    EXPECT_NE(message.find("cannot save the backup list '" + missing + "': " + PlatformText(ERROR_PATH_NOT_FOUND)),
              std::string::npos)
        << message;

    dir.Folder("folder.lst");
    message = MessageOf([&] { Serialize(dir.Path("folder.lst"), kNew); });
    EXPECT_NE(message.find(PlatformText(ERROR_ACCESS_DENIED)), std::string::npos) << message;
    message = MessageOf([&] { Serialize(dir.Path() + "\\", kNew); });
    EXPECT_NE(message.find(PlatformText(ERROR_ACCESS_DENIED)), std::string::npos) << message;
    EXPECT_EQ(dir.Names(), std::vector<std::string> {"folder.lst"});
}

TEST(WindowsListFile, ReadingProblemsNameThePathAndTheReason)
{
    TempTree dir;
    const std::string missing = dir.Path("absent.lst");
    std::string message = MessageOf([&] { Deserialize(missing); });
    EXPECT_NE(message.find("cannot open the backup list '" + missing + "': " + PlatformText(ERROR_FILE_NOT_FOUND)),
              std::string::npos)
        << message;
    message = MessageOf([&] { Deserialize(dir.Path()); });
    EXPECT_NE(message.find(dir.Path()), std::string::npos) << message;
    EXPECT_NE(message.find(PlatformText(ERROR_ACCESS_DENIED)), std::string::npos) << message;
}

}  // namespace
}  // namespace tandrel
