// The restore: the chosen copies put back where their files were, or into a
// folder, through the same copy sessions as a backup, under the
// destination's lock.
#include "engine/restore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <unordered_set>

#include "support/quoted.h"

namespace tandrel {

using support::Quoted;

namespace {

enum class Conflict {
    None,     // nothing is there
    Same,     // the file there is the copy, as far as size and time tell
    Beside,   // another file is there: the copy goes beside it
    Replace,  // another file is there: it is kept, then replaced
};

struct Planned {
    const HeldFile* file = nullptr;
    const HeldCopy* copy = nullptr;
    std::string place;  // where the copy goes
    std::string root;   // the folder of the session that places it
    Conflict conflict = Conflict::None;
};

std::int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Native(std::string path, PathStyle style)
{
    if (style.separator != '/') std::replace(path.begin(), path.end(), '/', style.separator);
    return path;
}

// The deepest folder that holds both, compared name by name; the two lie on
// one drive.
std::string CommonFolder(const std::string& a, const std::string& b, PathStyle style)
{
    auto boundary = [&](const std::string& path, std::size_t n) {
        return n == path.size() || path[n] == style.separator;
    };
    std::size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
    while (n > 0 && !(boundary(a, n) && boundary(b, n))) --n;
    return n <= style.rootSeparatorIndex ? a.substr(0, style.rootSeparatorIndex + 1) : a.substr(0, n);
}

// The drive a path lies on ("C:", "\\", or "/").
std::string DriveOf(const std::string& path, PathStyle style)
{
    return path.substr(0, style.rootSeparatorIndex + 1);
}

// The name a restored copy takes beside a file that differs:
// "name (restored STAMP).ext", with a number after the stamp where that is
// taken too.
std::string BesideName(FileSystem& fs, const std::string& place, const std::string& stamp, PathStyle style,
                       const std::set<std::string>& planned)
{
    const std::string folder = SourceFolder(place, style);
    const std::string name = FileName(place, style);
    const std::size_t dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0;
    const std::string stem = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : std::string();
    for (int number = 1;; ++number) {
        const std::string candidate = JoinPath(
            folder, stem + " (restored " + stamp + (number > 1 ? " " + std::to_string(number) : "") + ")" + extension,
            style);
        if (number == 1000 || (!planned.count(candidate) && fs.Look(candidate).kind == FileLook::Kind::None))
            return candidate;
    }
}

// The folder the restored copies of `selection` keep their layout below,
// and the path of `file` below it: below the selected path's parent.
std::string LayoutBelow(const BackupContents& contents, const std::string& selection, const HeldFile& file)
{
    const PathStyle style = contents.Style();
    if (const std::optional<std::string> below = contents.BelowDestination(selection)) {
        const std::size_t cut = below->rfind('/');
        return Native(file.target.substr(cut == std::string::npos ? 0 : cut + 1), style);
    }
    std::string parent = SourceFolder(selection, style);
    if (!parent.empty() && parent.back() != style.separator) parent += style.separator;
    return file.source.substr(std::min(parent.size(), file.source.size()));
}

// The folder above the selected path, as the source of `file` has it: a
// restore makes the selected folder and all below it from there, through no
// link.
std::string SelectionParent(const BackupContents& contents, const std::string& selection, const HeldFile& file)
{
    const PathStyle style = contents.Style();
    const std::optional<std::string> below = contents.BelowDestination(selection);
    if (!below) return SourceFolder(selection, style);
    // The part of the target below the selection ends the source as well
    // where the file kept its folders (Directory Copy).
    const std::string rest = Native(file.target.substr(below->size()), style);
    if (!below->empty() && file.source.ends_with(rest))
        return SourceFolder(file.source.substr(0, file.source.size() - rest.size()), style);
    if (below->empty() && file.source.size() > rest.size() && file.source.ends_with(style.separator + rest))
        return WithoutFinalSeparator(file.source.substr(0, file.source.size() - rest.size()), style);
    return SourceFolder(file.source, style);
}

bool Inside(const std::string& path, const std::string& folder, PathStyle style)
{
    return path == WithoutFinalSeparator(folder, style) || path.starts_with(folder);
}

class Restorer {
public:
    Restorer(FileSystem& fs, const BackupContents& contents, const RestoreRequest& request, const RestoreReport& report)
        : fs_(fs), contents_(contents), request_(request), report_(report), style_(contents.Style()), started_(Now()),
          stamp_(LocalDateText(started_, '-'))
    {
    }

