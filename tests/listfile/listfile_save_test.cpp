// Saving and reading list files on disk and through streams that fail.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "tests/listfile/listfile_test_util.h"

namespace tandrel {
namespace {

using namespace tandrel::testing;

const std::vector<std::string> kOld = {"C:\\old\\one", "C:\\old\\two", "C:\\old\\three"};
const std::vector<std::string> kNew = {"D:\\new"};

bool HasTemporary(const TempTree& dir)
{
    const auto names = dir.Names();
    return std::any_of(names.begin(), names.end(), [](const std::string& n) { return IsSaveTemporaryName(n); });
}

TEST(ListFileSave, SavingOverALongerFileLeavesOnlyTheNewContent)
{
    TempTree dir;
    const std::string path = dir.Path("list.lst");
    Serialize(path, kOld);
    Serialize(path, kNew);
    EXPECT_EQ(ReadFileBytes(path), WriteToString(kNew));
    EXPECT_EQ(Deserialize(path).PresentEntries(), kNew);
    EXPECT_EQ(dir.Names(), std::vector<std::string> {"list.lst"});

    std::vector<ListEntry> slots = {std::nullopt, "E:\\x", std::nullopt};
    Serialize(path, slots);
    EXPECT_EQ(Deserialize(path).Slots(), slots);
}

#ifndef _WIN32  // permission bits, symbolic links
TEST(ListFileSave, NewFileGetsDefaultModeAndAReplacedOneKeepsItsMode)
{
    TempTree dir;
    const std::string path = dir.Path("modes.lst");
    const mode_t mask = ::umask(022);
    Serialize(path, kOld);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    Serialize(path, kNew);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    ::umask(mask);
}

TEST(ListFileSave, SavingThroughALinkReplacesTheFileItNames)
{
    TempTree dir;
    const std::string target = dir.Path("real.lst");
    const std::string link = dir.Path("link.lst");
    Serialize(target, kOld);
    std::filesystem::create_symlink(target, link);
    Serialize(link, kNew);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(Deserialize(target).PresentEntries(), kNew);
}
#endif

#ifndef _WIN32  // POSIX error texts
TEST(ListFileSave, FolderProblemsNameThePathAndTheReason)
{
    TempTree dir;
    const std::string missing = dir.Path("no such folder/list.lst");
    std::string message = MessageOf([&] { Serialize(missing, kNew); });
    EXPECT_NE(message.find(missing), std::string::npos) << message;
    EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;

    WriteFileBytes(dir.Path("plain"), "x");
    const std::string underFile = dir.Path("plain/list.lst");
    message = MessageOf([&] { Serialize(underFile, kNew); });
    EXPECT_NE(message.find(underFile), std::string::npos) << message;
    EXPECT_NE(message.find("Not a directory"), std::string::npos) << message;

    std::filesystem::create_directory(dir.Path("folder.lst"));
    message = MessageOf([&] { Serialize(dir.Path("folder.lst"), kNew); });
    EXPECT_NE(message.find("Is a directory"), std::string::npos) << message;

    const std::string longName = dir.Path(std::string(300, 'n') + ".lst");
    message = MessageOf([&] { Serialize(longName, kNew); });
    EXPECT_NE(message.find("File name too long"), std::string::npos) << message;
    EXPECT_EQ(dir.Names().size(), 2u);  // "plain" and "folder.lst" only
}

TEST(ListFileSave, ReadingProblemsNameThePathAndTheReason)
{
    TempTree dir;
    const std::string missing = dir.Path("absent.lst");
    std::string message = MessageOf([&] { Deserialize(missing); });
    EXPECT_NE(message.find("'" + missing + "'"), std::string::npos) << message;
    EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
    message = MessageOf([&] { Deserialize(dir.Path()); });
    EXPECT_NE(message.find("Is a directory"), std::string::npos) << message;

    WriteFileBytes(dir.Path("bad.lst"), ListStart(1) + kEnd);
    try {
        Deserialize(dir.Path("bad.lst"));
        ADD_FAILURE();
    } catch (const ListFileError& e) {
        EXPECT_EQ(e.kind(), ListFileError::Kind::Format);
        EXPECT_NE(std::string(e.what()).find(dir.Path("bad.lst")), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("record type 11 at byte 26 is not allowed here"), std::string::npos);
    }
}
#endif

// The platform's file system, with one step made to fail.
class FaultySaveFiles : public SaveFiles {
public:
    enum class Fault { WriteAfter, Commit, Replace };
    FaultySaveFiles(Fault fault, std::size_t bytes = 0) : fault_(fault), limit_(bytes) {}

    std::unique_ptr<SaveFile> CreateBeside(const std::string& target) override
    {
        class File : public SaveFile {
        public:
            File(std::unique_ptr<SaveFile> real, FaultySaveFiles& owner) : real_(std::move(real)), owner_(owner) {}
            const std::string& Path() const override { return real_->Path(); }
            void Write(const char* data, std::size_t size) override
            {
                if (owner_.fault_ == Fault::WriteAfter) {
                    const std::size_t room = owner_.limit_ - std::min(owner_.limit_, owner_.written_);
                    if (size > room) {
                        real_->Write(data, room);
                        throw ListFileError(ListFileError::Kind::Io, "No space left on device");
                    }
                }
                real_->Write(data, size);
                owner_.written_ += size;
            }
            void Commit() override
            {
                if (owner_.fault_ == Fault::Commit) throw ListFileError(ListFileError::Kind::Io, "Input/output error");
                real_->Commit();
            }

        private:
            std::unique_ptr<SaveFile> real_;
            FaultySaveFiles& owner_;
        };
        auto file = std::make_unique<File>(native_.CreateBeside(target), *this);
        temporary_ = file->Path();
        return file;
    }
    void Replace(const std::string& temporary, const std::string& target) override
    {
        if (fault_ == Fault::Replace) throw ListFileError(ListFileError::Kind::Io, "Device or resource busy");
        native_.Replace(temporary, target);
    }
    void Discard(const std::string& temporary) noexcept override
    {
        discarded_ = temporary;
        native_.Discard(temporary);
    }

