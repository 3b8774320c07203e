// The copy engine: one backup of the gathered files into the destination.
#include <algorithm>
#include <string>
#include <thread>
#include <string_view>

#include "engine.h"

namespace tandrel {

int BackupEngine::DefaultParallelCopies()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 2u, 8u));
}

CopyMode CopyModeOf(bool cdBackup, bool consolidate, bool directoryCopy)
{
    if (cdBackup) return CopyMode::CdBackup;
    if (consolidate || !directoryCopy) return CopyMode::Consolidate;
    return CopyMode::DirectoryCopy;
}

struct BackupEngine::CopyRun {
    std::string destinationPath;
    CopyMode mode = CopyMode::DirectoryCopy;
    std::unique_ptr<CopySession> session;
    // Directory Copy: the entry that placed the previous file (none before
    // the first), the sub-folder found (or made) for the previous file, and
    // whether the current file's sub-folder was taken from it unasked.
    std::shared_ptr<const std::vector<std::string>> entries;
    std::size_t currentEntry = std::string::npos;
    std::string checkedFolder = NoKey();
    bool folderTakenAsChecked = false;
    // CD Backup: the current volume and the bytes given to it.
    std::int32_t volume = 0;
    std::int64_t volumeFill = 0;
};

std::string CopiedMessage(std::int64_t bytes)
{
    return std::to_string(bytes / 1024) + text::kCopiedSuffix;
}

// Directory Copy: a file keeps its path from the name of the entry it lies
// under. The entry that placed the previous file is tried first, then every
// entry in list order.
std::string BackupEngine::DirectoryCopyTarget(CopyRun& run, const std::string& file)
{
    std::size_t start = std::string::npos;
    const std::vector<std::string>* entries = run.entries.get();
    if (entries && run.currentEntry < entries->size())
        start = KeptPathStart((*entries)[run.currentEntry], file, style_);
    if (start == std::string::npos && entries) {
        for (std::size_t i = 0; i < entries->size() && start == std::string::npos; ++i) {
            start = KeptPathStart((*entries)[i], file, style_);
            if (start != std::string::npos) run.currentEntry = i;
        }
    }
    if (start == std::string::npos)
        throw FsError("Could not copy '" + file + "': it lies under no entry of the backup list");

    const std::size_t nameStart = file.rfind(style_.separator) + 1;
    if (start >= nameStart) return run.destinationPath + file.substr(nameStart);
    std::string subFolder = run.destinationPath;
    subFolder.append(file, start, nameStart - start);
    // Files come folder by folder: a folder is asked for once for the files
    // in a row that go into it. One that vanishes meanwhile is made again
    // when a copy into it fails (see Copy).
    run.folderTakenAsChecked = subFolder == run.checkedFolder;
    if (!run.folderTakenAsChecked) {
        if (!run.session->DirectoryExists(subFolder)) run.session->CreateDirectory(subFolder);
        run.checkedFolder = subFolder;
    }
    return subFolder + file.substr(nameStart);
}

// The target of a file whose size is known; CD Backup raises the volume fill
// here, before the copy, and a file that does not fit opens the next volume
// even when it then fails: its room stays taken.
std::string BackupEngine::TargetOf(CopyRun& run, const std::string& file, std::int64_t size)
{
    if (run.mode != CopyMode::CdBackup) return {};
    if (run.volumeFill + size <= kVolumeLimit) {
        run.volumeFill += size;
    } else {
        ++run.volume;
        run.volumeFill = size;
    }
    std::string volumeFolder = WithoutFinalSeparator(run.destinationPath, style_);
    volumeFolder.push_back(style_.separator);
    volumeFolder += "CD_backup" + std::to_string(run.volume);
    run.session->CreateDirectory(volumeFolder);
    return JoinPath(volumeFolder, FileName(file, style_), style_);
}

CopySummary BackupEngine::Copy(std::vector<std::string> allFiles, std::string destinationPath, bool overwrite,
                               CopyMode mode)
{
    state_.complete = false;
    state_.hasErrored = false;

    CopyRun run;
    run.destinationPath = std::move(destinationPath);
    run.mode = mode;
    run.session = fs_.BeginCopy();
    if (mode == CopyMode::DirectoryCopy) run.entries = state_.directoryData.load();
    CopySummary summary;

    for (const std::string& file : allFiles) {
        std::int64_t added = 0;
        run.folderTakenAsChecked = false;
        try {
            std::string target = mode == CopyMode::DirectoryCopy ? DirectoryCopyTarget(run, file)
                                                                 : run.destinationPath + FileName(file, style_);
            const std::unique_ptr<FileCopy> copy = run.session->Open(file);
            const auto size = static_cast<std::int64_t>(copy->length);
            summary.bytes += size;
            added = size;
            if (mode == CopyMode::CdBackup) target = TargetOf(run, file, size);

            CopyOutcome outcome;
            run.session->Work(*copy, target, overwrite);
            try {
                outcome = run.session->Commit(*copy);
            } catch (const FsError&) {
                // Its folder was taken from the previous file: if it has gone
                // since, make it again and copy once more, as asking for this
                // file would have.
                if (!run.folderTakenAsChecked || run.session->DirectoryExists(run.checkedFolder)) throw;
                run.session->CreateDirectory(run.checkedFolder);
                run.session->Work(*copy, target, overwrite);
                outcome = run.session->Commit(*copy);
            }
            ++(outcome == CopyOutcome::Copied ? summary.copied : summary.upToDate);
            host_.ShowProgress();
        } catch (const std::exception& failure) {
            summary.bytes -= added;
            ++summary.failed;
            host_.Show({failure.what(), "", MessageBoxButtons::OK, MessageBoxIcon::None});
            const DialogResult answer = host_.Show(
                {text::kContinueText, text::kWarningTitle, MessageBoxButtons::YesNo, MessageBoxIcon::Warning});
            if (answer != DialogResult::Yes) {
                state_.hasErrored = true;
                summary.stopped = true;
                break;
            }
            host_.ShowProgress();
        }
    }

    // "Copied successfully" means on disk.
    try {
        run.session->Finish();
    } catch (const std::exception& failure) {
        host_.Show({failure.what(), "", MessageBoxButtons::OK, MessageBoxIcon::None});
    }
    run.session.reset();

    state_.complete = true;
    host_.ShowProgress();
    host_.Show({CopiedMessage(summary.bytes), text::kCompleteTitle, MessageBoxButtons::OK,
                MessageBoxIcon::Information});
    return summary;
}

}  // namespace tandrel