    RestoreSummary Run()
    {
        Plan();
        std::vector<const Planned*> copies;
        for (const Planned& item : plan_) {
            if (item.conflict == Conflict::Same) {
                ++summary_.same;
                continue;
            }
            copies.push_back(&item);
            if (report_.planned) report_.planned({item.copy->path, item.place});
        }
        if (request_.dryRun) {
            for (const Planned* item : copies) Count(*item, static_cast<std::int64_t>(item->copy->size));
            return summary_;
        }
        if (copies.empty() || !TakeDestination()) return summary_;
        std::int64_t done = 0;
        for (const Planned* item : copies) {
            if (report_.cancelled && report_.cancelled()) break;
            Place(*item);
            if (report_.progress) report_.progress(++done, static_cast<std::int64_t>(copies.size()));
        }
        Finish();
        return summary_;
    }

private:
    struct Session {
        std::unique_ptr<CopySession> session;
        std::string lastFolder;  // the folder made (or found) for the file before
        std::int64_t restored = 0;
    };

    void Fail(const std::string& message)
    {
        ++summary_.failed;
        if (report_.failure) report_.failure(message);
    }

    void Count(const Planned& item, std::int64_t bytes)
    {
        ++summary_.restored;
        summary_.bytes += bytes;
        if (item.conflict == Conflict::Beside) ++summary_.beside;
        if (item.conflict == Conflict::Replace) ++summary_.replaced;
    }

    void Plan()
    {
        const std::string& destination = contents_.Destination();
        std::unordered_set<const HeldFile*> seen;
        std::set<std::string> places;
        std::int64_t unrecorded = 0;
        for (const std::string& selection : request_.paths) {
            const std::vector<const HeldFile*> files = contents_.Select(selection);
            if (files.empty()) summary_.unmatched.push_back(selection);
            const std::size_t first = plan_.size();
            std::map<std::string, std::string> roots;  // by drive
            for (const HeldFile* file : files) {
                if (!seen.insert(file).second) continue;
                Planned item;
                item.file = file;
                item.copy = request_.at ? CopyAt(*file, *request_.at) : &file->copies.front();
                if (!item.copy) {
                    ++summary_.tooNew;
                    continue;
                }
                if (!request_.to.empty()) {
                    item.place = JoinPath(request_.to, LayoutBelow(contents_, selection, *file), style_);
                    item.root = WithoutFinalSeparator(request_.to, style_);
                } else if (file->source.empty()) {
                    ++unrecorded;
                    continue;
                } else {
                    item.place = file->source;
                    item.root = SelectionParent(contents_, selection, *file);
                }
                if (Inside(item.place, destination, style_)) {
                    Fail("Could not restore " + Quoted(item.copy->path) + " to " + Quoted(item.place) +
                         ": that lies inside the backup itself");
                    continue;
                }
                try {
                    item.conflict = ConflictAt(item, places);
                } catch (const FsError& failure) {
                    Fail("Could not restore " + Quoted(item.copy->path) + " to " + Quoted(item.place) + ": " +
                         failure.what());
                    continue;
                }
                places.insert(item.place);
                const auto [root, added] = roots.emplace(DriveOf(item.root, style_), item.root);
                if (!added) root->second = CommonFolder(root->second, item.root, style_);
                plan_.push_back(std::move(item));
            }
            // One session for the whole selection (on each drive), from the
            // deepest folder that holds all its places.
            for (std::size_t i = first; i < plan_.size(); ++i) plan_[i].root = roots[DriveOf(plan_[i].root, style_)];
        }
        if (unrecorded > 0) {
            summary_.failed += unrecorded;
            if (report_.failure)
                report_.failure("Could not restore " + std::to_string(unrecorded) +
                                (unrecorded == 1 ? " file" : " files") + " to where " +
                                (unrecorded == 1 ? "it was" : "they were") + ": " +
                                Quoted(WithoutFinalSeparator(destination, style_)) +
                                " does not record where its files came from (an older Tandrel made it); restore "
                                "them into a folder of your choice instead");
        }
    }

    Conflict ConflictAt(Planned& item, const std::set<std::string>& places)
    {
        const FileLook there = fs_.Look(item.place);
        const bool planned = places.count(item.place) > 0;
        if (!planned && there.kind == FileLook::Kind::None) return Conflict::None;
        if (there.kind == FileLook::Kind::Folder)
            throw FsError("a folder of that name is there", FsError::Kind::Other, 0, item.place);
        if (!planned && (there.kind == FileLook::Kind::File || there.kind == FileLook::Kind::Link) &&
            there.size == item.copy->size && there.modified == item.copy->modified)
            return Conflict::Same;
        if (request_.replace && !planned) return Conflict::Replace;
        item.place = BesideName(fs_, item.place, stamp_, style_, places);
        return Conflict::Beside;
    }

