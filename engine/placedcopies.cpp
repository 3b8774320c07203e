#include "engine/placedcopies.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <stdexcept>

namespace tandrel {

namespace {

// Compares `n` bytes of two keys, each with its own stand-in for "/".
int CompareRun(const char* a, char aSeparator, const char* b, char bSeparator, std::size_t n)
{
    if (aSeparator == '/' && bSeparator == '/') return std::memcmp(a, b, n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(a[i] == aSeparator ? '/' : a[i]);
        const auto y = static_cast<unsigned char>(b[i] == bSeparator ? '/' : b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

}  // namespace

PlacedCopies::PlacedCopies(std::shared_ptr<const PathList> files, std::string destinationPath, PathStyle style)
    : files_(std::move(files)), destination_(std::move(destinationPath)), style_(style)
{
    // Room for every file at once, so that the list never moves to a block
    // twice its size. A large block is taken from the system as address
    // space, and only the pages written to count: a backup that places few
    // copies pays for those alone.
    copies_.reserve(files_->size());
}

void PlacedCopies::Add(std::size_t file, std::string_view target, std::size_t kept,
                       const std::optional<ContentHash>& hash, std::uint64_t size, std::int64_t modified)
{
    const std::string path = (*files_)[file];
    kept = std::min(kept, path.size());
    // A target that does not end as the file does keeps none of its path.
    if (!target.ends_with(std::string_view(path).substr(kept))) kept = path.size();
    if (file > UINT32_MAX || kept >= (std::size_t {1} << 30))
        throw std::length_error("Too many files or too long a path for the record of hashes");
    const std::string_view folder = target.substr(0, target.size() - (path.size() - kept));
    if (folders_.empty() || folders_[folderFrom_.back().second] != folder) {
        folders_.emplace_back(folder);
        folderFrom_.emplace_back(static_cast<std::uint32_t>(file), static_cast<std::uint32_t>(folders_.size() - 1));
    }
    Copy copy;
    copy.hash = hash.value_or(ContentHash {});
    copy.size = size;
    copy.modified = modified;
    copy.file = static_cast<std::uint32_t>(file);
    copy.kept = static_cast<std::uint32_t>(kept);
    copy.hashed = hash.has_value();
    copies_.push_back(copy);
}

const std::string& PlacedCopies::FolderOf(const Copy& copy) const
{
    if (folderFrom_.size() == 1) return folders_.front();
    const auto after = std::upper_bound(folderFrom_.begin(), folderFrom_.end(), copy.file,
                                        [](std::uint32_t file, const auto& from) { return file < from.first; });
    return folders_[std::prev(after)->second];
}

std::string PlacedCopies::Target(const Copy& copy) const
{
    std::string target = FolderOf(copy);
    target.append((*files_)[copy.file], copy.kept);
    return target;
}

namespace {

// Drops the first `n` bytes of `a` followed by `b`.
void DropFront(std::string_view& a, std::string_view& b, std::size_t n)
{
    const std::size_t fromA = std::min(n, a.size());
    a.remove_prefix(fromA);
    b.remove_prefix(std::min(n - fromA, b.size()));
}

}  // namespace

// The key is the target below the destination: the folder of the copy
// below it, then the file's path from `kept` on, read where the list keeps
// it (in two pieces) rather than put together.
PlacedCopies::KeyText PlacedCopies::KeyOf(const Copy& copy) const
{
    const std::string_view folder = FolderOf(copy);
    auto [head, tail] = files_->PiecesOf(copy.file);
    DropFront(head, tail, copy.kept);
    if (folder.size() >= destination_.size())
        return {{folder.substr(destination_.size()), head, tail}, style_.separator};
    DropFront(head, tail, destination_.size() - folder.size());
    return {{{}, head, tail}, style_.separator};
}

void PlacedCopies::AppendKey(const Copy& copy, std::string& out) const
{
    const KeyText key = KeyOf(copy);
    const std::size_t start = out.size();
    for (const std::string_view piece : key.pieces) out += piece;
    if (key.separator != '/')
        std::replace(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), key.separator, '/');
}

namespace {

// Compares two keys, each of its pieces, byte by byte.
template <typename Key>
int CompareTexts(const Key& a, const Key& b)
{
    constexpr std::size_t kPieces = std::extent_v<decltype(Key::pieces)>;
    std::size_t i = 0, j = 0;
    std::string_view x = a.pieces[0], y = b.pieces[0];
    for (;;) {
        if (x.empty() && i + 1 < kPieces) {
            x = a.pieces[++i];
        } else if (y.empty() && j + 1 < kPieces) {
            y = b.pieces[++j];
        } else if (x.empty() || y.empty()) {
            return x.empty() ? (y.empty() ? 0 : -1) : 1;
        } else {
            const std::size_t n = std::min(x.size(), y.size());
            if (const int c = CompareRun(x.data(), a.separator, y.data(), b.separator, n)) return c;
            x.remove_prefix(n);
            y.remove_prefix(n);
        }
    }
}

}  // namespace

int PlacedCopies::CompareKeys(const Copy& a, const Copy& b) const
{
    return CompareTexts(KeyOf(a), KeyOf(b));
}

int PlacedCopies::CompareKey(const Copy& copy, std::string_view key) const
{
    return CompareTexts(KeyOf(copy), KeyText {{{}, {}, key}, '/'});
}

void PlacedCopies::SortByKey()
{
    std::sort(copies_.begin(), copies_.end(), [this](const Copy& a, const Copy& b) {
        const int c = CompareKeys(a, b);
        return c != 0 ? c < 0 : a.file < b.file;
    });
}

}  // namespace tandrel
