// Gathering: turns backup-list entries into the flat list of files to copy.
#include <deque>
#include <mutex>
#include <utility>

#include "engine/engine.h"
#include "engine/restore.h"
#include "support/quoted.h"

namespace tandrel {

namespace {

enum class Visit {
    Folder,   // a folder was listed (or its listing failed and the user went on)
    File,     // a file entry was added
    Missing,  // nothing exists at the path: the whole walk ends in error
    Stop,     // a visit failed and the user chose to stop
    Cleared,  // the lists were emptied under the walk: add nothing more
    LeftOut,  // the entry itself is left out by a rule: the next entry follows
};

// The name at the end of a path the file system listed.
std::string_view NameOf(const std::string& path, PathStyle style)
{
    const std::size_t separator = path.rfind(style.separator);
    return separator == std::string::npos ? std::string_view(path) : std::string_view(path).substr(separator + 1);
}

// Where a walk started, so that its error path can take the job state back.
struct WalkStart {
    std::uint64_t fileGeneration;
    std::uint64_t folderGeneration;
    std::size_t files;
    std::size_t folders;
    std::int32_t fileCount;
    std::int32_t folderCount;
};

}  // namespace

BackupEngine::BackupEngine(JobState& state, JobHost& host, FileSystem& fs, PathStyle style)
    : state_(state), host_(host), fs_(fs), style_(style)
{
}

// One gathering's walk: where it started, and its visits of paths.
struct BackupEngine::Walk {
    BackupEngine& engine;
    SyncList& files;
    SyncList& folders;
    bool subdirsFlag;
    WalkStart start;
    // What leaves things out (null: nothing); the rules of the folder being
    // visited; those of the folders queued by this walk, in queue order.
    std::shared_ptr<const Exclusions> rules;
    std::shared_ptr<const ExclusionScope> scope;
    std::deque<std::shared_ptr<const ExclusionScope>> queuedScopes;
    bool atEntry = false;
    std::vector<LeftOutItem> leftOut;

    // Whether a folder's listing holds a valid CACHEDIR.TAG. The listing is
    // made anyway, so a folder without one costs nothing more.
    bool TaggedAsCache(const Listing& listing)
    {
        for (const std::string& file : listing.files) {
            if (!rules->SameName(NameOf(file, engine.style_), kCacheTagName)) continue;
            const std::optional<std::string> tag = engine.fs_.ReadStart(file, kCacheTagSignature.size());
            return tag && *tag == kCacheTagSignature;
        }
        return false;
    }

    // A backup-list entry left out as a whole: told of, as a warning.
    void WarnEntry(const std::string& path, bool folder, const std::string& rule)
    {
        leftOut.push_back({path, folder, rule});
        engine.host_.Show(
            {text::kLeftOutEntryText + support::Quoted(path) + text::kLeftOutEntryMiddle + support::Quoted(rule),
             text::kWarningTitle, MessageBoxButtons::OK, MessageBoxIcon::Warning});
    }

    // Whether a rule or a folder left out holds the entry itself.
    bool EntryLeftOut(const std::string& path, bool folder)
    {
        const std::string name = FileName(WithoutFinalSeparator(path, engine.style_), engine.style_);
        if (const ExclusionRule* by = name.empty() ? nullptr : scope->EntryLeftOutBy(name, folder))
            WarnEntry(path, folder, by->Text());
        else if (const Exclusions::Folder* held = rules->FolderHolding(path))
            WarnEntry(path, folder, held->label);
        else
            return false;
        return true;
    }

    // Takes out of a folder's listing what the rules leave out, and notes
    // the rules of each sub-folder that will be walked. The folder's own
    // .tandrelignore holds for everything in it.
    void Filter(Listing& listing)
    {
        const Exclusions& with = *rules;
        const PathStyle style = engine.style_;
        for (const std::string& file : listing.files) {
            if (!with.SameName(NameOf(file, style), kIgnoreFileName)) continue;
            if (const std::optional<std::string> text = engine.fs_.ReadStart(file, kIgnoreFileLimit))
                scope = scope->WithIgnoreFile(*text);
            break;
        }
        std::erase_if(listing.files, [&](const std::string& file) {
            const ExclusionRule* by = scope->LeftOutBy(NameOf(file, style), false);
            if (by) leftOut.push_back({file, false, by->Text()});
            return by != nullptr;
        });
        std::erase_if(listing.folders, [&](const std::string& folder) {
            const std::string_view name = NameOf(folder, style);
            std::string rule;
            if (const ExclusionRule* by = scope->LeftOutBy(name, true))
                rule = by->Text();
            else if (const Exclusions::Folder* at = with.FolderAt(folder))
                rule = at->label;
            if (!rule.empty()) {
                leftOut.push_back({folder, true, std::move(rule)});
                return true;
            }
            if (subdirsFlag) queuedScopes.push_back(scope->Child(name));
            return false;
        });
    }
    static constexpr std::size_t kIgnoreFileLimit = 1 << 20;

