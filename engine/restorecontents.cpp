// What a destination holds: its current copies, the copies its versions
// folder keeps, and where each came from; the choice of a copy by date.
#include <algorithm>
#include <limits>
#include <unordered_map>

#include "engine/detail/versionnames.h"
#include "engine/restore.h"
#include "engine/restoreindex.h"
#include "support/quoted.h"

namespace tandrel {

namespace {

constexpr std::int64_t kSecond = 1000000000;

// A file of our own at the top of a destination, which holds no copy.
bool OwnTopFile(const std::string& name)
{
    return name == kDestinationLockName || name == kHashRecordName || name == kRestoreIndexName;
}

bool IsAbsolute(const std::string& path, PathStyle style)
{
    if (style.separator == '/') return !path.empty() && path[0] == '/';
    return (path.size() > 2 && path[1] == ':' && path[2] == '\\') || path.starts_with("\\\\");
}

// What a walk leaves out at the top of the folder it walks: at the top of
// the destination our own files and the versions folder, at the top of a
// run folder its marker.
enum class Top { Destination, Run, Below };

// Every file below `folder` (links to files among them: a link is looked at
// itself, never followed), by its path below it with "/" between names;
// what can't be read is told to `problems`.
template <typename Each>
void Walk(FileSystem& fs, const std::string& folder, const std::string& below, PathStyle style, Top top,
          std::vector<std::string>& problems, const Each& each)
{
    Listing listing;
    try {
        listing = fs.List(folder);
    } catch (const FsError& failure) {
        problems.push_back(failure.what());
        return;
    }
    for (const FsError& failure : listing.failures) problems.push_back(failure.what());
    for (const std::string& file : listing.files) {
        const std::string name = FileName(file, style);
        if (IsCopyTemporaryName(name) || (top == Top::Destination && OwnTopFile(name)) ||
            (top == Top::Run && name == versions::kRunMarker))
            continue;
        try {
            const FileLook look = fs.Look(file);
            if (look.kind == FileLook::Kind::File || look.kind == FileLook::Kind::Link) each(below + name, file, look);
        } catch (const FsError& failure) {
            problems.push_back(failure.what());
        }
    }
    for (const std::string& sub : listing.folders) {
        const std::string name = FileName(sub, style);
        if (top == Top::Destination && name == kVersionsFolderName) continue;
        Walk(fs, sub, below + name + "/", style, Top::Below, problems, each);
    }
}

}  // namespace

const HeldCopy* CopyAt(const HeldFile& file, std::int64_t at)
{
    const std::int64_t latest = at > std::numeric_limits<std::int64_t>::max() / kSecond - 1
                                    ? std::numeric_limits<std::int64_t>::max()
                                    : at * kSecond + (kSecond - 1);
    const HeldCopy* chosen = nullptr;
    // The current copy comes first: of two copies of the same time, it wins.
    for (const HeldCopy& copy : file.copies)
        if (copy.modified <= latest && (!chosen || copy.modified > chosen->modified)) chosen = &copy;
    return chosen;
}

BackupContents BackupContents::Read(FileSystem& fs, const std::string& destinationPath, PathStyle style)
{
    BackupContents contents;
    contents.style_ = style;
    contents.destination_ = JoinPath(destinationPath, "", style);
    const std::string& destination = contents.destination_;
    if (!fs.DirectoryExists(destination))
        throw FsError(
            "There is no folder " + support::Quoted(WithoutFinalSeparator(destination, style)) + " to restore from",
            FsError::Kind::Missing, 0, destination);
    std::unordered_map<std::string, HeldFile> held;
    auto add = [&](const std::string& target, const std::string& path, const FileLook& look, std::int64_t keptAt) {
        HeldFile& file = held[target];
        file.target = target;
        file.copies.push_back({path, keptAt, look.size, look.modified});
    };
    std::vector<std::string>& problems = contents.problems_;
    Walk(fs, destination, "", style, Top::Destination, problems,
         [&](const std::string& target, const std::string& path, const FileLook& look) { add(target, path, look, 0); });

    // The run folders of the versions folder: those of our names that hold
    // our marker.
    const std::string versionsFolder = destination + kVersionsFolderName;
    if (fs.DirectoryExists(versionsFolder)) {
        Listing runs;
        try {
            runs = fs.List(versionsFolder);
        } catch (const FsError& failure) {
            problems.push_back(failure.what());
        }
        for (const std::string& run : runs.folders) {
            const std::int64_t time = versions::RunTime(FileName(run, style));
            if (time < 0) continue;
            try {
                if (fs.Look(JoinPath(run, versions::kRunMarker, style)).kind != FileLook::Kind::File) continue;
            } catch (const FsError& failure) {
                problems.push_back(failure.what());
                continue;
            }
            Walk(fs, run, "", style, Top::Run, problems,
                 [&](const std::string& target, const std::string& path, const FileLook& look) {
                     add(target, path, look, time);
                 });
        }
    }

    // Where the copies came from, by the index; the first entry of a target
    // stands.
    try {
        const std::unique_ptr<CopySession> session = fs.BeginCopy(destination);
        if (const std::unique_ptr<ReservedReader> in = session->OpenIndex()) {
            ReadIndex(*in, style, [&](IndexEntry& entry) {
                if (const auto it = held.find(entry.target); it != held.end() && it->second.source.empty())
                    it->second.source = std::move(entry.source);
            });
            contents.hasIndex_ = true;
        }
    } catch (const FsError& failure) {
        problems.push_back(failure.what());
    }

    contents.files_.reserve(held.size());
    for (auto& [target, file] : held) {
        std::sort(file.copies.begin(), file.copies.end(), [](const HeldCopy& a, const HeldCopy& b) {
            if ((a.keptAt == 0) != (b.keptAt == 0)) return a.keptAt == 0;
            return a.keptAt != b.keptAt ? a.keptAt > b.keptAt : a.path > b.path;
        });
        contents.files_.push_back(std::move(file));
    }
    std::sort(contents.files_.begin(), contents.files_.end(), [](const HeldFile& a, const HeldFile& b) {
        if (a.source.empty() != b.source.empty()) return b.source.empty();
        return a.source != b.source ? a.source < b.source : a.target < b.target;
    });
    return contents;
}

std::optional<std::string> BackupContents::BelowDestination(const std::string& path) const
{
    std::string given = path;
    while (given.size() > 1 && (given.back() == style_.separator || given.back() == '/') && !IsRoot(given, style_))
        given.pop_back();
    std::string below;
    if (given == WithoutFinalSeparator(destination_, style_) || given == destination_) {
        below.clear();
    } else if (given.starts_with(destination_)) {
        below = given.substr(destination_.size());
    } else if (!IsAbsolute(given, style_)) {
        below = given == "." ? std::string() : given;
        if (below.starts_with("./") || (style_.separator != '/' && below.starts_with(".\\"))) below.erase(0, 2);
    } else {
        return std::nullopt;
    }
    if (style_.separator != '/') std::replace(below.begin(), below.end(), style_.separator, '/');
    return below;
}

std::vector<const HeldFile*> BackupContents::Select(const std::string& path) const
{
    std::vector<const HeldFile*> selected;
    if (const std::optional<std::string> below = BelowDestination(path)) {
        for (const HeldFile& file : files_)
            if (below->empty() || file.target == *below ||
                (file.target.starts_with(*below) && file.target[below->size()] == '/'))
                selected.push_back(&file);
        return selected;
    }
    std::string source = path;
    while (source.size() > 1 && source.back() == style_.separator && !IsRoot(source, style_)) source.pop_back();
    const std::string folder = IsRoot(source, style_) ? source : source + style_.separator;
    for (const HeldFile& file : files_)
        if (file.source == source || file.source.starts_with(folder)) selected.push_back(&file);
    return selected;
}

}  // namespace tandrel
