// Names on destinations that do not tell upper from lower case: the key that
// tells two names for one entry, where inode numbers can't.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/linux/caps.h"
#include "engine/filesystem.h"
#include "engine/linux/destinationtree.h"

namespace tandrel {
namespace {

using Strings = std::vector<std::string>;

// Whether every name of `names` keys alike on `caps`.
bool OneName(const DestinationCaps& caps, const Strings& names)
{
    for (const std::string& name : names)
        if (NameKey(caps, name, 1) != NameKey(caps, names.front(), 2)) return false;
    return true;
}

TEST(NameKey, FoldsEveryCaseOfUnicodeLetterByLetter)
{
    const DestinationCaps exfat = DestinationCaps::Of(FsKind::ExFat, "fuse.exfat");
    ASSERT_FALSE(exfat.stableInodes);
    EXPECT_TRUE(OneName(exfat, {"\xC3\x89.txt", "\xC3\xA9.txt"}));                              // É é
    EXPECT_TRUE(OneName(exfat, {"\xC3\x84rger.txt", "\xC3\xA4rger.txt", "\xC3\x84RGER.TXT"}));  // Ä ä
    EXPECT_TRUE(OneName(exfat, {"\xCE\xA3.txt", "\xCF\x83.txt", "\xCF\x82.txt"}));              // Σ σ ς
    EXPECT_TRUE(OneName(exfat, {"Stra\xC3\x9F"
                                "e",
                                "STRA\xE1\xBA\x9E"
                                "E"}));  // ß ẞ
    // Simple folding: ß is one letter, not "ss"; other letters stay apart.
    EXPECT_FALSE(OneName(exfat, {"Stra\xC3\x9F"
                                 "e",
                                 "Strasse"}));
    EXPECT_FALSE(OneName(exfat, {"\xC3\xA9.txt", "e.txt"}));
    EXPECT_FALSE(OneName(exfat, {"\xC3\xA4rger.txt", "\xC3\xB6rger.txt"}));  // ä ö
}

TEST(NameKey, JoinsTheTwoFormsOfALetterOnlyWhereTheFileSystemDoes)
{
    // é as one letter, as e and an accent; É as E and an accent.
    const Strings forms = {"caf\xC3\xA9.txt", "cafe\xCC\x81.txt", "CAFE\xCC\x81.TXT"};
    DestinationCaps exfat = DestinationCaps::Of(FsKind::ExFat, "fuse.exfat");
    EXPECT_TRUE(OneName(exfat, forms));  // not asked yet: taken for one
    exfat.oneForm.Set(false);
    EXPECT_FALSE(OneName(exfat, {forms[0], forms[1]}));
    EXPECT_TRUE(OneName(exfat, {forms[1], forms[2]}));
    exfat.oneForm.Set(true);
    EXPECT_TRUE(OneName(exfat, forms));
    // What the probe leaves where a killed backup cut it short, in either form.
    EXPECT_TRUE(IsCopyTemporaryName(".~tandrel-0123456789abe\xCC\x81.tmp"));
}

TEST(NameKey, ANameThatIsNotUtf8IsFoldedByteByByte)
{
    const DestinationCaps exfat = DestinationCaps::Of(FsKind::ExFat, "fuse.exfat");
    EXPECT_TRUE(OneName(exfat, {"Caf\xC9.TXT", "caf\xC9.txt"}));   // Latin-1 É, its ASCII folded
    EXPECT_FALSE(OneName(exfat, {"Caf\xC9.txt", "Caf\xE9.txt"}));  // Latin-1 É and é
    EXPECT_FALSE(OneName(exfat, {"\xC0\x81", "\x01"}));            // an overlong form
}

}  // namespace
}  // namespace tandrel
