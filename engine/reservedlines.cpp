#include "engine/reservedlines.h"

#include <algorithm>
#include <cstring>

namespace tandrel {

bool LineReader::Next(std::string_view& line)
{
    constexpr std::size_t kChunk = std::size_t {1} << 16;
    for (std::size_t searched = begin_;;) {
        const char* from = buffer_.data() + searched;
        if (const void* cut = std::memchr(from, '\n', end_ - searched)) {
            const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(cut) - buffer_.data());
            line = std::string_view(buffer_.data() + begin_, at - begin_);
            begin_ = at + 1;
            return true;
        }
        if (ended_) {
            if (begin_ == end_) return false;
            line = std::string_view(buffer_.data() + begin_, end_ - begin_);
            begin_ = end_;
            return true;
        }
        // What is left moves to the front, and the buffer grows only for a
        // line longer than it.
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(begin_),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(end_), buffer_.begin());
        end_ -= begin_;
        searched = end_;
        begin_ = 0;
        if (buffer_.size() - end_ < kChunk / 2) buffer_.resize(std::max(kChunk, 2 * buffer_.size()));
        const std::size_t n = in_.Read(buffer_.data() + end_, buffer_.size() - end_);
        if (n == 0) ended_ = true;
        end_ += n;
    }
}

}  // namespace tandrel
