// Backup list files (.lst): the reader and the writer.
//
// A list file is one serialized array of strings in the .NET binary
// serialization format: a 17-byte header, an ArraySingleString record, one
// element record per slot (or per run of absent slots) and the end record.
// The writer emits exactly the bytes the platform's BinaryFormatter writes for
// such an array; the reader accepts that subset of the format and refuses
// everything else with a ListFileError.
//
// Texts are held as UTF-8 in std::string. A string in a file that is not valid
// UTF-8 is read with every maximal invalid subpart replaced by U+FFFD; the
// writer repairs its input the same way, so it never writes invalid UTF-8.
//
// Absent slots. Files written by other programs may hold null slots, in runs
// of up to 2^31-1 slots in a 6-byte record. A BackupList therefore keeps only
// its present entries, each with its slot number, and never spends memory on
// absent slots: reading costs memory and time in proportion to the file's
// size, whatever counts the file announces. A MemberReference (a slot that
// repeats an earlier string) shares that string instead of copying it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tandrel {

// Every failure of reading or writing a list file. The message says what is
// wrong: for a malformed file, what and at which byte offset; for a failure of
// the file system, the path and the platform's message.
class ListFileError : public std::runtime_error {
public:
    enum class Kind { Format, Io };  // a file or list of the wrong shape; a failed system call
    ListFileError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// One slot of a list: a path, or std::nullopt for an absent (null) slot.
// An absent slot is not the same as an empty path.
using ListEntry = std::optional<std::string>;

// The largest number of slots, and of bytes in one entry, that a file can hold.
inline constexpr std::size_t kMaxListSlots = 0x7FFFFFFF;

// The slots of a list, stored compactly: present entries in slot order, each
// with its slot number, and the total slot count. Absent slots are the slot
// numbers that no present entry has.
class BackupList {
public:
    BackupList() = default;
    explicit BackupList(const std::vector<std::string>& paths);
    explicit BackupList(const std::vector<ListEntry>& slots);

    // Makes room for `entries` more present entries.
    void Reserve(std::size_t entries);
    // Appends one present slot holding `text`.
    void AddPath(std::string text);
    // Appends a present slot that repeats the text of present entry `entry`
    // (0-based among present entries), sharing it rather than copying it.
    void AddRepeat(std::size_t entry);
    // Appends `count` absent slots. Throws std::length_error past kMaxListSlots.
    void AddAbsent(std::size_t count);

    std::size_t Size() const noexcept { return size_; }  // all slots
    std::size_t PresentCount() const noexcept { return entries_.size(); }
    std::size_t AbsentCount() const noexcept { return size_ - entries_.size(); }

    // The i-th present entry (0-based, in slot order) and its slot number.
    const std::string& PresentAt(std::size_t i) const { return texts_[entries_.at(i).text]; }
    std::size_t SlotOf(std::size_t i) const { return entries_.at(i).slot; }
    // The slot `slot` (< Size()); O(log PresentCount()).
    ListEntry At(std::size_t slot) const;

    // The present entries in slot order, absent slots skipped: the paths the
    // window and the command line work with. Every repeat is a full copy, so a
    // hostile file can make this large; PresentBytes() tells how large first.
    std::vector<std::string> PresentEntries() const&;
    // The same, moving the texts out when no text is shared.
    std::vector<std::string> PresentEntries() &&;
    // The total length of the texts PresentEntries() returns.
    std::uint64_t PresentBytes() const noexcept { return presentBytes_; }
    // Every slot, absent ones as std::nullopt: Size() elements, so only for
    // lists whose size is known to be sane.
    std::vector<ListEntry> Slots() const;

    friend bool operator==(const BackupList& a, const BackupList& b);

private:
    struct Entry {
        std::uint32_t slot;  // slot number of this present entry
        std::uint32_t text;  // index into texts_
    };
    void CheckRoom(std::size_t slots) const;

    std::vector<std::string> texts_;
    std::vector<Entry> entries_;
    std::size_t size_ = 0;
    std::uint64_t presentBytes_ = 0;
};

// ---------------------------------------------------------------------------
// Writing. Every present slot becomes its own BinaryObjectString with object
// ids 2, 3, 4... in slot order; a run of absent slots becomes ObjectNull (1),
// ObjectNullMultiple256 (2 to 255) or ObjectNullMultiple (256 and more).

// Writes the list to a stream. Throws ListFileError when the stream fails
// (the bytes written so far stay in it) or the list cannot be represented.
void Serialize(std::ostream& out, const BackupList& list);
void Serialize(std::ostream& out, const std::vector<std::string>& data);
void Serialize(std::ostream& out, const std::vector<ListEntry>& data);

// The file-system steps of saving a list file, so that tests can make any of
// them fail. A save writes a new file beside the target and puts it in the
// target's place only once it is complete and on disk.
class SaveFile {
public:
    virtual ~SaveFile() = default;
    virtual const std::string& Path() const = 0;
    // Appends bytes; throws ListFileError on failure.
    virtual void Write(const char* data, std::size_t size) = 0;
    // Puts the written bytes on disk and closes the file; throws on failure.
    virtual void Commit() = 0;
};

class SaveFiles {
public:
    virtual ~SaveFiles() = default;
    // Creates a new, empty temporary file in the folder of `target`, under a
    // name that begins with "." + the target's name + ".tandrel-save-", with
    // the permission bits the target has (or the default ones when it does
    // not exist yet). Throws ListFileError naming `target`.
    virtual std::unique_ptr<SaveFile> CreateBeside(const std::string& target) = 0;
    // Puts the committed temporary file in place of `target`, in one step.
    virtual void Replace(const std::string& temporary, const std::string& target) = 0;
    // Removes a temporary file left by a failed save; never throws.
    virtual void Discard(const std::string& temporary) noexcept = 0;
};

// The platform's own file system.
class NativeSaveFiles : public SaveFiles {
public:
    std::unique_ptr<SaveFile> CreateBeside(const std::string& target) override;
    void Replace(const std::string& temporary, const std::string& target) override;
    void Discard(const std::string& temporary) noexcept override;
};

// True for the names of the temporary files a save writes.
bool IsSaveTemporaryName(const std::string& name);

// Saves the list as the file `filename`, creating or replacing it. A failure
// leaves an existing file as it was and no temporary file behind, and throws
// a ListFileError carrying the platform's message and the path.
void Serialize(const std::string& filename, const BackupList& list, SaveFiles& files);
void Serialize(const std::string& filename, const BackupList& list);
void Serialize(const std::string& filename, const std::vector<std::string>& data);
void Serialize(const std::string& filename, const std::vector<ListEntry>& data);

// ---------------------------------------------------------------------------
// Reading. Object ids are taken as found; a duplicate id (the array's
// included), a reference to anything but a string read earlier in the array,
// a record of any other type, a run of absent slots longer than the slots
// left, a negative count, a length prefix longer than 5 bytes or above the
// largest INT32, a version other than 1.0 and a file that ends before its end
// record all make the file malformed. Bytes after the end record are ignored.

// Reads one list from a stream, leaving it just after the end record.
BackupList Deserialize(std::istream& in);
// Reads the list file `filename`. Failures to open or read carry the path.
BackupList Deserialize(const std::string& filename);

}  // namespace tandrel
