// The destination's index of where its copies came from: its text, and the
// merge of one backup's files into it.
#include "engine/restoreindex.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_map>

#include "engine/reservedlines.h"

namespace tandrel {

namespace {

constexpr std::string_view kHeader = "tandrel-index 1 ";
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

std::uint64_t Mix(std::uint64_t x)
{
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ULL;
    return x ^ (x >> 33);
}

// A hash of bytes that is the same on every platform and build: the digest
// of a backup's files is kept in the index.
std::uint64_t HashBytes(std::string_view text, std::uint64_t seed)
{
    std::uint64_t h = Mix(seed + text.size() * kGolden);
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        h = (h ^ Mix(word)) * kGolden;
        h = (h << 29) | (h >> 35);
    }
    std::uint64_t tail = 0;
    for (std::size_t shift = 0; i < text.size(); ++i, shift += 8)
        tail |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[i])) << shift;
    return Mix(h ^ Mix(tail + 1));
}

std::uint64_t NextDigest(std::uint64_t digest, std::uint64_t entry)
{
    return Mix(digest * kGolden + entry);
}

std::string Hex(std::uint64_t value)
{
    char text[17];
    for (int i = 15; i >= 0; --i, value >>= 4) text[i] = "0123456789abcdef"[value & 15];
    text[16] = '\0';
    return text;
}

std::size_t CommonPrefix(std::string_view a, std::string_view b)
{
    const std::size_t most = std::min(a.size(), b.size());
    std::size_t n = 0;
    while (n < most && a[n] == b[n]) ++n;
    return n;
}

std::size_t CommonSuffix(std::string_view a, std::string_view b)
{
    const std::size_t most = std::min(a.size(), b.size());
    std::size_t n = 0;
    while (n < most && a[a.size() - 1 - n] == b[b.size() - 1 - n]) ++n;
    return n;
}

// The hashes of an entry's target and of the whole entry, from the parts its
// target and source share: the target is `prefix` followed by `suffix`, the
// source `head` followed by `suffix`.
struct EntryHashes {
    std::uint64_t target, entry;
};

EntryHashes HashEntry(std::uint64_t prefix, std::string_view head, std::string_view suffix, std::uint64_t size,
                      std::int64_t modified)
{
    const std::uint64_t target = Mix(prefix * kGolden + HashBytes(suffix, 3));
    std::uint64_t h = Mix(target * kGolden + HashBytes(head, 2));
    h = Mix(h * kGolden + size);
    return {target, Mix(h * kGolden + static_cast<std::uint64_t>(modified))};
}

EntryHashes HashEntry(std::string_view target, std::string_view source, std::uint64_t size, std::int64_t modified)
{
    const std::size_t kept = CommonSuffix(source, target);
    return HashEntry(HashBytes(target.substr(0, target.size() - kept), 1), source.substr(0, source.size() - kept),
                     target.substr(target.size() - kept), size, modified);
}

void AppendEscaped(std::string& out, std::string_view text)
{
    for (std::size_t from = 0;;) {
        const std::size_t cut = text.find_first_of("\\\t\n", from);
        out.append(text, from, cut == std::string_view::npos ? std::string_view::npos : cut - from);
        if (cut == std::string_view::npos) return;
        out += text[cut] == '\\' ? "\\\\" : text[cut] == '\t' ? "\\t" : "\\n";
        from = cut + 1;
    }
}

bool AppendUnescaped(std::string& out, std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        const char c = text[i];
        if (c != '\\' && c != 't' && c != 'n') return false;
        out += c == '\\' ? '\\' : c == 't' ? '\t' : '\n';
    }
    return true;
}

template <typename Number>
bool TakeNumber(std::string_view& line, Number& value, char end)
{
    const std::size_t cut = line.find(end);
    if (cut == std::string_view::npos) return false;
    const auto [stop, error] = std::from_chars(line.data(), line.data() + cut, value);
    if (error != std::errc() || stop != line.data() + cut) return false;
    line.remove_prefix(cut + 1);
    return true;
}

