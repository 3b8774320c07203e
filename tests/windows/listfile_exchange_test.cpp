// List files move between Linux and Windows: the same list gives the same
// bytes on both, and each reads what the other wrote. The fixtures were
// written by write_exchange_list on Linux and, under Wine, on Windows.
#include <gtest/gtest.h>

#include "tests/windows/exchange_list.h"
#include "tests/listfile/listfile_test_util.h"

namespace tandrel {
namespace {

using namespace tandrel::testing;

std::string Fixture(const char* name)
{
    return (std::filesystem::path(TANDREL_FIXTURES) / name).string();
}

const std::string kFromLinux = Fixture("written-on-linux.lst");
const std::string kFromWindows = Fixture("written-on-windows.lst");

TEST(ListFileExchange, BothSystemsWriteTheSameBytes)
{
    const std::string fromLinux = ReadFileBytes(kFromLinux);
    ASSERT_FALSE(fromLinux.empty()) << kFromLinux;
    EXPECT_TRUE(ReadFileBytes(kFromWindows) == fromLinux);
    EXPECT_TRUE(WriteToString(ExchangeList()) == fromLinux);
}

TEST(ListFileExchange, EachSystemReadsWhatTheOtherWrote)
{
    for (const std::string& path : {kFromLinux, kFromWindows}) {
        const BackupList list = Deserialize(path);
        EXPECT_EQ(list.Slots(), ExchangeList()) << path;
        EXPECT_EQ(list.AbsentCount(), 3u) << path;
    }
}

TEST(ListFileExchange, SavingHereGivesTheSameBytes)
{
    TempTree dir;
    Serialize(dir.Path("saved.lst"), ExchangeList());
    EXPECT_TRUE(ReadFileBytes(dir.Path("saved.lst")) == ReadFileBytes(kFromLinux));
}

}  // namespace
}  // namespace tandrel
