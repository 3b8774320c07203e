// A reserved file of the destination read and written a line at a time, so
// that a file of a line per copy never needs to fit in memory whole.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "engine/filesystem.h"

namespace tandrel {

class LineReader {
public:
    explicit LineReader(ReservedReader& in) : in_(in) {}
    // The next line without its line break (valid until the next call);
    // false at the end. A last line without a line break is a line too.
    bool Next(std::string_view& line);

private:
    ReservedReader& in_;
    std::string buffer_;
    std::size_t begin_ = 0;  // of what is not handed out yet
    std::size_t end_ = 0;    // of what was read
    bool ended_ = false;
};

// A text in memory, read as a reserved file is.
class TextReader : public ReservedReader {
public:
    explicit TextReader(std::string text) : text_(std::move(text)) {}
    std::size_t Read(char* data, std::size_t size) override
    {
        const std::size_t n = text_.copy(data, size, at_);
        at_ += n;
        return n;
    }

private:
    std::string text_;
    std::size_t at_ = 0;
};

// Takes text in pieces of any size and hands it to the file in large ones.
class LineWriter {
public:
    explicit LineWriter(std::unique_ptr<ReservedWriter> out) : out_(std::move(out)) {}
    void Write(std::string_view text)
    {
        pending_ += text;
        if (pending_.size() >= kChunk) Flush();
    }
    // Puts the file in place of the old one.
    void Commit()
    {
        Flush();
        out_->Commit();
    }

private:
    static constexpr std::size_t kChunk = std::size_t {1} << 16;
    void Flush()
    {
        out_->Write(pending_.data(), pending_.size());
        pending_.clear();
    }
    std::unique_ptr<ReservedWriter> out_;
    std::string pending_;
};

}  // namespace tandrel
