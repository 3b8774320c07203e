// The record of hashes, the verify at the end of a backup and the check of a
// backup alone.
#include "engine/hashrecord.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <mutex>
#include <thread>

#include "support/quoted.h"

namespace tandrel {

namespace {

constexpr std::string_view kRecordHeader = "tandrel-hashes 1";

void AppendEscaped(std::string& out, std::string_view path)
{
    for (const char c : path) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

std::optional<std::string> Unescaped(std::string_view text)
{
    std::string path;
    path.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            path += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        if (text[i] == '\\')
            path += '\\';
        else if (text[i] == 'n')
            path += '\n';
        else
            return std::nullopt;
    }
    return path;
}

// The next field of `line` up to a space, as a number.
template <typename Number>
bool TakeNumber(std::string_view& line, Number& value)
{
    const std::size_t cut = line.find(' ');
    if (cut == std::string_view::npos) return false;
    const auto [end, error] = std::from_chars(line.data(), line.data() + cut, value);
    if (error != std::errc() || end != line.data() + cut) return false;
    line.remove_prefix(cut + 1);
    return true;
}

// Runs `work(i)` for every i below `count`, on `threads` threads (the
// calling one among them).
void ForEach(std::size_t count, int threads, const std::function<void(std::size_t)>& work)
{
    std::atomic<std::size_t> next {0};
    auto serve = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < count;) work(i);
    };
    std::vector<std::thread> helpers;
    const std::size_t extra = std::min<std::size_t>(threads > 1 ? threads - 1 : 0, count > 0 ? count - 1 : 0);
    for (std::size_t i = 0; i < extra; ++i) helpers.emplace_back(serve);
    serve();
    for (std::thread& helper : helpers) helper.join();
}

// What differs between a copy read back and what it should hold; empty
// where nothing does.
std::string Difference(const StoredCopy& stored, std::uint64_t size, const ContentHash& hash)
{
    if (stored.missing) return "it is missing";
    if (stored.size != size) return "it holds " + std::to_string(stored.size) + " bytes, not " + std::to_string(size);
    if (!(stored.hash == hash)) return "its content differs (hash " + stored.hash.Hex() + ", not " + hash.Hex() + ")";
    return {};
}

}  // namespace

std::string FormatRecord(const HashRecord& record)
{
    std::string text(kRecordHeader);
    text += '\n';
    for (const auto& [path, copy] : record) {
        text += copy.hash.Hex();
        text += ' ';
        text += std::to_string(copy.size);
        text += ' ';
        text += std::to_string(copy.modified);
        text += ' ';
        text += std::to_string(copy.checked);
        text += ' ';
        AppendEscaped(text, path);
        text += '\n';
    }
    return text;
}

HashRecord ParseRecord(std::string_view text)
{
    HashRecord record;
    std::size_t cut = text.find('\n');
    if (text.substr(0, cut) != kRecordHeader) return record;
    while (cut != std::string_view::npos) {
        text.remove_prefix(cut + 1);
        cut = text.find('\n');
        std::string_view line = text.substr(0, cut);
        if (line.size() < 34 || line[32] != ' ') continue;
        const std::optional<ContentHash> hash = ContentHash::FromHex(line.substr(0, 32));
        line.remove_prefix(33);
        RecordedCopy copy;
        if (!hash || !TakeNumber(line, copy.size) || !TakeNumber(line, copy.modified) ||
            !TakeNumber(line, copy.checked) || line.empty())
            continue;
        copy.hash = *hash;
        if (std::optional<std::string> path = Unescaped(line)) record[std::move(*path)] = copy;
    }
    return record;
}

std::vector<std::string> VerifyCopies(CopySession& session, PlacedCopies& placed, int threads)
{
    // Only the copies that differ get a message, by their place.
    std::mutex mutex;
    std::map<std::size_t, std::string> differences;
    ForEach(placed.size(), threads, [&](std::size_t i) {
        const PlacedCopies::Copy& copy = placed[i];
        if (!copy.hashed) return;  // a link copied as a link: no data to read
        std::string difference;
        try {
            difference = Difference(session.ReadBack(placed.Target(copy)), copy.size, copy.hash);
        } catch (const std::exception& failure) {
            difference = failure.what();
        }
        if (difference.empty()) return;
        std::lock_guard lock(mutex);
        differences.emplace(i, std::move(difference));
    });
    std::vector<std::string> failures;
    for (const auto& [i, difference] : differences) {
        PlacedCopies::Copy& copy = placed[i];
        copy.failed = true;
        const std::string target = placed.Target(copy);
        if (const std::int64_t modified = session.MarkStale(target)) copy.modified = modified;
        failures.push_back("The copy " + support::Quoted(target) +
                           " does not hold what was read from its source: " + difference);
    }
    return failures;
}