    // A clear empties the file list first, then the folder list: one that
    // began while the start was read shows here, and the walk must not mix the
    // folder list's new generation with the file list's old one.
    bool Cleared() const
    {
        return files.Generation() != start.fileGeneration || folders.Generation() != start.folderGeneration;
    }

    // Visiting a path: a folder's files (and, with sub-folders, its
    // sub-folders queued), or a file entry itself.
    Visit VisitPath(const std::string& path)
    {
        JobState& state = engine.state_;
        const bool entry = std::exchange(atEntry, false);
        try {
            if (engine.fs_.DirectoryExists(path)) {
                if (rules && entry && EntryLeftOut(path, true)) return Visit::LeftOut;
                Listing listing = engine.fs_.List(path);
                // A destination's record of hashes and its index stand for
                // that destination's copies, not for the copies of a backup
                // of it.
                std::erase_if(listing.files, [&](const std::string& file) {
                    const std::string name = FileName(file, engine.style_);
                    return name == kHashRecordName || name == kRestoreIndexName;
                });
                if (rules && rules->taggedCaches && TaggedAsCache(listing)) {
                    // Its own listing told; nothing in it is taken or walked.
                    if (entry) {
                        WarnEntry(path, true, kCacheTagName);
                        return Visit::LeftOut;
                    }
                    leftOut.push_back({path, true, kCacheTagName});
                    return Visit::Folder;
                }
                if (rules) Filter(listing);
                if (!listing.files.empty() &&
                    !files.AddRange(std::move(listing.files), start.fileGeneration, &state.fileCount))
                    return Visit::Cleared;
                if (subdirsFlag && !listing.folders.empty() &&
                    !folders.AddRange(std::move(listing.folders), start.folderGeneration, &state.folderCount))
                    return Visit::Cleared;
                // Entries it could not look at, as a folder it could not list.
                for (const FsError& failure : listing.failures) {
                    if (Cleared()) return Visit::Cleared;
                    if (Warn(failure.what()) == Visit::Stop) return Visit::Stop;
                }
                return Visit::Folder;
            }
            if (engine.fs_.FileExists(path)) {
                if (rules && entry && EntryLeftOut(path, false)) return Visit::LeftOut;
                std::vector<std::string> one {path};
                if (!files.AddRange(std::move(one), start.fileGeneration, &state.fileCount)) return Visit::Cleared;
                return Visit::File;
            }
            return Visit::Missing;
        } catch (const std::exception& failure) {
            if (Cleared()) return Visit::Cleared;  // nobody needs to hear about it
            return Warn(failure.what());
        }
    }

    // A path the walk could not read: said, and the user goes on or stops.
    Visit Warn(const std::string& message)
    {
        JobHost& host = engine.host_;
        host.Show({message, text::kWarningTitle, MessageBoxButtons::OK, MessageBoxIcon::Warning});
        const DialogResult answer =
            host.Show({text::kContinueText, text::kContinueTitle, MessageBoxButtons::YesNo, MessageBoxIcon::Question});
        return answer == DialogResult::Yes ? Visit::Folder : Visit::Stop;
    }

