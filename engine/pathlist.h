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

// A list of path texts, stored in blocks of kBlock entries: each block keeps
// its paths' bytes back to back in one text and the end of each in 4 bytes,
// about 4 bytes a path beside its own text. A full block is never changed
// again, so a copy shares the full blocks and copies only the last, and the
// list grows without ever moving the paths it has.
class PathList {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using reference = std::string_view;
        using pointer = void;

        const_iterator() = default;
        const_iterator(const PathList* list, std::size_t index) : list_(list), index_(index) {}
        std::string_view operator*() const { return (*list_)[index_]; }
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
    using value_type = std::string_view;
    using size_type = std::size_t;

    static constexpr std::size_t kBlock = 4096;

    PathList() = default;
    PathList(std::initializer_list<std::string_view> paths);
    explicit PathList(const std::vector<std::string>& paths);
    PathList(const PathList& other);
    PathList& operator=(const PathList& other);
    PathList(PathList&&) noexcept = default;
    PathList& operator=(PathList&&) noexcept = default;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view operator[](std::size_t index) const
    {
        const Block& block = *blocks_[index / kBlock];
        const std::size_t entry = index % kBlock;
        const std::uint32_t begin = entry == 0 ? 0 : block.ends[entry - 1];
        return {block.text.data() + begin, block.ends[entry] - begin};
    }
    std::string_view at(std::size_t index) const;  // throws std::out_of_range
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
        std::vector<std::uint32_t> ends;  // where each entry's text ends
        std::string text;
    };
    Block& OpenBlock();  // the last block, a new one when that is full

    std::vector<std::shared_ptr<Block>> blocks_;
    std::size_t size_ = 0;
};

}  // namespace tandrel