void RecordCopies(CopySession& session, PlacedCopies& placed, std::int64_t verifiedAt)
{
    if (placed.empty()) return;
    const std::optional<std::string> old = session.LoadRecord();
    const bool hashed =
        std::any_of(placed.begin(), placed.end(), [](const PlacedCopies::Copy& copy) { return copy.hashed; });
    if (!old && !hashed) return;  // nothing recorded before, nothing now
    HashRecord record = old ? ParseRecord(*old) : HashRecord();
    std::string key;
    for (const PlacedCopies::Copy& copy : placed) {
        key.clear();
        placed.AppendKey(copy, key);
        if (!copy.hashed) {
            record.erase(key);
            continue;
        }
        const std::int64_t checked = verifiedAt > 0 && !copy.failed ? verifiedAt : 0;
        record[key] = {copy.size, copy.modified, copy.hash, checked};
    }
    session.SaveRecord(FormatRecord(record));
}

CheckSummary CheckCopies(CopySession& session, const std::string& destinationPath, PathStyle style, double percent,
                         std::int64_t now, int threads, const std::function<void(const std::string&)>& report)
{
    CheckSummary summary;
    const std::optional<std::string> text = session.LoadRecord();
    HashRecord record = text ? ParseRecord(*text) : HashRecord();
    summary.noRecord = record.empty();
    summary.recorded = static_cast<std::int64_t>(record.size());
    if (record.empty()) return summary;

    // Those checked longest ago first (never checked: first of all), in the
    // record's order among equals.
    std::vector<HashRecord::iterator> order;
    order.reserve(record.size());
    for (auto it = record.begin(); it != record.end(); ++it) order.push_back(it);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a->second.checked < b->second.checked; });
    const double share = std::clamp(percent, 0.0, 100.0) / 100.0;
    const auto count = std::clamp<std::size_t>(
        static_cast<std::size_t>(std::ceil(share * static_cast<double>(order.size()))), 1, order.size());
    order.resize(count);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a->first < b->first; });

    std::string folder = destinationPath;
    std::vector<std::string> problems(order.size());
    std::vector<char> gone(order.size(), 0);
    std::vector<std::int64_t> modified(order.size(), 0);
    ForEach(order.size(), threads, [&](std::size_t i) {
        const auto& [key, copy] = *order[i];
        std::string path = key;
        if (style.separator != '/') std::replace(path.begin(), path.end(), '/', style.separator);
        path = folder + path;
        try {
            const StoredCopy stored = session.ReadBack(path);
            gone[i] = stored.missing;
            problems[i] = Difference(stored, copy.size, copy.hash);
            // A copy that holds its data is whole, whatever its time says;
            // one whose time moved too was written to by another program.
            if (!problems[i].empty() && !stored.missing && stored.modified != copy.modified)
                problems[i] = "it was changed after it was recorded (its modification time moved): " + problems[i];
            else if (problems[i].empty())
                modified[i] = stored.modified;
        } catch (const std::exception& failure) {
            problems[i] = failure.what();
        }
    });
    for (std::size_t i = 0; i < order.size(); ++i) {
        ++summary.checked;
        RecordedCopy& copy = order[i]->second;
        if (problems[i].empty()) {
            copy.checked = now;
            copy.modified = modified[i];
            continue;
        }
        ++(gone[i] ? summary.missing : summary.damaged);
        std::string path = order[i]->first;
        if (style.separator != '/') std::replace(path.begin(), path.end(), '/', style.separator);
        report((gone[i] ? "missing: " : "damaged: ") + support::Quoted(folder + path) + ": " + problems[i]);
    }
    session.SaveRecord(FormatRecord(record));
    return summary;
}

}  // namespace tandrel
