// The bytes the writer produces and what the reader makes of well-formed files.
#include <gtest/gtest.h>

#include "tests/listfile/listfile_test_util.h"

namespace tandrel {
namespace {

using namespace tandrel::testing;

TEST(ListFileWrite, EmptyListIsTheTwentySevenByteFile)
{
    const std::string expected =
        Bytes({0x00, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x11, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B});
    EXPECT_EQ(WriteToString(std::vector<std::string> {}), expected);
    EXPECT_EQ(WriteToString(std::vector<ListEntry> {}), expected);
    EXPECT_EQ(WriteToString(BackupList()), expected);
    const BackupList read = ReadFromString(expected);
    EXPECT_EQ(read.Size(), 0u);
    EXPECT_TRUE(read.PresentEntries().empty());
}

TEST(ListFileWrite, TwoEntriesAreTheFortySevenByteFile)
{
    const std::string expected =
        Bytes({0x00, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x11, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x06, 0x02, 0x00, 0x00, 0x00, 0x04,
               0x43, 0x3A, 0x5C, 0x61, 0x06, 0x03, 0x00, 0x00, 0x00, 0x04, 0x44, 0x3A, 0x5C, 0x62, 0x0B});
    const std::vector<std::string> entries = {"C:\\a", "D:\\b"};
    EXPECT_EQ(WriteToString(entries), expected);
    EXPECT_EQ(ReadFromString(expected).PresentEntries(), entries);
}

TEST(ListFileWrite, LengthPrefixCountsUtf8Bytes)
{
    const std::string entry200(200, 'x');
    const std::string bytes = WriteToString(std::vector<std::string> {entry200});
    EXPECT_EQ(bytes.substr(31, 2), Bytes({0xC8, 0x01}));
    EXPECT_EQ(bytes.substr(33, 200), entry200);

    // "C:\Bücher\Œuvre" has 15 letters and 17 UTF-8 bytes.
    const std::string accented =
        "C:\\B\xC3\xBC"
        "cher\\\xC5\x92uvre";
    const std::string accentedBytes = WriteToString(std::vector<std::string> {accented});
    EXPECT_EQ(static_cast<unsigned char>(accentedBytes[31]), 17);
    EXPECT_EQ(ReadFromString(accentedBytes).PresentEntries(), std::vector<std::string> {accented});

    // Prefixes at the 7-bit boundaries.
    for (std::size_t n : {127u, 128u, 16383u, 16384u}) {
        const std::string text(n, 'a');
        const std::string written = WriteToString(std::vector<std::string> {text});
        EXPECT_EQ(written.substr(31, Prefix(n).size()), Prefix(n)) << n;
        EXPECT_EQ(written.size(), 26 + 5 + Prefix(n).size() + n + 1) << n;
    }
}

TEST(ListFileWrite, EqualTextsAreWrittenAsSeparateStringsWithRisingIds)
{
    const std::vector<std::string> entries = {"C:\\x", "C:\\x", "C:\\y"};
    const std::string expected =
        ListStart(3) + StringRecord(2, "C:\\x") + StringRecord(3, "C:\\x") + StringRecord(4, "C:\\y") + kEnd;
    EXPECT_EQ(WriteToString(entries), expected);
}

TEST(ListFileWrite, AbsentRunsUseTheShortestRecord)
{
    auto withRun = [](std::size_t run) {
        std::vector<ListEntry> slots {std::string("A")};
        slots.resize(1 + run);
        slots.push_back(std::string("B"));
        return slots;
    };
    const std::string a = StringRecord(2, "A");
    const std::string b = StringRecord(3, "B");
    EXPECT_EQ(WriteToString(withRun(1)), ListStart(3) + a + Bytes({0x0A}) + b + kEnd);
    EXPECT_EQ(WriteToString(withRun(2)), ListStart(4) + a + Bytes({0x0D, 0x02}) + b + kEnd);
    EXPECT_EQ(WriteToString(withRun(255)), ListStart(257) + a + Bytes({0x0D, 0xFF}) + b + kEnd);
    EXPECT_EQ(WriteToString(withRun(256)), ListStart(258) + a + Bytes({0x0E}) + Int32(256) + b + kEnd);

    // Runs at the very start and end, and a list of absent slots only.
    std::vector<ListEntry> edges(300);
    edges.push_back(std::string("M"));
    edges.push_back(std::nullopt);
    EXPECT_EQ(WriteToString(edges),
              ListStart(302) + Bytes({0x0E}) + Int32(300) + StringRecord(2, "M") + Bytes({0x0A}) + kEnd);
    EXPECT_EQ(WriteToString(std::vector<ListEntry>(3)), ListStart(3) + Bytes({0x0D, 0x03}) + kEnd);
}

TEST(ListFileWrite, CompactListWritesTheSameBytesAsTheSlots)
{
    std::vector<ListEntry> slots(300);
    slots.insert(slots.begin() + 7, std::string("C:\\seven"));
    slots.push_back(std::string("D:\\last"));
    EXPECT_EQ(WriteToString(BackupList(slots)), WriteToString(slots));
}

TEST(ListFileWrite, InvalidUtf8IsRepairedBeforeWriting)
{
    const std::string written = WriteToString(std::vector<std::string> {"C:\\\xFFx"});
    EXPECT_EQ(written, ListStart(1) + StringRecord(2, "C:\\\xEF\xBF\xBDx") + kEnd);
}

TEST(ListFileRead, RunOfTwoAbsentEntriesBetweenStrings)
{
    const std::string bytes =
        ListStart(4) + StringRecord(2, "C:\\a") + Bytes({0x0D, 0x02}) + StringRecord(3, "C:\\b") + kEnd;
    const BackupList list = ReadFromString(bytes);
    ASSERT_EQ(list.Size(), 4u);
    EXPECT_EQ(list.Slots(), (std::vector<ListEntry> {"C:\\a", std::nullopt, std::nullopt, "C:\\b"}));
    EXPECT_EQ(list.PresentEntries(), (std::vector<std::string> {"C:\\a", "C:\\b"}));
    EXPECT_EQ(list.AbsentCount(), 2u);
}

TEST(ListFileRead, AbsentSlotsAreNotEmptyTexts)
{
    const std::string bytes =
        ListStart(3) + StringRecord(2, "") + Bytes({0x0A}) + Bytes({0x0D, 0x00}) + StringRecord(3, "x") + kEnd;
    const BackupList list = ReadFromString(bytes);
    EXPECT_EQ(list.Slots(), (std::vector<ListEntry> {std::string(), std::nullopt, "x"}));
}

TEST(ListFileRead, ThreeHundredAbsentSlotsRoundTrip)
{
    std::vector<ListEntry> slots(300);
    slots[150] = "C:\\middle";
    const BackupList list = ReadFromString(WriteToString(slots));
    EXPECT_EQ(list.Slots(), slots);
    EXPECT_EQ(list.At(150), ListEntry("C:\\middle"));
    EXPECT_EQ(list.At(149), std::nullopt);
    EXPECT_EQ(list.SlotOf(0), 150u);
}

TEST(ListFileRead, MemberReferenceRepeatsAnEarlierString)
{
    const std::string bytes = ListStart(2) + StringRecord(2, "C:\\same") + Reference(2) + kEnd;
    EXPECT_EQ(ReadFromString(bytes).PresentEntries(), (std::vector<std::string> {"C:\\same", "C:\\same"}));

    // Ids are taken as found, gaps and all; a reference may reach back past other records.
    const std::string gaps = ListStart(5, 7) + StringRecord(100, "p") + StringRecord(-3, "q") + Bytes({0x0A}) +
                             Reference(100) + Reference(-3) + kEnd;
    EXPECT_EQ(ReadFromString(gaps).Slots(), (std::vector<ListEntry> {"p", "q", std::nullopt, "p", "q"}));
}

TEST(ListFileRead, BytesAfterTheEndRecordAreNotRead)
{
    const std::string list = WriteToString(std::vector<std::string> {"C:\\a"});
    std::istringstream in(list + "trailing garbage \x07\x11");
    EXPECT_EQ(Deserialize(in).PresentEntries(), std::vector<std::string> {"C:\\a"});
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(rest, "trailing garbage \x07\x11");
}

TEST(ListFileRead, RoundTripsKeepEveryEntry)
{
    std::vector<std::string> entries;
    for (int i = 0; i < 2000; ++i) entries.push_back("C:\\folder " + std::to_string(i) + "\\\xE6\x96\x87\xE4\xBB\xB6");
    entries.push_back("");
    entries.push_back(std::string(3 << 20, 'L'));  // larger than the writer's buffer
    entries.push_back("after the large one");
    const BackupList list = ReadFromString(WriteToString(entries));
    EXPECT_EQ(list.PresentEntries(), entries);
    TempTree dir;
    Serialize(dir.Path("round.lst"), entries);
    EXPECT_EQ(Deserialize(dir.Path("round.lst")).PresentEntries(), entries);
    EXPECT_EQ(BackupList(list).PresentEntries(), entries);
    EXPECT_EQ(list, BackupList(entries));
}

TEST(BackupListTest, RepeatsShareTheirTextAndCountItsBytes)
{
    BackupList list;
    list.AddPath("abc");
    list.AddAbsent(2);
    list.AddRepeat(0);
    EXPECT_EQ(list.Size(), 4u);
    EXPECT_EQ(list.PresentCount(), 2u);
    EXPECT_EQ(list.PresentBytes(), 6u);
    EXPECT_EQ(list.At(3), ListEntry("abc"));
    EXPECT_EQ(std::move(list).PresentEntries(), (std::vector<std::string> {"abc", "abc"}));
    EXPECT_THROW(BackupList().AddRepeat(0), std::out_of_range);
    EXPECT_THROW(BackupList().At(0), std::out_of_range);
}

TEST(BackupListTest, SlotCountIsCappedAtWhatAFileHolds)
{
    BackupList list;
    list.AddAbsent(kMaxListSlots);
    EXPECT_EQ(list.Size(), kMaxListSlots);
    EXPECT_THROW(list.AddAbsent(1), std::length_error);
    EXPECT_THROW(list.AddPath("x"), std::length_error);
}

}  // namespace
}  // namespace tandrel
