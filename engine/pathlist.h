// The gathered paths, kept compactly: a million of them is the largest thing
// a backup holds in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tandrel {

// A list of path texts, stored in blocks of kBlock entries. Within a block
// the paths come in groups of kGroup: the first of a group is kept whole,
// each other one as the length of the beginning it shares with that first
// (2 bytes) and the bytes that follow it. A block keeps those bytes back to
// back in one text and the end of each path's own bytes in 4 more: a path of
// a folder of many files takes little more than its name. A full block is
// never changed again, so a copy shares the full blocks and copies only the
// last, and the list grows without ever moving the paths it has.
//
// A path is put together when it is asked for: operator[] gives a string of
// its own, and Get fills one that the caller keeps for the next.
class PathList {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;
        using reference = std::string;
        using pointer = void;

        const_iterator() = default;
        const_iterator(const PathList* list, std::size_t index) : list_(list), index_(index) {}
        std::string operator*() const { return (*list_)[index_]; }
        const_iterator& operator++()
        {
            ++index_;
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator before = *this;
            ++index_;
            return before;
        }
        bool operator==(const const_iterator& other) const { return index_ == other.index_; }

    private:
        const PathList* list_ = nullptr;
        std::size_t index_ = 0;
    };
    using iterator = const_iterator;
    using value_type = std::string;
    using size_type = std::size_t;

    static constexpr std::size_t kBlock = 4096;
    static constexpr std::size_t kGroup = 64;

    PathList() = default;
    PathList(std::initializer_list<std::string_view> paths);
    explicit PathList(const std::vector<std::string>& paths);
    PathList(const PathList& other);
    PathList& operator=(const PathList& other);
    PathList(PathList&&) noexcept = default;
    PathList& operator=(PathList&&) noexcept = default;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string operator[](std::size_t index) const
    {
        std::string path;
        Get(index, path);
        return path;
    }
    // The path at `index` into `path`, which keeps its room for the next.
    void Get(std::size_t index, std::string& path) const
    {
        const Pieces pieces = PiecesOf(index);
        path.assign(pieces.head);
        path.append(pieces.tail);
    }
    // The path at `index` as it is kept: `head` followed by `tail`, both
    // valid as long as the list (or a copy sharing its block) is unchanged.
    struct Pieces {
        std::string_view head, tail;
    };
    Pieces PiecesOf(std::size_t index) const
    {
        const Block& block = *blocks_[index / kBlock];
        const std::size_t entry = index % kBlock;
        const std::size_t first = entry - entry % kGroup;
        const std::uint32_t begin = entry == 0 ? 0 : block.ends[entry - 1];
        return {std::string_view(block.text).substr(first == 0 ? 0 : block.ends[first - 1], block.shared[entry]),
                std::string_view(block.text).substr(begin, block.ends[entry] - begin)};
    }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size_}; }

    void push_back(std::string_view path);
    void append(const std::vector<std::string>& paths);
    // Keeps the first `size` entries (all of them when there are fewer).
    void truncate(std::size_t size);
    void clear();

    std::vector<std::string> ToStrings() const;

    friend bool operator==(const PathList& a, const PathList& b);
    friend bool operator==(const PathList& a, const std::vector<std::string>& b);

private:
    // Full (kBlock entries): shared by copies and never written. Otherwise
    // it is the list's last and belongs to this list alone.
    struct Block {
        std::vector<std::uint32_t> ends;    // where each entry's own bytes end
        std::vector<std::uint16_t> shared;  // bytes of its group's first it begins with
        std::string text;
    };
    Block& OpenBlock();  // the last block, a new one when that is full

    std::vector<std::shared_ptr<Block>> blocks_;
    std::size_t size_ = 0;
};

}  // namespace tandrel
