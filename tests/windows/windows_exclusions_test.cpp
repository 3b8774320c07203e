// Leaving things out on the Windows file system: the rules compare names
// without case, and .tandrelignore and CACHEDIR.TAG are read through the
// wide-character calls, in folders of any name.
#include <gtest/gtest.h>

#include "engine/nativefs.h"
#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"
#include "tests/windows/windows_test_util.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

TEST(WindowsExclusions, RulesHoldWithoutCaseInFoldersOfAnyName)
{
    TempTree tree;
    tree.File(kNonAscii + "\\a.txt", "a");
    tree.File(kNonAscii + "\\b.TMP", "b");
    tree.File(kNonAscii + "\\.tandrelignore", "*.tmp\r\nBUILD/\r\n");
    tree.File(kNonAscii + "\\build\\o.obj", "o");
    tree.File(kNonAscii + "\\Cache\\CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55");
    tree.File(kNonAscii + "\\Cache\\c.bin", "c");
    tree.File("Thumbs.db", "t");

    JobState state;
    RecordingHost host {&state};
    NativeFileSystem fs;
    BackupEngine engine {state, host, fs};
    auto exclusions = std::make_shared<Exclusions>();
    exclusions->AddUserRules("thumbs.DB\n");
    engine.SetExclusions(exclusions);
    engine.GetFiles({tree.Path()}, true);

    EXPECT_EQ(Sorted(state.syncfileList.ToArray()),
              Sorted({tree.Path(kNonAscii + "\\.tandrelignore"), tree.Path(kNonAscii + "\\a.txt")}));
    const LeftOutTotals totals = TallyLeftOut(fs, engine.LeftOut(), PathStyle::Windows());
    EXPECT_EQ(LeftOutLine(totals),
              "Left out: 5 files (47 bytes): CACHEDIR.TAG (2), *.tmp (1), BUILD/ (1), "
              "thumbs.DB (1)");
}

}  // namespace
}  // namespace tandrel
