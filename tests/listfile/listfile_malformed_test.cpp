// Files the reader must refuse, and hostile files it must survive.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "tests/listfile/listfile_test_util.h"

namespace tandrel {
namespace {

using namespace tandrel::testing;

// Expects the bytes to be refused as malformed with a message holding `part`.
void ExpectMalformed(const std::string& bytes, const std::string& part)
{
    try {
        ReadFromString(bytes);
        ADD_FAILURE() << "accepted; expected: " << part;
    } catch (const ListFileError& e) {
        EXPECT_EQ(e.kind(), ListFileError::Kind::Format) << e.what();
        EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what() << "\nexpected: " << part;
        EXPECT_EQ(std::string(e.what()).rfind("not a backup list: ", 0), 0u) << e.what();
    }
}

// A valid file using every element record the reader accepts.
std::string EveryRecordKind()
{
    return ListStart(9) + StringRecord(2, "C:\\a") + Bytes({0x0A}) + Reference(2) + Bytes({0x0D, 0x02}) +
           StringRecord(5, "D:\\\xC3\xA9t\xC3\xA9") + Bytes({0x0E}) + Int32(2) +
           StringRecord(3, std::string(130, 'z')) + kEnd;
}

TEST(ListFileMalformed, TruncationAtEveryOffsetIsRefused)
{
    const std::string whole = EveryRecordKind();
    ASSERT_EQ(ReadFromString(whole).Size(), 9u);
    TempTree dir;
    const std::string path = dir.Path("cut.lst");
    for (std::size_t n = 0; n < whole.size(); ++n) {
        ExpectMalformed(whole.substr(0, n), "the file ends at byte " + std::to_string(n) + " inside");
        WriteFileBytes(path, whole.substr(0, n));
        EXPECT_THROW(Deserialize(path), ListFileError) << n;
    }
}

TEST(ListFileMalformed, HeaderAndArrayRecordAreChecked)
{
    const std::string tail = Bytes({0x11}) + Int32(1) + Int32(0) + kEnd;
    ExpectMalformed(Bytes({0x01}) + Header().substr(1) + tail, "does not begin with a header record");
    ExpectMalformed(Header(1, 2, 0) + tail, "major version 2 at byte 9 is not 1");
    ExpectMalformed(Header(1, 0, 0) + tail, "major version 0 at byte 9");
    ExpectMalformed(Header(1, 1, 1) + tail, "minor version 1 at byte 13 is not 0");
    // A single string as the root, or an array of another kind.
    ExpectMalformed(Header(2) + StringRecord(2, "C:\\a") + kEnd, "record type 6 at byte 17 is not an array of strings");
    ExpectMalformed(Header() + Bytes({0x10}) + Int32(1) + Int32(0) + kEnd, "record type 16 at byte 17");
    ExpectMalformed(Header(1) + Bytes({0x11}) + Int32(2) + Int32(0) + kEnd,
                    "array id 2 at byte 18 is not the root id 1");
    ExpectMalformed(ListStart(-1) + kEnd, "array length -1 at byte 22 is negative");
    // HeaderId is not looked at.
    std::string otherHeaderId = ListStart(0) + kEnd;
    otherHeaderId.replace(5, 4, Int32(12345));
    EXPECT_EQ(ReadFromString(otherHeaderId).Size(), 0u);
}

TEST(ListFileMalformed, ElementRecordsAreChecked)
{
    const std::string a = StringRecord(2, "C:\\a");
    for (int type : {0, 1, 5, 7, 8, 11, 12, 15, 16, 17, 21, 255}) {
        ExpectMalformed(ListStart(2) + a + Bytes({type}) + kEnd,
                        "record type " + std::to_string(type) + " at byte 36 is not allowed here");
    }
    ExpectMalformed(ListStart(1) + a + a + kEnd, "record type 6 at byte 36 follows the last slot");
    ExpectMalformed(ListStart(0) + Bytes({0x0A}) + kEnd, "record type 10 at byte 26 follows the last slot");
    ExpectMalformed(ListStart(2) + a + a + kEnd, "object id 2 at byte 37 occurs twice");
    ExpectMalformed(ListStart(1) + StringRecord(1, "x") + kEnd, "object id 1 at byte 27 occurs twice");
    ExpectMalformed(ListStart(3) + a + StringRecord(3, "b") + StringRecord(2, "c") + kEnd, "object id 2 at byte");
    ExpectMalformed(ListStart(2) + Reference(2) + a + kEnd, "the reference at byte 26 names object id 2");
    ExpectMalformed(ListStart(2) + a + Reference(1) + kEnd, "names object id 1, which is not a string read earlier");
    ExpectMalformed(ListStart(2) + a + Reference(7) + kEnd, "names object id 7");
    ExpectMalformed(ListStart(3) + a + Bytes({0x0D, 0x03}) + kEnd,
                    "the run of 3 absent entries at byte 36 is longer than the 2 slots that remain");
    ExpectMalformed(ListStart(300) + Bytes({0x0E}) + Int32(301) + kEnd, "the run of 301 absent entries at byte 26");
    ExpectMalformed(ListStart(3) + Bytes({0x0E}) + Int32(-1) + kEnd, "has a negative count (-1)");
}

TEST(ListFileMalformed, LengthPrefixIsCheckedAndNeverTrusted)
{
    const std::string start = ListStart(1) + Bytes({0x06}) + Int32(2);
    ExpectMalformed(start + Bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x01}) + kEnd,
                    "the string length at byte 31 has more than 5 bytes");
    // Five bytes whose last one carries more than the three bits left for an INT32.
    ExpectMalformed(start + Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x08}) + kEnd,
                    "the string length at byte 31 is above the largest INT32");
    ExpectMalformed(start + Bytes({0x80, 0x80, 0x80, 0x80, 0x0F}) + kEnd, "above the largest INT32");
    // The largest INT32 itself is a legal length: the file just ends first.
    ExpectMalformed(start + Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x07}) + "short",
                    "the file ends at byte 41 inside a string");
    // A redundant five-byte form of 3 is still the number 3.
    EXPECT_EQ(ReadFromString(start + Bytes({0x83, 0x80, 0x80, 0x80, 0x00}) + "abc" + kEnd).PresentEntries(),
              std::vector<std::string> {"abc"});
}