// Writes the lines of an index, each after the one before.
class Writer {
public:
    explicit Writer(std::string& text) : text_(text) {}
    void Add(std::string_view target, std::string_view source, std::uint64_t size, std::int64_t modified)
    {
        const std::size_t kept = CommonSuffix(source, target);
        const std::string_view head = source.substr(0, source.size() - kept);
        const std::size_t t = CommonPrefix(target, target_), h = CommonPrefix(head, head_);
        // Counted in unsigned arithmetic, which wraps where a signed
        // difference of two far-apart times would overflow.
        const auto step =
            static_cast<std::int64_t>(static_cast<std::uint64_t>(modified) - static_cast<std::uint64_t>(modified_));
        char numbers[5 * 21];
        char* at = numbers;
        for (const std::uint64_t n :
             {std::uint64_t {t}, std::uint64_t {h}, std::uint64_t {target.size() - kept}, size}) {
            at = std::to_chars(at, numbers + sizeof numbers, n).ptr;
            *at++ = ' ';
        }
        at = std::to_chars(at, numbers + sizeof numbers, step).ptr;
        text_.append(numbers, at);
        text_ += '\t';
        AppendEscaped(text_, target.substr(t));
        text_ += '\t';
        AppendEscaped(text_, head.substr(h));
        text_ += '\n';
        target_.assign(target);
        head_.assign(head);
        modified_ = modified;
    }

private:
    std::string& text_;
    std::string target_, head_;
    std::int64_t modified_ = 0;
};

// The digest that the first line of an index gives; none for a text of
// another kind.
std::optional<std::uint64_t> DigestOf(std::string_view first)
{
    if (!first.starts_with(kHeader)) return std::nullopt;
    std::uint64_t digest = 0;
    const std::string_view hex = first.substr(kHeader.size());
    const auto [stop, error] = std::from_chars(hex.data(), hex.data() + hex.size(), digest, 16);
    if (error != std::errc() || stop != hex.data() + hex.size()) return std::nullopt;
    return digest;
}

// Calls `each(target, source, size, modified)` for the entries of an index
// whose first line `lines` has given, their paths as written, as long as it
// returns true.
template <typename Each>
void ForEachEntry(LineReader& lines, const Each& each)
{
    std::string target, head, source;
    std::int64_t modified = 0;
    for (std::string_view line; lines.Next(line);) {
        std::size_t t = 0, h = 0, j = 0;
        std::uint64_t size = 0;
        std::int64_t step = 0;
        if (!TakeNumber(line, t, ' ') || !TakeNumber(line, h, ' ') || !TakeNumber(line, j, ' ') ||
            !TakeNumber(line, size, ' ') || !TakeNumber(line, step, '\t'))
            return;
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos || t > target.size() || h > head.size()) return;
        target.resize(t);
        head.resize(h);
        if (!AppendUnescaped(target, line.substr(0, tab)) || !AppendUnescaped(head, line.substr(tab + 1)) ||
            j > target.size() || target.empty())
            return;
        source.assign(head);
        source.append(target, j);
        modified = static_cast<std::int64_t>(static_cast<std::uint64_t>(modified) + static_cast<std::uint64_t>(step));
        if (!each(std::string_view(target), std::string_view(source), size, modified)) return;
    }
}

// The digest of an index read from `in`, its first line read; none for a
// text of another kind.
std::optional<std::uint64_t> ReadDigest(LineReader& lines)
{
    std::string_view first;
    return lines.Next(first) ? DigestOf(first) : std::nullopt;
}

std::string Header(std::uint64_t digest)
{
    return std::string(kHeader) + Hex(digest) + '\n';
}

}  // namespace

std::string FormatIndex(const std::vector<IndexEntry>& entries, PathStyle style)
{
    std::string body, source;
    Writer writer(body);
    std::uint64_t digest = entries.size();
    for (const IndexEntry& entry : entries) {
        source = entry.source;
        if (style.separator != '/') std::replace(source.begin(), source.end(), style.separator, '/');
        writer.Add(entry.target, source, entry.size, entry.modified);
        digest = NextDigest(digest, HashEntry(entry.target, source, entry.size, entry.modified).entry);
    }
    return Header(digest) + body;
}

