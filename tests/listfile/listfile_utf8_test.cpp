// Repair of ill-formed UTF-8 in the texts of list files.
#include <gtest/gtest.h>

#include "tests/listfile/listfile_test_util.h"
#include "listfile/detail/utf8.h"

namespace tandrel {
namespace {

using namespace tandrel::testing;

const std::string kFFFD = "\xEF\xBF\xBD";

std::string Repaired(std::string text)
{
    RepairUtf8(text);
    return text;
}

TEST(Utf8Repair, WellFormedTextIsKept)
{
    for (const std::string& text :
         {std::string(), std::string("plain ascii path C:\\x"), std::string("\xC2\x80\xDF\xBF"),
          std::string("\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"),
          std::string("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"), std::string("a\0b", 3)}) {
        EXPECT_EQ(FirstInvalidUtf8(text), text.size());
        EXPECT_EQ(Repaired(text), text);
    }
}

TEST(Utf8Repair, EachMaximalInvalidSubpartBecomesOneReplacement)
{
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"\x80", kFFFD},  // lone continuation byte
        {"a\xFF"
         "b",
         "a" + kFFFD + "b"},                                  // never a lead byte
        {"\xC0\xAF", kFFFD + kFFFD},                          // overlong '/'
        {"\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},              // overlong three-byte form
        {"\xF0\x80\x80\xAF", kFFFD + kFFFD + kFFFD + kFFFD},  // overlong four-byte form
        {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},              // surrogate U+D800
        {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
        {"\xE2\x82", kFFFD},                                  // truncated at the end
        {"\xE2\x82x", kFFFD + "x"},                           // truncated before ASCII
        {"\xF0\x9F\x98", kFFFD},                              // truncated four-byte form
        {"\xF0\x9F\x98\xC3\xA9", kFFFD + "\xC3\xA9"},         // truncated, then valid
        {"\xE2\x82\xAC\xE2\x28\xA1", "\xE2\x82\xAC" + kFFFD + "(" + kFFFD},
        {"0123456789\xC3", "0123456789" + kFFFD},  // after the eight-byte skip
    };
    for (const Case& c : cases) {
        EXPECT_LT(FirstInvalidUtf8(c.in), c.in.size());
        EXPECT_EQ(Repaired(c.in), c.out) << ::testing::PrintToString(c.in);
    }
}

TEST(Utf8Repair, ReaderRepairsStringsFromTheFile)
{
    const std::string bytes =
        ListStart(2) + StringRecord(2, "C:\\\xC3\x28\\x") + StringRecord(3, "\xED\xBF\xBF") + kEnd;
    EXPECT_EQ(ReadFromString(bytes).PresentEntries(),
              (std::vector<std::string> {"C:\\" + kFFFD + "(\\x", kFFFD + kFFFD + kFFFD}));
}

}  // namespace
}  // namespace tandrel
