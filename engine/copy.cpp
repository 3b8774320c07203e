// The copy engine: one backup of the gathered files into the destination.
#include <string>
#include <string_view>
#include <unordered_set>

#include "engine.h"

namespace tandrel {

// The folders that one copy run writes into. The first time the run writes
// into a folder, it removes what copies killed before they finished left
// there; a folder that the run created itself has nothing to remove.
class CopyTargetFolders {
public:
    CopyTargetFolders(FileSystem& fs, PathStyle style) : fs_(fs), style_(style) {}

    void Created(const std::string& folder) { seen_.insert(folder); }

    void BeforeWriting(const std::string& target)
    {
        const std::size_t s = target.rfind(style_.separator);
        const std::string_view folder = std::string_view(target).substr(0, s == std::string::npos ? 0 : s + 1);
        if (folder == last_) return;  // files come folder by folder
        last_.assign(folder);
        if (seen_.insert(last_).second) fs_.RemoveCopyTemporaries(last_);
    }

private:
    FileSystem& fs_;
    PathStyle style_;
    std::unordered_set<std::string> seen_;
    std::string last_ = NoKey();
};

struct BackupEngine::CopyRun {
    CopyRun(FileSystem& fs, PathStyle style) : folders(fs, style) {}

    std::string destinationPath;
    std::string currentKey = NoKey();  // Directory Copy: the key that placed the previous file
    CopyTargetFolders folders;
    // Directory Copy: the sub-folder found (or made) for the previous file,
    // and whether the current file's sub-folder was taken from it unasked.
    std::string checkedFolder = NoKey();
    bool folderTakenAsChecked = false;
};

std::string CopiedMessage(std::int64_t bytes)
{
    return std::to_string(bytes / 1024) + text::kCopiedSuffix;
}

std::string BackupEngine::DirectoryCopyTarget(CopyRun& run, const std::string& file)
{
    const std::string source = SourceFolder(file, style_);
    if (source.find(run.currentKey) == std::string::npos) {
        bool found = false;
        if (const auto entries = state_.directoryData.load()) {
            for (const std::string& entry : *entries) {
                bool isFile = false;
                try {
                    isFile = fs_.FileExists(entry);
                } catch (const FsError&) {
                    // An entry the file system can't answer for is taken as a folder.
                }
                run.currentKey = EntryKey(entry, isFile, style_);
                if (source.find(run.currentKey) != std::string::npos) {
                    found = true;
                    break;
                }
            }
        }
        if (!found)
            throw FsError("Could not copy '" + file + "': it lies under no entry of the backup list");
    }
    const std::size_t p = source.find(run.currentKey);
    if (p == 0) return run.destinationPath + FileName(file, style_);
    std::string subFolder = run.destinationPath;
    subFolder.append(source, p, std::string::npos);
    subFolder.push_back(style_.separator);
    // Files come folder by folder: a folder is asked for once for the files
    // in a row that go into it. One that vanishes meanwhile is made again
    // when a copy into it fails (see Copy).
    run.folderTakenAsChecked = subFolder == run.checkedFolder;
    if (!run.folderTakenAsChecked) {
        if (!fs_.DirectoryExists(subFolder)) {
            fs_.CreateDirectory(subFolder);
            run.folders.Created(subFolder);
        }
        run.checkedFolder = subFolder;
    }
    return subFolder + FileName(file, style_);
}

void BackupEngine::Copy(std::vector<std::string> allFiles, std::string destinationPath, bool overwrite,
                        bool cdBackup, bool consolidate, bool directoryCopy)
{
    state_.complete = false;
    state_.hasErrored = false;

    CopyRun run(fs_, style_);
    run.destinationPath = std::move(destinationPath);
    std::int64_t total = 0;
    std::int32_t volume = 0;
    std::int64_t volumeFill = 0;
    bool copiedAny = false;

    for (const std::string& file : allFiles) {
        std::int64_t added = 0;
        run.folderTakenAsChecked = false;
        try {
            std::string target;
            if (consolidate || cdBackup || !directoryCopy)
                target = run.destinationPath + FileName(file, style_);
            else
                target = DirectoryCopyTarget(run, file);

            const auto size = static_cast<std::int64_t>(fs_.FileLength(file));
            total += size;
            added = size;

            if (cdBackup) {
                // A file that does not fit opens the next volume, even when it
                // then fails: its room stays taken.
                if (volumeFill + size <= kVolumeLimit) {
                    volumeFill += size;
                } else {
                    ++volume;
                    volumeFill = size;
                }
                std::string volumeFolder = WithoutFinalSeparator(run.destinationPath, style_);
                volumeFolder.push_back(style_.separator);
                volumeFolder += "CD_backup" + std::to_string(volume);
                fs_.CreateDirectory(volumeFolder);
                target = JoinPath(volumeFolder, FileName(file, style_), style_);
            }
            run.folders.BeforeWriting(target);
            try {
                fs_.CopyFile(file, target, overwrite);
            } catch (const FsError&) {
                // Its folder was taken from the previous file: if it has gone
                // since, make it again and copy once more, as asking for this
                // file would have.
                if (!run.folderTakenAsChecked || fs_.DirectoryExists(run.checkedFolder)) throw;
                fs_.CreateDirectory(run.checkedFolder);
                fs_.CopyFile(file, target, overwrite);
            }
            copiedAny = true;
            host_.ShowProgress();
        } catch (const std::exception& failure) {
            total -= added;
            host_.Show({failure.what(), "", MessageBoxButtons::OK, MessageBoxIcon::None});
            const DialogResult answer = host_.Show(
                {text::kContinueText, text::kWarningTitle, MessageBoxButtons::YesNo, MessageBoxIcon::Warning});
            if (answer != DialogResult::Yes) {
                state_.hasErrored = true;
                break;
            }
            host_.ShowProgress();
        }
    }

    // "Copied successfully" means on disk.
    if (copiedAny) {
        try {
            fs_.Flush(run.destinationPath);
        } catch (const std::exception& failure) {
            host_.Show({failure.what(), "", MessageBoxButtons::OK, MessageBoxIcon::None});
        }
    }

    state_.complete = true;
    host_.ShowProgress();
    host_.Show({CopiedMessage(total), text::kCompleteTitle, MessageBoxButtons::OK,
                MessageBoxIcon::Information});
}

}  // namespace tandrel
