// Gathering and copying: the two jobs that run on workers.
#pragma once

#include <string>
#include <vector>

#include "filesystem.h"
#include "host.h"
#include "jobstate.h"
#include "paths.h"

namespace tandrel {

class BackupEngine {
public:
    BackupEngine(JobState& state, JobHost& host, FileSystem& fs, PathStyle style = PathStyle::Native());

    // Walks the entries (files or folders; with `subdirsFlag` whole folder
    // trees, breadth first) and appends every file found to the job state's
    // file list. Holds both walk locks for the whole walk; ends by handing the
    // entries back through JobHost::ReturnFiles.
    void GetFiles(std::vector<std::string> folderArray, bool subdirsFlag);

    // Copies every file of `allFiles` into `destinationPath` (which ends with
    // the separator) by the mode given, asking through the host after each
    // failed file, and ends with the "Backup Complete" message.
    void Copy(std::vector<std::string> allFiles, std::string destinationPath, bool overwrite,
              bool cdBackup, bool consolidate, bool directoryCopy);

    static constexpr std::int64_t kVolumeLimit = 734003200;  // 700 MiB, one CD

private:
    struct CopyRun;
    std::string DirectoryCopyTarget(CopyRun& run, const std::string& file);

    JobState& state_;
    JobHost& host_;
    FileSystem& fs_;
    PathStyle style_;
};

// What ReturnFiles does with a finished gathering, on the window thread: the
// entries to append to the backup list box and the two status texts. Clears
// the job-origin flags and hasErrored.
struct ReturnedFiles {
    std::vector<std::string> entries;
    std::string totalFiles;    // "Total Files: N"
    std::string totalFolders;  // "Total Folders: N"
};
ReturnedFiles TakeReturnedFiles(JobState& state, const std::vector<std::string>& folderArray,
                                const std::string& initalDir);

// "N KB copied successfully" for a total in bytes.
std::string CopiedMessage(std::int64_t bytes);

}  // namespace tandrel
