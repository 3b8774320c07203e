// Writing lists as the records of a serialized string array.
#include <cstring>
#include <ostream>

#include "listfile/detail/records.h"
#include "listfile/detail/utf8.h"

namespace tandrel {
namespace listfile_detail {
namespace {

constexpr std::size_t kBufferSize = 1 << 20;

[[noreturn]] void Unwritable(const std::string& what)
{
    throw ListFileError(ListFileError::Kind::Format, "cannot write the backup list: " + what);
}

}  // namespace

RecordWriter::RecordWriter(ByteSink& sink) : sink_(sink)
{
    buffer_.reserve(kBufferSize);
}

void RecordWriter::Begin(std::size_t slots)
{
    if (slots > kMaxListSlots) {
        Unwritable("it has " + std::to_string(slots) + " entries, more than a file can hold (2147483647)");
    }
    slots_ = slots;
    PutByte(kHeader);
    PutInt32(1);   // RootId
    PutInt32(-1);  // HeaderId
    PutInt32(1);   // MajorVersion
    PutInt32(0);   // MinorVersion
    PutByte(kArraySingleString);
    PutInt32(1);  // ObjectId of the array
    PutInt32(static_cast<std::int32_t>(slots));
}

void RecordWriter::Path(std::string_view text)
{
    if (filled_ >= slots_) Unwritable("more entries than announced");
    FlushRun();
    if (nextId_ == kMaxInt32) Unwritable("too many entries for the object ids of a file");
    PutByte(kBinaryObjectString);
    PutInt32(nextId_++);
    if (FirstInvalidUtf8(text) == text.size()) {
        PutText(text);
    } else {
        std::string repaired(text);
        RepairUtf8(repaired);
        PutText(repaired);
    }
    ++filled_;
}

void RecordWriter::Absent(std::size_t count)
{
    if (count > slots_ - filled_) Unwritable("more entries than announced");
    pendingAbsent_ += count;
    filled_ += count;
}

void RecordWriter::End()
{
    if (filled_ != slots_) Unwritable("fewer entries than announced");
    FlushRun();
    PutByte(kMessageEnd);
    Flush();
}

void RecordWriter::FlushRun()
{
    const std::size_t run = pendingAbsent_;
    pendingAbsent_ = 0;
    if (run == 0) return;
    if (run == 1) {
        PutByte(kObjectNull);
    } else if (run <= 255) {
        PutByte(kObjectNullMultiple256);
        PutByte(static_cast<unsigned char>(run));
    } else {
        PutByte(kObjectNullMultiple);
        PutInt32(static_cast<std::int32_t>(run));  // run <= slots_ <= INT32 max
    }
}

void RecordWriter::Flush()
{
    if (buffer_.empty()) return;
    sink_.Write(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void RecordWriter::PutInt32(std::int32_t value)
{
    const auto v = static_cast<std::uint32_t>(value);
    const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                           static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
    buffer_.append(bytes, 4);
}

void RecordWriter::PutText(std::string_view text)
{
    if (text.size() > static_cast<std::size_t>(kMaxInt32)) {
        Unwritable("an entry of " + std::to_string(text.size()) + " bytes is longer than a file can hold");
    }
    // Length prefix: 7 bits a byte, lowest first, top bit set when more follow.
    auto n = static_cast<std::uint32_t>(text.size());
    while (n >= 0x80) {
        PutByte(static_cast<unsigned char>(n | 0x80));
        n >>= 7;
    }
    PutByte(static_cast<unsigned char>(n));
    if (buffer_.size() + text.size() > kBufferSize) {
        Flush();
        if (text.size() >= kBufferSize) {
            sink_.Write(text.data(), text.size());
            return;
        }
    }
    buffer_.append(text);
}

void WriteRecords(ByteSink& sink, const BackupList& list)
{
    RecordWriter writer(sink);
    writer.Begin(list.Size());
    std::size_t next = 0;  // first slot not yet written
    for (std::size_t i = 0; i < list.PresentCount(); ++i) {
        writer.Absent(list.SlotOf(i) - next);
        writer.Path(list.PresentAt(i));
        next = list.SlotOf(i) + 1;
    }
    writer.Absent(list.Size() - next);
    writer.End();
}

void WriteRecords(ByteSink& sink, const std::vector<std::string>& data)
{
    RecordWriter writer(sink);
    writer.Begin(data.size());
    for (const std::string& path : data) writer.Path(path);
    writer.End();
}

void WriteRecords(ByteSink& sink, const std::vector<ListEntry>& data)
{
    RecordWriter writer(sink);
    writer.Begin(data.size());
    for (const ListEntry& entry : data) {
        if (entry) {
            writer.Path(*entry);
        } else {
            writer.Absent(1);
        }
    }
    writer.End();
}

}  // namespace listfile_detail

namespace {

// Writes to a caller's stream, failing as soon as the stream does.
class StreamSink : public listfile_detail::ByteSink {
public:
    explicit StreamSink(std::ostream& out) : out_(out) {}
    void Write(const char* data, std::size_t size) override
    {
        std::string reason;
        try {
            if (out_) out_.write(data, static_cast<std::streamsize>(size));
        } catch (const std::exception& e) {  // a stream set to throw
            reason = std::string(": ") + e.what();
        }
        if (!out_ || !reason.empty()) {
            throw ListFileError(ListFileError::Kind::Io, "cannot write the backup list: the stream failed at byte " +
                                                             std::to_string(written_) + reason);
        }
        written_ += size;
    }

private:
    std::ostream& out_;
    std::uint64_t written_ = 0;
};

template <class Data>
void SerializeToStream(std::ostream& out, const Data& data)
{
    StreamSink sink(out);
    listfile_detail::WriteRecords(sink, data);
    out.flush();
    if (!out) {
        throw ListFileError(ListFileError::Kind::Io, "cannot write the backup list: the stream failed at the end");
    }
}

}  // namespace

void Serialize(std::ostream& out, const BackupList& list)
{
    SerializeToStream(out, list);
}
void Serialize(std::ostream& out, const std::vector<std::string>& data)
{
    SerializeToStream(out, data);
}
void Serialize(std::ostream& out, const std::vector<ListEntry>& data)
{
    SerializeToStream(out, data);
}

}  // namespace tandrel
