// Every file of the fuzzing seed corpus, checked for what it is meant to be.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/listfile/listfile_test_util.h"

namespace tandrel {
namespace {

using namespace tandrel::testing;

bool StartsWith(const std::string& text, const std::string& head)
{
    return text.rfind(head, 0) == 0;
}

TEST(ListFileCorpus, EachFileReadsAsItsNameSays)
{
    int ok = 0, bad = 0;
    for (const auto& item : std::filesystem::directory_iterator(TANDREL_LISTFILE_CORPUS)) {
        const std::string name = item.path().filename().string();
        const std::string bytes = ReadFileBytes(item.path());
        SCOPED_TRACE(name);
        if (StartsWith(name, "ok-")) {
            ++ok;
            const BackupList fromFile = Deserialize(item.path().string());
            EXPECT_EQ(fromFile, ReadFromString(bytes));
            // Files laid out as the writer does must come out of it again.
            if (StartsWith(name, "ok-canonical-")) {
                EXPECT_EQ(WriteToString(fromFile), bytes);
            }
        } else if (StartsWith(name, "bad-")) {
            ++bad;
            EXPECT_THROW(Deserialize(item.path().string()), ListFileError);
            EXPECT_THROW(ReadFromString(bytes), ListFileError);
        } else {
            // Inputs that once crashed the reader: any verdict will do, as
            // long as it comes as a list or a ListFileError.
            try {
                ReadFromString(bytes);
            } catch (const ListFileError&) {
            }
        }
    }
    EXPECT_GE(ok, 10);
    EXPECT_GE(bad, 15);
}

}  // namespace
}  // namespace tandrel
