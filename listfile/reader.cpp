// Reading a list from the records of a serialized string array.
#include <algorithm>
#include <istream>
#include <unordered_map>

#include "support/quoted.h"
#include "listfile/detail/records.h"
#include "listfile/detail/utf8.h"

namespace tandrel {
namespace listfile_detail {
namespace {

// The object ids seen in one array: the array's own id and the id of every
// string, with the present entry each string became. Ids written by this
// program (2, 3, 4...) land in a dense table; others in a hash map.
class IdTable {
public:
    explicit IdTable(std::int32_t arrayId) : arrayId_(arrayId) {}

    bool Contains(std::int32_t id) const { return id == arrayId_ || InDense(id) || sparse_.count(id) != 0; }

    void AddString(std::int32_t id, std::size_t entry)
    {
        if (dense_.empty() && sparse_.empty()) denseFirst_ = id;
        if (static_cast<std::int64_t>(id) == denseFirst_ + static_cast<std::int64_t>(dense_.size()) &&
            (sparse_.empty() || sparse_.count(id) == 0)) {
            dense_.push_back(entry);
        } else {
            sparse_.emplace(id, entry);
        }
    }

    std::optional<std::size_t> FindString(std::int32_t id) const
    {
        if (InDense(id)) return dense_[static_cast<std::size_t>(id - denseFirst_)];
        const auto it = sparse_.find(id);
        if (it == sparse_.end()) return std::nullopt;
        return it->second;
    }

private:
    bool InDense(std::int32_t id) const
    {
        return id >= denseFirst_ && id - denseFirst_ < static_cast<std::int64_t>(dense_.size());
    }

    std::int32_t arrayId_;
    std::int64_t denseFirst_ = 0;
    std::vector<std::size_t> dense_;
    std::unordered_map<std::int32_t, std::size_t> sparse_;
};

class Parser {
public:
    Parser(ByteSource& source, const std::string& subject) : source_(source), subject_(subject) {}

    BackupList Run()
    {
        // Header record.
        if (Byte("the header") != kHeader) Fail("it does not begin with a header record (type 0)");
        const std::int32_t rootId = Int32("the header");
        Int32("the header");  // HeaderId: not used
        const std::int32_t major = Int32("the header");
        if (major != 1) Fail("major version " + std::to_string(major) + " at byte 9 is not 1");
        const std::int32_t minor = Int32("the header");
        if (minor != 0) Fail("minor version " + std::to_string(minor) + " at byte 13 is not 0");

        // Array record.
        const unsigned type = Byte("the array record");
        if (type != kArraySingleString) {
            Fail("record type " + std::to_string(type) + " at byte 17 is not an array of strings (type 17)");
        }
        const std::int32_t arrayId = Int32("the array record");
        if (arrayId != rootId) {
            Fail("array id " + std::to_string(arrayId) + " at byte 18 is not the root id " + std::to_string(rootId));
        }
        const std::int32_t length = Int32("the array record");
        if (length < 0) Fail("array length " + std::to_string(length) + " at byte 22 is negative");

        BackupList list;
        IdTable ids(arrayId);
        const auto slots = static_cast<std::size_t>(length);
        // Room for as many strings as both the count and the bytes left allow.
        if (const auto remaining = source_.Remaining()) {
            constexpr std::uint64_t kSmallestString = 6;
            list.Reserve(static_cast<std::size_t>(std::min<std::uint64_t>(slots, *remaining / kSmallestString)));
        }
        while (list.Size() < slots) ReadElement(list, ids, slots - list.Size());

        const std::uint64_t at = offset_;
        const unsigned end = Byte("the end record");
        if (end != kMessageEnd) {
            Fail("record type " + std::to_string(end) + " at byte " + std::to_string(at) +
                 " follows the last slot, where the end record (type 11) belongs");
        }
        return list;
    }

private:
    void ReadElement(BackupList& list, IdTable& ids, std::size_t left)
    {
        const std::uint64_t at = offset_;
        const unsigned type = Byte("an element record");
        switch (type) {
        case kBinaryObjectString: {
            const std::int32_t id = Int32("a string record");
            if (ids.Contains(id)) DuplicateId(id, at + 1);
            list.AddPath(Text());
            ids.AddString(id, list.PresentCount() - 1);
            break;
        }
        case kMemberReference: {
            const std::int32_t ref = Int32("a reference record");
            const std::optional<std::size_t> entry = ids.FindString(ref);
            if (!entry) {
                Fail("the reference at byte " + std::to_string(at) + " names object id " + std::to_string(ref) +
                     ", which is not a string read earlier");
            }
            list.AddRepeat(*entry);
            break;
        }
        case kObjectNull:
            list.AddAbsent(1);
            break;
        case kObjectNullMultiple256:
            AddRun(list, Byte("a run of absent entries"), left, at);
            break;
        case kObjectNullMultiple: {
            const std::int32_t count = Int32("a run of absent entries");
            if (count < 0) {
                Fail("the run of absent entries at byte " + std::to_string(at) + " has a negative count (" +
                     std::to_string(count) + ")");
            }
            AddRun(list, count, left, at);
            break;
        }
        default:
            Fail("record type " + std::to_string(type) + " at byte " + std::to_string(at) + " is not allowed here");
        }
    }