bool ReadIndex(ReservedReader& in, PathStyle style, const std::function<void(IndexEntry&)>& each)
{
    LineReader lines(in);
    if (!ReadDigest(lines)) return false;
    IndexEntry entry;
    ForEachEntry(lines,
                 [&](std::string_view target, std::string_view source, std::uint64_t size, std::int64_t modified) {
                     entry.target.assign(target);
                     entry.source.assign(source);
                     if (style.separator != '/')
                         std::replace(entry.source.begin(), entry.source.end(), '/', style.separator);
                     entry.size = size;
                     entry.modified = modified;
                     each(entry);
                     return true;
                 });
    return true;
}

std::vector<IndexEntry> ParseIndex(std::string_view text, PathStyle style)
{
    std::vector<IndexEntry> entries;
    TextReader in {std::string(text)};
    ReadIndex(in, style, [&](IndexEntry& entry) { entries.push_back(std::move(entry)); });
    return entries;
}

HandledFiles::HandledFiles(std::string destinationPath, PathStyle style)
    : destination_(std::move(destinationPath)), style_(style)
{
    prefixes_.emplace_back();
}

void HandledFiles::Add(std::size_t file, const std::string& source, const std::string& target, std::uint64_t size,
                       std::int64_t modified)
{
    std::string_view below(target);
    if (below.starts_with(destination_)) below.remove_prefix(destination_.size());
    const std::size_t kept = CommonSuffix(source, below);
    std::string prefix(below.substr(0, below.size() - kept));
    if (style_.separator != '/') std::replace(prefix.begin(), prefix.end(), style_.separator, '/');
    if (prefixes_[lastPrefix_] != prefix) {
        const auto found = std::find(prefixes_.begin(), prefixes_.end(), prefix);
        if (found != prefixes_.end()) {
            lastPrefix_ = static_cast<std::uint16_t>(found - prefixes_.begin());
        } else if (prefixes_.size() < kOther) {
            lastPrefix_ = static_cast<std::uint16_t>(prefixes_.size());
            prefixes_.push_back(std::move(prefix));
        } else {
            lastPrefix_ = kOther;
        }
    }
    if (lastPrefix_ != kOther && kept < kOther && file <= std::numeric_limits<std::uint32_t>::max()) {
        handled_.push_back(
            {static_cast<std::uint32_t>(file), lastPrefix_, static_cast<std::uint16_t>(kept), size, modified});
        return;
    }
    lastPrefix_ = 0;
    IndexEntry other {std::string(below), source, size, modified};
    if (style_.separator != '/') {
        std::replace(other.target.begin(), other.target.end(), style_.separator, '/');
        std::replace(other.source.begin(), other.source.end(), style_.separator, '/');
    }
    others_.push_back(std::move(other));
    handled_.push_back({static_cast<std::uint32_t>(others_.size() - 1), kOther, 0, size, modified});
}

void HandledFiles::EntryOf(const Handled& handled, const PathList& files, std::string& target,
                           std::string& source) const
{
    if (handled.prefix == kOther) {
        target = others_[handled.file].target;
        source = others_[handled.file].source;
        return;
    }
    files.Get(handled.file, source);
    if (style_.separator != '/') std::replace(source.begin(), source.end(), style_.separator, '/');
    target = prefixes_[handled.prefix];
    target.append(source, source.size() - handled.suffix);
}