    // Takes the destination for the restore, waiting while a backup holds
    // it for as long as the report wants to.
    bool TakeDestination()
    {
        try {
            destination_ = fs_.BeginCopy(contents_.Destination());
            while (!destination_->TryLock()) {
                if (!report_.waitForLock || !report_.waitForLock()) {
                    summary_.lockRefused = true;
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        } catch (const FsError& failure) {
            for (std::size_t i = 0; i < plan_.size(); ++i)
                if (plan_[i].conflict != Conflict::Same) ++summary_.failed;
            if (report_.failure) report_.failure(failure.what());
            return false;
        }
        // What a restore keeps of the files it replaces is reached from the
        // folders it restores into, through no link.
        std::set<std::string> roots;
        for (const Planned& item : plan_) roots.insert(item.root);
        destination_->SetEntries(std::make_shared<const std::vector<std::string>>(roots.begin(), roots.end()));
        destination_->KeepReplacedIn(started_);
        return true;
    }

    Session& SessionFor(const std::string& root)
    {
        Session& session = sessions_[root];
        if (!session.session) {
            session.session = fs_.BeginCopy(JoinPath(root, "", style_));
            // The stored copies are reached from the destination, through no
            // link.
            session.session->SetEntries(std::make_shared<const std::vector<std::string>>(
                1, WithoutFinalSeparator(contents_.Destination(), style_)));
        }
        return session;
    }

    // The folder of the stored copy, where its levels stand for those the
    // place needs (the file kept its folders): the folders made take its
    // modes.
    std::string Mirrored(const Planned& item) const
    {
        const std::size_t cut = item.file->target.rfind('/');
        if (cut == std::string::npos) return {};
        const std::string folders = Native(item.file->target.substr(0, cut), style_);
        const std::string placeFolder = SourceFolder(item.place, style_);
        const std::string copyFolder = SourceFolder(item.copy->path, style_);
        return placeFolder.ends_with(style_.separator + folders) && copyFolder.ends_with(style_.separator + folders)
                   ? copyFolder
                   : std::string();
    }

    // Keeps the file at the place in the destination's versions folder,
    // under the file's path there, before it is replaced.
    void Keep(const Planned& item)
    {
        try {
            if (keptIn_.empty()) keptIn_ = destination_->KeepingFolder();
            const std::string kept = JoinPath(keptIn_, Native(item.file->target, style_), style_);
            destination_->CreateDirectory(SourceFolder(kept, style_));
            const std::unique_ptr<FileCopy> copy = destination_->Open(item.place);
            destination_->Work(*copy, kept, false);
            destination_->Commit(*copy);
            keptAny_ = true;
        } catch (const FsError& failure) {
            throw FsError("Could not restore " + Quoted(item.copy->path) + " to " + Quoted(item.place) +
                              ": the file there could not be kept first: " + failure.what(),
                          failure.kind(), failure.code(), failure.path());
        }
    }

    void Place(const Planned& item)
    {
        try {
            Session& session = SessionFor(item.root);
            const std::string folder = SourceFolder(item.place, style_);
            if (folder != session.lastFolder) {
                if (!session.session->DirectoryExists(folder)) session.session->CreateDirectory(folder, Mirrored(item));
                session.lastFolder = folder;
            }
            if (item.conflict == Conflict::Replace) Keep(item);
            const std::unique_ptr<FileCopy> copy = session.session->Open(item.copy->path);
            session.session->Work(*copy, item.place, item.conflict == Conflict::Replace);
            if (session.session->Commit(*copy) == CopyOutcome::UpToDate) {
                ++summary_.same;
                return;
            }
            Count(item, static_cast<std::int64_t>(copy->length));
            ++session.restored;
        } catch (const std::exception& failure) {
            Fail(failure.what());
        }
    }

    // Puts what was restored on disk, and what was kept.
    void Finish()
    {
        for (auto& [root, session] : sessions_) {
            try {
                session.session->Finish();
            } catch (const std::exception& failure) {
                const auto* flush = dynamic_cast<const FlushError*>(&failure);
                const std::int64_t lost = std::min(flush ? flush->files() : session.restored, session.restored);
                summary_.restored -= lost;
                summary_.failed += lost;
                if (report_.failure) report_.failure(failure.what());
            }
        }
        sessions_.clear();
        if (keptAny_) summary_.keptIn = keptIn_;
        try {
            destination_->Finish();
        } catch (const std::exception& failure) {
            if (report_.failure) report_.failure(failure.what());
        }
    }

    FileSystem& fs_;
    const BackupContents& contents_;
    const RestoreRequest& request_;
    const RestoreReport& report_;
    PathStyle style_;
    std::int64_t started_;
    std::string stamp_;
    std::vector<Planned> plan_;
    RestoreSummary summary_;
    std::unique_ptr<CopySession> destination_;  // holds the destination's lock
    std::map<std::string, Session> sessions_;   // by the folder each restores into
    std::string keptIn_;
    bool keptAny_ = false;
};

}  // namespace

RestoreSummary Restore(FileSystem& fs, const BackupContents& contents, const RestoreRequest& request,
                       const RestoreReport& report)
{
    return Restorer(fs, contents, request, report).Run();
}

std::string LocalDateText(std::int64_t seconds, char timeSeparator)
{
    const auto t = static_cast<std::time_t>(seconds);
    std::tm parts {};
#ifdef _WIN32
    localtime_s(&parts, &t);
#else
    localtime_r(&t, &parts);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d%c%02d%c%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, timeSeparator, parts.tm_min, timeSeparator, parts.tm_sec);
    return text;
}

}  // namespace tandrel
