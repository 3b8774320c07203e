// The copy engine: one backup of the gathered files into the destination.
#include <string>

#include "engine.h"

namespace tandrel {

struct BackupEngine::CopyRun {
    std::string destinationPath;
    std::string currentKey = NoKey();  // Directory Copy: the key that placed the previous file
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
    if (!fs_.DirectoryExists(subFolder)) fs_.CreateDirectory(subFolder);
    return subFolder + FileName(file, style_);
}

void BackupEngine::Copy(std::vector<std::string> allFiles, std::string destinationPath, bool overwrite,
                        bool cdBackup, bool consolidate, bool directoryCopy)
{
    state_.complete = false;
    state_.hasErrored = false;

    CopyRun run;
    run.destinationPath = std::move(destinationPath);
    std::int64_t total = 0;
    std::int32_t volume = 0;
    std::int64_t volumeFill = 0;
    bool copiedAny = false;

    for (const std::string& file : allFiles) {
        std::int64_t added = 0;
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
            fs_.CopyFile(file, target, overwrite);
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