// AddressSanitizer and ThreadSanitizer reserve a huge address space of their
// own: under them the cap below cannot be set.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerAddressSpace = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitizerAddressSpace = true;
#else
constexpr bool kSanitizerAddressSpace = false;
#endif
#else
constexpr bool kSanitizerAddressSpace = false;
#endif

// Runs `body` in a child process with its address space capped, so that a
// reader that believed a hostile count would die rather than pass.
void LimitMemoryAndRun(void (*body)())
{
#ifndef _WIN32  // Windows has no such cap: there the results alone are checked
    if (!kSanitizerAddressSpace) {
        rlimit limit;
        limit.rlim_cur = limit.rlim_max = 512u << 20;
        setrlimit(RLIMIT_AS, &limit);
    }
#endif
    body();
    std::exit(0);
}

void WithLittleMemory(void (*body)())
{
    EXPECT_EXIT(LimitMemoryAndRun(body), ::testing::ExitedWithCode(0), "");
}

TEST(ListFileHostile, HugeSlotCountFilledByNullRunsStaysCompact)
{
    WithLittleMemory([] {
        // 2^31-1 slots: three runs around one string.
        const std::string bytes = ListStart(0x7FFFFFFF) + Bytes({0x0E}) + Int32(0x40000000) + StringRecord(2, "C:\\x") +
                                  Bytes({0x0E}) + Int32(0x3FFFFFFD) + Bytes({0x0D, 0x01}) + kEnd;
        const BackupList list = ReadFromString(bytes);
        if (list.Size() != 0x7FFFFFFFu || list.PresentEntries() != std::vector<std::string> {"C:\\x"}) std::exit(2);
        if (list.At(0x40000000) != ListEntry("C:\\x") || list.At(0x7FFFFFFE) != std::nullopt) std::exit(3);
    });
}

TEST(ListFileHostile, AnnouncedSizesAreNotAllocatedUpFront)
{
    WithLittleMemory([] {
        // A huge slot count with almost nothing behind it.
        try {
            ReadFromString(ListStart(0x7FFFFFFF) + StringRecord(2, "a"));
            std::exit(2);
        } catch (const ListFileError&) {
        }
        // A string length near INT32 max, from a stream and from a file.
        const std::string bytes =
            ListStart(1) + Bytes({0x06}) + Int32(2) + Bytes({0xFE, 0xFF, 0xFF, 0xFF, 0x07}) + "abc";
        try {
            ReadFromString(bytes);
            std::exit(3);
        } catch (const ListFileError&) {
        }
        TempTree dir;
        WriteFileBytes(dir.Path("long.lst"), bytes);
        try {
            Deserialize(dir.Path("long.lst"));
            std::exit(4);
        } catch (const ListFileError&) {
        }
    });
}

TEST(ListFileHostile, RepeatedReferencesShareOneText)
{
    WithLittleMemory([] {
        // 200,000 references to a 10,000-byte string name 2 GB of text in a 1 MB file.
        const int repeats = 200000;
        std::string bytes = ListStart(repeats + 1) + StringRecord(2, std::string(10000, 'r'));
        for (int i = 0; i < repeats; ++i) bytes += Reference(2);
        bytes += kEnd;
        const BackupList list = ReadFromString(bytes);
        if (list.Size() != repeats + 1u || list.PresentBytes() != 10000ull * (repeats + 1)) std::exit(2);
        if (list.PresentAt(repeats) != std::string(10000, 'r')) std::exit(3);
    });
}

TEST(ListFileHostile, ManyEmptyRunsAreAccepted)
{
    // 500,000 zero-length runs before the only slot.
    std::string bytes = ListStart(1);
    for (int i = 0; i < 500000; ++i) bytes += Bytes({0x0D, 0x00});
    bytes += StringRecord(9, "end") + kEnd;
    EXPECT_EQ(ReadFromString(bytes).PresentEntries(), std::vector<std::string> {"end"});
}

}  // namespace
}  // namespace tandrel
