#include "engine/pathlist.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace tandrel {

PathList::PathList(std::initializer_list<std::string_view> paths)
{
    for (std::string_view path : paths) push_back(path);
}

PathList::PathList(const std::vector<std::string>& paths)
{
    append(paths);
}

PathList::PathList(const PathList& other) : blocks_(other.blocks_), size_(other.size_)
{
    // The last block, while it still fills, is the one a list writes to.
    if (!blocks_.empty() && blocks_.back()->ends.size() < kBlock)
        blocks_.back() = std::make_shared<Block>(*other.blocks_.back());
}

PathList& PathList::operator=(const PathList& other)
{
    if (this != &other) *this = PathList(other);
    return *this;
}

PathList::Block& PathList::OpenBlock()
{
    if (blocks_.empty() || blocks_.back()->ends.size() == kBlock) {
        auto block = std::make_shared<Block>();
        block->ends.reserve(kBlock);
        block->shared.reserve(kBlock);
        // Paths of one tree are much alike in length: room for as many bytes
        // as the block before held, and a little more.
        if (!blocks_.empty()) {
            const std::size_t before = blocks_.back()->text.size();
            block->text.reserve(before + before / 16);
        }
        blocks_.push_back(std::move(block));
    }
    return *blocks_.back();
}

void PathList::push_back(std::string_view path)
{
    Block& block = OpenBlock();
    const std::size_t entry = block.ends.size();
    std::size_t shared = 0;
    if (const std::size_t first = entry - entry % kGroup; first != entry) {
        const std::uint32_t begin = first == 0 ? 0 : block.ends[first - 1];
        const std::string_view whole(block.text.data() + begin, block.ends[first] - begin);
        const std::size_t most = std::min({whole.size(), path.size(), std::size_t {0xFFFF}});
        while (shared < most && whole[shared] == path[shared]) ++shared;
    }
    const std::string_view own = path.substr(shared);
    if (own.size() > std::numeric_limits<std::uint32_t>::max() - block.text.size())
        throw std::length_error("Too long a path for the list of files");
    block.text.append(own);
    block.ends.push_back(static_cast<std::uint32_t>(block.text.size()));
    block.shared.push_back(static_cast<std::uint16_t>(shared));
    ++size_;
    // A full block keeps its text as it is from now on: without the room
    // that its growth left over.
    if (block.ends.size() == kBlock && block.text.capacity() > block.text.size() + block.text.size() / 8)
        block.text.shrink_to_fit();
}

void PathList::append(const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) push_back(path);
}

void PathList::truncate(std::size_t size)
{
    if (size >= size_) return;
    blocks_.resize((size + kBlock - 1) / kBlock);
    size_ = size;
    if (blocks_.empty()) return;
    const std::size_t keep = size - (blocks_.size() - 1) * kBlock;
    const Block& last = *blocks_.back();
    if (last.ends.size() == keep) return;
    const std::uint32_t end = last.ends[keep - 1];
    if (last.ends.size() < kBlock) {
        blocks_.back()->ends.resize(keep);
        blocks_.back()->shared.resize(keep);
        blocks_.back()->text.resize(end);
        return;
    }
    // A full block may be a copy's too: the list goes on in a copy of its start.
    auto start = std::make_shared<Block>();
    start->ends.reserve(kBlock);
    start->ends.assign(last.ends.begin(), last.ends.begin() + static_cast<std::ptrdiff_t>(keep));
    start->shared.reserve(kBlock);
    start->shared.assign(last.shared.begin(), last.shared.begin() + static_cast<std::ptrdiff_t>(keep));
    start->text.assign(last.text, 0, end);
    blocks_.back() = std::move(start);
}

void PathList::clear()
{
    blocks_.clear();
    size_ = 0;
}

std::vector<std::string> PathList::ToStrings() const
{
    std::vector<std::string> strings;
    strings.reserve(size_);
    for (std::size_t i = 0; i < size_; ++i) Get(i, strings.emplace_back());
    return strings;
}

bool operator==(const PathList& a, const PathList& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool operator==(const PathList& a, const std::vector<std::string>& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace tandrel
