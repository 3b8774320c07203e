// The record of hashes, the verify at the end of a backup and the check of a
// backup alone.
#include "engine/hashrecord.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <utility>

#include "engine/reservedlines.h"
#include "support/quoted.h"

namespace tandrel {

namespace {

constexpr std::string_view kRecordHeader = "tandrel-hashes 1";

using RecordEntry = std::pair<std::string, RecordedCopy>;

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

bool Unescape(std::string_view text, std::string& path)
{
    path.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            path += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        if (text[i] == '\\')
            path += '\\';
        else if (text[i] == 'n')
            path += '\n';
        else
            return false;
    }
    return true;
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

template <typename Number>
void AppendNumber(std::string& out, Number value)
{
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
}

// One line of the record, with its line break.
void AppendLine(std::string& out, std::string_view key, const RecordedCopy& copy)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const std::uint64_t half : {copy.hash.high, copy.hash.low})
        for (int shift = 60; shift >= 0; shift -= 4) out += kDigits[(half >> shift) & 15];
    out += ' ';
    AppendNumber(out, copy.size);
    out += ' ';
    AppendNumber(out, copy.modified);
    out += ' ';
    AppendNumber(out, copy.checked);
    out += ' ';
    AppendEscaped(out, key);
    out += '\n';
}

// The entry of one line of the record; false where it can't be read.
bool ParseLine(std::string_view line, std::string& key, RecordedCopy& copy)
{
    if (line.size() < 34 || line[32] != ' ') return false;
    const std::optional<ContentHash> hash = ContentHash::FromHex(line.substr(0, 32));
    line.remove_prefix(33);
    if (!hash || !TakeNumber(line, copy.size) || !TakeNumber(line, copy.modified) || !TakeNumber(line, copy.checked) ||
        line.empty())
        return false;
    copy.hash = *hash;
    return Unescape(line, key);
}

// The entries of a record in the order of its lines, those that can't be
// read left out; none in a file of another kind.
class RecordLines {
public:
    explicit RecordLines(ReservedReader& in) : lines_(in) {}
    bool Next(std::string& key, RecordedCopy& copy)
    {
        std::string_view line;
        if (!started_) {
            started_ = true;
            ended_ = !lines_.Next(line) || line != kRecordHeader;
        }
        while (!ended_ && lines_.Next(line))
            if (ParseLine(line, key, copy)) return true;
        ended_ = true;
        return false;
    }

private:
    LineReader lines_;
    bool started_ = false;
    bool ended_ = false;
};

// Entries held in memory, in order.
class EntryList {
public:
    explicit EntryList(const std::vector<RecordEntry>& entries) : entries_(entries) {}
    bool Next(std::string& key, RecordedCopy& copy)
    {
        if (next_ == entries_.size()) return false;
        key = entries_[next_].first;
        copy = entries_[next_++].second;
        return true;
    }

private:
    const std::vector<RecordEntry>& entries_;
    std::size_t next_ = 0;
};

// The entries of `Source` one a key, in the order of their keys: of several
// in a row for one key, the last. An entry out of that order ends them, and
// marks them disordered.
template <typename Source>
class InKeyOrder {
public:
    explicit InKeyOrder(Source source) : source_(std::move(source)) { pending_ = source_.Next(nextKey_, nextCopy_); }
    bool Next(std::string& key, RecordedCopy& copy)
    {
        if (!pending_) return false;
        std::swap(key, nextKey_);
        copy = nextCopy_;
        while ((pending_ = source_.Next(nextKey_, nextCopy_))) {
            const int order = nextKey_.compare(key);
            if (order > 0) break;
            if (order < 0) {
                disordered_ = true;
                pending_ = false;
                break;
            }
            copy = nextCopy_;
        }
        return true;
    }
    bool Disordered() const { return disordered_; }

private:
    Source source_;
    std::string nextKey_;
    RecordedCopy nextCopy_;
    bool pending_ = false;
    bool disordered_ = false;
};

// Every entry of a record, in the order of their keys (of several for one
// key, the last).
std::vector<RecordEntry> ReadWhole(ReservedReader& in)
{
    std::vector<RecordEntry> entries;
    RecordLines lines(in);
    std::string key;
    RecordedCopy copy;
    while (lines.Next(key, copy)) entries.emplace_back(key, copy);
    const auto byKey = [](const RecordEntry& a, const RecordEntry& b) { return a.first < b.first; };
    if (!std::is_sorted(entries.begin(), entries.end(), byKey)) std::stable_sort(entries.begin(), entries.end(), byKey);
    std::size_t kept = 0;
    for (RecordEntry& entry : entries) {
        if (kept > 0 && entries[kept - 1].first == entry.first) {
            entries[kept - 1].second = entry.second;
            continue;
        }
        if (&entries[kept] != &entry) entries[kept] = std::move(entry);
        ++kept;
    }
    entries.resize(kept);
    return entries;
}