bool HandledFiles::Record(CopySession& session, const PathList& files) const
{
    if (handled_.empty()) return false;
    // The hashes of each handled file's entry, from the parts of its
    // source.
    std::vector<std::uint64_t> prefixHashes;
    for (const std::string& prefix : prefixes_) prefixHashes.push_back(HashBytes(prefix, 1));
    std::string path;
    auto hashOf = [&](const Handled& handled) {
        if (handled.prefix == kOther) {
            const IndexEntry& other = others_[handled.file];
            return HashEntry(other.target, other.source, handled.size, handled.modified);
        }
        files.Get(handled.file, path);
        if (style_.separator != '/') std::replace(path.begin(), path.end(), style_.separator, '/');
        const std::string_view source = path;
        const std::size_t cut = source.size() - handled.suffix;
        return HashEntry(prefixHashes[handled.prefix], source.substr(0, cut), source.substr(cut), handled.size,
                         handled.modified);
    };
    std::uint64_t digest = handled_.size();
    for (const Handled& handled : handled_) digest = NextDigest(digest, hashOf(handled).entry);

    // A repeat that handled what the backup that wrote the index handled, in
    // the same order, leaves it as it is, read no further than its first
    // line: that backup's entries are all in it. So does one whose every
    // entry the index holds (another backup into the same destination wrote
    // it last).
    bool readable = false;
    if (std::unique_ptr<ReservedReader> in = session.OpenIndex()) {
        LineReader lines(*in);
        const std::optional<std::uint64_t> held = ReadDigest(lines);
        if (held == digest) return false;
        readable = held.has_value();
        if (readable) {
            std::vector<std::uint64_t> entries;
            entries.reserve(handled_.size());
            for (const Handled& handled : handled_) entries.push_back(hashOf(handled).entry);
            std::sort(entries.begin(), entries.end());
            entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
            std::vector<bool> found(entries.size());
            std::size_t missing = entries.size();
            ForEachEntry(lines, [&](std::string_view t, std::string_view s, std::uint64_t size, std::int64_t modified) {
                const std::uint64_t entry = HashEntry(t, s, size, modified).entry;
                const auto at = std::lower_bound(entries.begin(), entries.end(), entry);
                if (at != entries.end() && *at == entry && !found[static_cast<std::size_t>(at - entries.begin())]) {
                    found[static_cast<std::size_t>(at - entries.begin())] = true;
                    --missing;
                }
                return missing != 0;
            });
            if (missing == 0) return false;
        }
    }
    const std::unique_ptr<ReservedWriter> out = session.ReplaceIndex();
    if (!out) return false;

    // The handled files first, in their order, a target met twice by its
    // last file alone; then the old entries of every other target, read
    // again a line at a time.
    std::vector<std::uint64_t> sorted;
    sorted.reserve(handled_.size());
    for (const Handled& handled : handled_) sorted.push_back(hashOf(handled).target);
    std::sort(sorted.begin(), sorted.end());
    std::unordered_map<std::uint64_t, std::size_t> last;  // the last file of each target met twice
    for (std::size_t i = 1; i < sorted.size(); ++i)
        if (sorted[i] == sorted[i - 1]) last[sorted[i]] = 0;
    if (!last.empty())
        for (std::size_t i = 0; i < handled_.size(); ++i)
            if (const auto it = last.find(hashOf(handled_[i]).target); it != last.end()) it->second = i;
    constexpr std::size_t kChunk = std::size_t {1} << 16;
    std::string target, source;
    std::string text = Header(digest);
    Writer writer(text);
    auto drain = [&](std::size_t least) {
        if (text.size() < least) return;
        out->Write(text.data(), text.size());
        text.clear();
    };
    for (std::size_t i = 0; i < handled_.size(); ++i) {
        if (!last.empty())
            if (const auto it = last.find(hashOf(handled_[i]).target); it != last.end() && it->second != i) continue;
        EntryOf(handled_[i], files, target, source);
        writer.Add(target, source, handled_[i].size, handled_[i].modified);
        drain(kChunk);
    }
    if (readable)
        if (const std::unique_ptr<ReservedReader> in = session.OpenIndex()) {
            LineReader lines(*in);
            if (ReadDigest(lines))
                ForEachEntry(
                    lines, [&](std::string_view t, std::string_view s, std::uint64_t size, std::int64_t modified) {
                        if (!std::binary_search(sorted.begin(), sorted.end(), HashEntry(t, s, size, modified).target)) {
                            writer.Add(t, s, size, modified);
                            drain(kChunk);
                        }
                        return true;
                    });
        }
    drain(0);
    out->Commit();
    return true;
}

}  // namespace tandrel
