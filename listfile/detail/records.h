// Internals shared by the list-file reader and writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "listfile/listfile.h"

namespace tandrel::listfile_detail {

// Record types of the subset of the format that list files use.
enum RecordType : unsigned char {
    kHeader = 0,
    kBinaryObjectString = 6,
    kMemberReference = 9,
    kObjectNull = 10,
    kMessageEnd = 11,
    kObjectNullMultiple256 = 13,
    kObjectNullMultiple = 14,
    kArraySingleString = 17,
};

inline constexpr std::size_t kHeaderSize = 17;
inline constexpr std::int32_t kMaxInt32 = 0x7FFFFFFF;

// Where the writer's bytes go. Write throws ListFileError on failure.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void Write(const char* data, std::size_t size) = 0;
};

// Where the reader's bytes come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to `size` bytes; returns fewer only at the end of the data.
    // Throws ListFileError when reading fails.
    virtual std::size_t Read(char* data, std::size_t size) = 0;
    // The bytes left, when the source knows; only a hint for sizing buffers.
    virtual std::optional<std::uint64_t> Remaining() const { return std::nullopt; }
};

// Writes the records of one list through a large buffer: Begin, then one
// Path or Absent call per slot or run of slots, then End.
class RecordWriter {
public:
    explicit RecordWriter(ByteSink& sink);
    void Begin(std::size_t slots);
    void Path(std::string_view text);
    void Absent(std::size_t count);
    void End();

private:
    void FlushRun();
    void Flush();
    void PutByte(unsigned char b) { buffer_.push_back(static_cast<char>(b)); }
    void PutInt32(std::int32_t value);
    void PutText(std::string_view text);

    ByteSink& sink_;
    std::string buffer_;
    std::size_t slots_ = 0;   // announced in the array record
    std::size_t filled_ = 0;  // written or pending so far
    std::size_t pendingAbsent_ = 0;
    std::int32_t nextId_ = 2;
};

// Drives a RecordWriter over each kind of input.
void WriteRecords(ByteSink& sink, const BackupList& list);
void WriteRecords(ByteSink& sink, const std::vector<std::string>& data);
void WriteRecords(ByteSink& sink, const std::vector<ListEntry>& data);

// Reads one list. `subject` names the file in messages ("" for a stream).
BackupList ReadRecords(ByteSource& source, const std::string& subject);

// "<what>: <platform message for err>" for system-call failures.
std::string SystemMessage(const std::string& what, int err);

}  // namespace tandrel::listfile_detail