// Writes the record: the old entries with the placed copies (in the order
// of their keys) merged in. False where the old entries turn out to be out
// of order, and what was written is to be dropped.
template <typename Source>
bool WriteMerged(LineWriter& out, InKeyOrder<Source>& old, const PlacedCopies& placed, std::int64_t verifiedAt)
{
    std::string line(kRecordHeader), key, oldKey;
    line += '\n';
    out.Write(line);
    RecordedCopy oldCopy;
    bool haveOld = old.Next(oldKey, oldCopy);
    auto writeOld = [&] {
        line.clear();
        AppendLine(line, oldKey, oldCopy);
        out.Write(line);
        haveOld = old.Next(oldKey, oldCopy);
    };
    for (std::size_t i = 0; i < placed.size();) {
        // Of the copies placed at one target, the last counts.
        std::size_t last = i;
        while (last + 1 < placed.size() && placed.CompareKeys(placed[last], placed[last + 1]) == 0) ++last;
        const PlacedCopies::Copy& copy = placed[last];
        int order = 1;
        while (haveOld && (order = placed.CompareKey(copy, oldKey)) > 0) writeOld();
        if (haveOld && order == 0) haveOld = old.Next(oldKey, oldCopy);  // replaced, or gone
        if (copy.hashed) {
            key.clear();
            placed.AppendKey(copy, key);
            line.clear();
            AppendLine(line, key,
                       {copy.size, copy.modified, copy.hash, verifiedAt > 0 && !copy.failed ? verifiedAt : 0});
            out.Write(line);
        }
        i = last + 1;
    }
    while (haveOld) writeOld();
    return !old.Disordered();
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
    for (const auto& [path, copy] : record) AppendLine(text, path, copy);
    return text;
}

HashRecord ParseRecord(std::string_view text)
{
    HashRecord record;
    std::size_t cut = text.find('\n');
    if (text.substr(0, cut) != kRecordHeader) return record;
    std::string key;
    RecordedCopy copy;
    while (cut != std::string_view::npos) {
        text.remove_prefix(cut + 1);
        cut = text.find('\n');
        if (ParseLine(text.substr(0, cut), key, copy)) record[key] = copy;
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
    std::unique_ptr<ReservedReader> old = session.OpenReserved(kHashRecord);
    const bool hashed =
        std::any_of(placed.begin(), placed.end(), [](const PlacedCopies::Copy& copy) { return copy.hashed; });
    if (!old && !hashed) return;  // nothing recorded before, nothing now
    placed.SortByKey();
    auto save = [&](auto entries) {
        std::unique_ptr<ReservedWriter> writer = session.ReplaceReserved(kHashRecord);
        if (!writer) return true;
        LineWriter out(std::move(writer));
        if (!WriteMerged(out, entries, placed, verifiedAt)) return false;
        out.Commit();
        return true;
    };
    const std::vector<RecordEntry> none;
    if (old ? save(InKeyOrder(RecordLines(*old))) : save(InKeyOrder(EntryList(none)))) return;
    // A record out of order was not written by a backup: it is read whole,
    // and put in order.
    old = session.OpenReserved(kHashRecord);
    const std::vector<RecordEntry> entries = old ? ReadWhole(*old) : none;
    save(InKeyOrder(EntryList(entries)));
}

CheckSummary CheckCopies(CopySession& session, const std::string& destinationPath, PathStyle style, double percent,
                         std::int64_t now, int threads, const std::function<void(const std::string&)>& report)
{
    CheckSummary summary;
    std::vector<RecordEntry> record;
    if (const std::unique_ptr<ReservedReader> in = session.OpenReserved(kHashRecord)) record = ReadWhole(*in);
    summary.noRecord = record.empty();
    summary.recorded = static_cast<std::int64_t>(record.size());
    if (record.empty()) return summary;

    // Those checked longest ago first (never checked: first of all), in the
    // record's order among equals.
    std::vector<std::size_t> order(record.size());
    std::iota(order.begin(), order.end(), std::size_t {0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return record[a].second.checked < record[b].second.checked; });
    const double share = std::clamp(percent, 0.0, 100.0) / 100.0;
    const auto count = std::clamp<std::size_t>(
        static_cast<std::size_t>(std::ceil(share * static_cast<double>(order.size()))), 1, order.size());
    order.resize(count);
    std::sort(order.begin(), order.end());

    auto pathOf = [&](const std::string& key) {
        std::string path = key;
        if (style.separator != '/') std::replace(path.begin(), path.end(), '/', style.separator);
        return destinationPath + path;
    };
    // Only the copies found wrong get a message, by their place in `order`;
    // each entry is read back, and updated, by one thread.
    struct Problem {
        std::string text;
        bool gone = false;
    };
    std::mutex mutex;
    std::map<std::size_t, Problem> problems;
    ForEach(order.size(), threads, [&](std::size_t i) {
        RecordedCopy& copy = record[order[i]].second;
        Problem problem;
        try {
            const StoredCopy stored = session.ReadBack(pathOf(record[order[i]].first));
            problem.gone = stored.missing;
            problem.text = Difference(stored, copy.size, copy.hash);
            if (problem.text.empty()) {
                copy.checked = now;
                copy.modified = stored.modified;
                return;
            }
            // A copy that holds its data is whole, whatever its time says;
            // one whose time moved too was written to by another program.
            if (!stored.missing && stored.modified != copy.modified)
                problem.text = "it was changed after it was recorded (its modification time moved): " + problem.text;
        } catch (const std::exception& failure) {
            problem.text = failure.what();
        }
        std::lock_guard lock(mutex);
        problems.emplace(i, std::move(problem));
    });
    summary.checked = static_cast<std::int64_t>(order.size());
    for (const auto& [i, problem] : problems) {
        ++(problem.gone ? summary.missing : summary.damaged);
        report((problem.gone ? "missing: " : "damaged: ") + support::Quoted(pathOf(record[order[i]].first)) + ": " +
               problem.text);
    }
    if (std::unique_ptr<ReservedWriter> writer = session.ReplaceReserved(kHashRecord)) {
        LineWriter out(std::move(writer));
        std::string line(kRecordHeader);
        line += '\n';
        out.Write(line);
        for (const auto& [key, copy] : record) {
            line.clear();
            AppendLine(line, key, copy);
            out.Write(line);
        }
        out.Commit();
    }
    return summary;
}

}  // namespace tandrel