    void AddRun(BackupList& list, std::int64_t count, std::size_t left, std::uint64_t at)
    {
        if (static_cast<std::uint64_t>(count) > left) {
            Fail("the run of " + std::to_string(count) + " absent entries at byte " + std::to_string(at) +
                 " is longer than the " + std::to_string(left) + " slots that remain");
        }
        list.AddAbsent(static_cast<std::size_t>(count));
    }

    [[noreturn]] void DuplicateId(std::int32_t id, std::uint64_t at)
    {
        Fail("object id " + std::to_string(id) + " at byte " + std::to_string(at) + " occurs twice");
    }

    // A length-prefixed UTF-8 text.
    std::string Text()
    {
        const std::uint64_t at = offset_;
        std::uint32_t length = 0;
        for (int i = 0;; ++i) {
            const unsigned b = Byte("a string length");
            if (i == 4) {
                if (b & 0x80) Fail("the string length at byte " + std::to_string(at) + " has more than 5 bytes");
                if (b > 0x07) Fail("the string length at byte " + std::to_string(at) + " is above the largest INT32");
            }
            length |= static_cast<std::uint32_t>(b & 0x7F) << (7 * i);
            if (!(b & 0x80)) break;
        }
        std::string text;
        // Never trust the length for memory: grow with the bytes that arrive.
        constexpr std::size_t kChunk = 1 << 16;
        std::size_t reserve = std::min<std::size_t>(length, kChunk);
        if (const auto remaining = source_.Remaining()) {
            reserve = static_cast<std::size_t>(std::min<std::uint64_t>(length, *remaining));
        }
        text.reserve(reserve);
        std::size_t left = length;
        while (left > 0) {
            const std::size_t piece = std::min(left, kChunk);
            const std::size_t old = text.size();
            text.resize(old + piece);
            Need(text.data() + old, piece, "a string");
            left -= piece;
        }
        RepairUtf8(text);
        return text;
    }

    unsigned Byte(const char* what)
    {
        unsigned char b;
        Need(reinterpret_cast<char*>(&b), 1, what);
        return b;
    }

    std::int32_t Int32(const char* what)
    {
        unsigned char b[4];
        Need(reinterpret_cast<char*>(b), 4, what);
        const std::uint32_t v = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
        return static_cast<std::int32_t>(v);
    }

    void Need(char* data, std::size_t size, const char* what)
    {
        const std::size_t got = source_.Read(data, size);
        offset_ += got;
        if (got < size) {
            Fail(std::string("the file ends at byte ") + std::to_string(offset_) + " inside " + what);
        }
    }

    [[noreturn]] void Fail(const std::string& what) const
    {
        const std::string head =
            subject_.empty() ? "not a backup list: " : support::Quoted(subject_) + " is not a backup list: ";
        throw ListFileError(ListFileError::Kind::Format, head + what);
    }

    ByteSource& source_;
    const std::string& subject_;
    std::uint64_t offset_ = 0;
};

// Reads a caller's stream without reading ahead of what the records need.
class StreamSource : public ByteSource {
public:
    explicit StreamSource(std::istream& in) : in_(in) {}
    std::size_t Read(char* data, std::size_t size) override
    {
        std::string reason;
        std::size_t got = 0;
        try {
            if (in_) {
                in_.read(data, static_cast<std::streamsize>(size));
                got = static_cast<std::size_t>(in_.gcount());
            }
        } catch (const std::exception& e) {  // a stream set to throw
            reason = std::string(": ") + e.what();
        }
        if (in_.bad() || !reason.empty()) {
            throw ListFileError(ListFileError::Kind::Io, "cannot read the backup list: the stream failed at byte " +
                                                             std::to_string(read_ + got) + reason);
        }
        read_ += got;
        return got;
    }

private:
    std::istream& in_;
    std::uint64_t read_ = 0;
};

}  // namespace

BackupList ReadRecords(ByteSource& source, const std::string& subject)
{
    return Parser(source, subject).Run();
}

}  // namespace listfile_detail

BackupList Deserialize(std::istream& in)
{
    listfile_detail::StreamSource source(in);
    return listfile_detail::ReadRecords(source, "");
}

}  // namespace tandrel