    Fault fault_;
    std::size_t limit_;
    std::size_t written_ = 0;
    std::string temporary_, discarded_;
    NativeSaveFiles native_;
};

TEST(ListFileSave, AFailedSaveKeepsTheOldFileAndLeavesNoTemporary)
{
    std::vector<std::string> big;
    for (int i = 0; i < 30000; ++i) big.push_back("C:\\Users\\someone\\Documents\\project " + std::to_string(i));
    const BackupList list(big);
    const std::size_t fullSize = WriteToString(big).size();
    ASSERT_GT(fullSize, std::size_t(1) << 20);  // more than one buffer's worth

    for (auto [fault, limit] : {std::pair {FaultySaveFiles::Fault::WriteAfter, std::size_t(0)},
                                std::pair {FaultySaveFiles::Fault::WriteAfter, std::size_t(10)},
                                std::pair {FaultySaveFiles::Fault::WriteAfter, std::size_t(1) << 20},
                                std::pair {FaultySaveFiles::Fault::WriteAfter, fullSize - 1},
                                std::pair {FaultySaveFiles::Fault::Commit, std::size_t(0)},
                                std::pair {FaultySaveFiles::Fault::Replace, std::size_t(0)}}) {
        TempTree dir;
        const std::string path = dir.Path("keep.lst");
        Serialize(path, kOld);
        const std::string before = ReadFileBytes(path);
        FaultySaveFiles files(fault, limit);
        EXPECT_THROW(Serialize(path, list, files), ListFileError) << limit;
        EXPECT_EQ(ReadFileBytes(path), before);
        EXPECT_FALSE(HasTemporary(dir));
        EXPECT_EQ(files.discarded_, files.temporary_);
        EXPECT_TRUE(IsSaveTemporaryName(std::filesystem::path(files.temporary_).filename().string()));
        EXPECT_EQ(std::filesystem::path(files.temporary_).parent_path(), std::filesystem::path(dir.Path()));
    }
}

TEST(ListFileSave, TheSameFilesSaveWhenNothingFails)
{
    TempTree dir;
    FaultySaveFiles files(FaultySaveFiles::Fault::WriteAfter, std::size_t(1) << 30);
    Serialize(dir.Path("ok.lst"), BackupList(kOld), files);
    EXPECT_EQ(Deserialize(dir.Path("ok.lst")).PresentEntries(), kOld);
    EXPECT_EQ(files.written_, WriteToString(kOld).size());
    EXPECT_TRUE(files.discarded_.empty());
    EXPECT_EQ(dir.Names(), std::vector<std::string> {"ok.lst"});
}

// Accepts `limit` bytes, then fails: on output like a full disk, on input
// like a read error.
class FailingBuf : public std::streambuf {
public:
    FailingBuf(std::string data, std::size_t limit) : data_(std::move(data)), limit_(limit) {}
    std::string written;

protected:
    int_type overflow(int_type ch) override
    {
        if (written.size() >= limit_ || traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::eof();
        written.push_back(traits_type::to_char_type(ch));
        return ch;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        const auto room = static_cast<std::streamsize>(limit_ - std::min(limit_, written.size()));
        const std::streamsize take = std::min(n, room);
        written.append(s, static_cast<std::size_t>(take));
        return take;
    }
    int_type underflow() override
    {
        if (pos_ >= data_.size()) return traits_type::eof();
        if (pos_ >= limit_) throw std::runtime_error("device gone");
        return traits_type::to_int_type(data_[pos_]);
    }
    int_type uflow() override
    {
        const int_type c = underflow();
        if (!traits_type::eq_int_type(c, traits_type::eof())) ++pos_;
        return c;
    }

private:
    std::string data_;
    std::size_t limit_;
    std::size_t pos_ = 0;
};

TEST(ListFileStreams, WriterStopsWhenTheStreamFails)
{
    std::vector<std::string> entries;
    for (int i = 0; i < 20000; ++i) entries.push_back("C:\\entry " + std::to_string(i) + "\\with a longer tail");
    const std::string whole = WriteToString(entries);
    for (std::size_t limit : {std::size_t(0), std::size_t(26), whole.size() / 2, whole.size() - 1}) {
        FailingBuf buf("", limit);
        std::ostream out(&buf);
        try {
            Serialize(out, entries);
            ADD_FAILURE() << limit;
        } catch (const ListFileError& e) {
            EXPECT_EQ(e.kind(), ListFileError::Kind::Io);
            EXPECT_NE(std::string(e.what()).find("the stream failed"), std::string::npos) << e.what();
        }
        EXPECT_EQ(buf.written, whole.substr(0, limit));
    }
    FailingBuf roomy("", whole.size());
    std::ostream out(&roomy);
    Serialize(out, entries);
    EXPECT_EQ(roomy.written, whole);
}

TEST(ListFileStreams, ReaderReportsAFailingStreamAsAReadError)
{
    const std::string whole = WriteToString(kOld);
    for (std::size_t limit : {std::size_t(0), std::size_t(20), whole.size() - 1}) {
        FailingBuf buf(whole, limit);
        std::istream in(&buf);
        try {
            Deserialize(in);
            ADD_FAILURE() << limit;
        } catch (const ListFileError& e) {
            EXPECT_EQ(e.kind(), ListFileError::Kind::Io) << e.what();
            EXPECT_NE(std::string(e.what()).find("cannot read the backup list"), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace tandrel