    // Walks every entry in order, each folder tree breadth first, until an
    // entry is missing, the user stops or the lists are cleared.
    Visit Entries(const std::vector<std::string>& folderArray)
    {
        std::size_t readPosition = start.folders;
        Visit outcome = Cleared() ? Visit::Cleared : Visit::Folder;
        for (const std::string& entry : folderArray) {
            if (outcome == Visit::Cleared) break;
            if (CountsAsFolder(entry) && !folders.AddToCounter(start.folderGeneration, engine.state_.folderCount, 1))
                return Visit::Cleared;
            std::string current = entry;
            if (rules) {
                scope = ExclusionScope::ForEntry(rules);
                atEntry = true;
            }
            for (;;) {
                outcome = VisitPath(current);
                if (outcome != Visit::Folder || !subdirsFlag) break;
                // Breadth first: the next unread folder of the queue, if any.
                if (!folders.TryAt(readPosition, start.folderGeneration, current)) break;
                ++readPosition;
                if (rules && !queuedScopes.empty()) {
                    scope = std::move(queuedScopes.front());
                    queuedScopes.pop_front();
                }
            }
            if (outcome == Visit::Missing || outcome == Visit::Stop || outcome == Visit::Cleared) break;
        }
        return outcome;
    }
};

void BackupEngine::GetFiles(std::vector<std::string> folderArray, bool subdirsFlag)
{
    SyncList& files = state_.syncfileList;
    SyncList& folders = state_.syncfolderList;
    std::unique_lock fileWalk(files.WalkLock());
    std::unique_lock folderWalk(folders.WalkLock());

    const std::string initalDir = folderArray.empty() ? std::string("DONE") : folderArray.front();
    state_.complete = false;
    state_.foldersComplete = false;
    state_.hasErrored = false;

    // Both generations are read under the walk locks; only a clear can move
    // them, and a walk that sees one adds nothing more.
    Walk walk {*this,
               files,
               folders,
               subdirsFlag,
               WalkStart {files.Generation(), folders.Generation(), files.Count(), folders.Count(),
                          state_.fileCount.load(), state_.folderCount.load()},
               exclusions_.load(),
               {},
               {},
               false,
               {}};
    if (walk.rules && !walk.rules->Any()) walk.rules.reset();
    const bool clearedAtStart = walk.Cleared();
    host_.ShowProgress();

    Visit outcome = clearedAtStart ? Visit::Cleared : walk.Entries(folderArray);
    // A walk whose lists were cleared under it, however it ended, is over:
    // no error box, no hasErrored and no hand-back, which would consume the
    // origin flag that the clearing command set for its own gathering.
    if (outcome != Visit::Cleared && walk.Cleared()) outcome = Visit::Cleared;

    if (outcome == Visit::Missing) {
        host_.Show({text::kLoadErrorText, text::kLoadErrorTitle, MessageBoxButtons::OK, MessageBoxIcon::Warning});
        // Only what this walk added goes; earlier gatherings stay.
        const WalkStart& start = walk.start;
        files.Truncate(start.files, start.fileGeneration, &state_.fileCount, start.fileCount);
        folders.Truncate(start.folders, start.folderGeneration, &state_.folderCount, start.folderCount);
        state_.hasErrored = true;
        walk.leftOut.clear();
    }
    {
        std::lock_guard lock(leftOutMutex_);
        leftOut_ = std::move(walk.leftOut);
    }

    fileWalk.unlock();
    folderWalk.unlock();
    // A walk cut short by a clear hands nothing back: the command that
    // cleared the lists gathers again and its ReturnFiles fills the list.
    if (outcome != Visit::Cleared) host_.ReturnFiles(folderArray, initalDir);
    state_.foldersComplete = true;
    state_.complete = true;
    host_.ShowProgress();
}

std::vector<LeftOutItem> BackupEngine::LeftOut() const
{
    std::lock_guard lock(leftOutMutex_);
    return leftOut_;
}

ReturnedFiles TakeReturnedFiles(JobState& state, const std::vector<std::string>& folderArray,
                                const std::string& initalDir)
{
    ReturnedFiles returned;
    if (!state.hasErrored) {
        if (state.filesOnly || state.dragNdrop || state.filelistLoad)
            returned.entries = folderArray;
        else
            returned.entries.push_back(initalDir);
    }
    state.dragNdrop = false;
    state.filesOnly = false;
    state.hasErrored = false;
    state.filelistLoad = false;
    returned.totalFiles = text::kTotalFiles + std::to_string(state.fileCount.load());
    returned.totalFolders = text::kTotalFolders + std::to_string(state.folderCount.load());
    return returned;
}

}  // namespace tandrel
