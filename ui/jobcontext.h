// What the workers of the window's jobs hold: the engine, and the host
// through which the engine reaches the window. Every running job shares it
// with the window, so it lives until the last of them has ended, however long
// the window lives; it reaches the window only by posting through a
// WindowLink, which runs nothing once the window is gone.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/filesystem.h"
#include "engine/host.h"
#include "engine/jobstate.h"
#include "engine/runlog.h"
#include "ui/form1.h"

class JobContext : public tandrel::JobHost {
public:
    // `jobs` and `fileSystem` are the process's, and outlive every job.
    // `clock` (none: the system's) times the run's record.
    JobContext(tandrel::JobState& jobs, tandrel::FileSystem& fileSystem, tandrel::DestinationMemory* destinations,
               WindowLink window, const tandrel::RunClock* clock = nullptr);

    // The workers of the gathering and of the copy.
    void GetFiles(std::vector<std::string> folderArray, bool subdirsFlag);
    void Copy(std::shared_ptr<const tandrel::PathList> allFiles, std::string destinationPath, bool overwrite,
              tandrel::CopyMode mode, bool verify = false);

    // JobHost, called by the engine on its workers: each posts to the window.
    void ShowProgress() override;
    void ReturnFiles(std::vector<std::string> folderArray, std::string initalDir) override;
    // Waits for the answer of the box the window shows; a box that can no
    // longer be shown (the window is gone) is answered No.
    tandrel::DialogResult Show(const tandrel::MessageBoxRequest& box) override;
    // The window shows the box; it closes by itself once `done` (asked every
    // 100 ms) comes true. Cancel, or a window that is gone, ends the wait.
    bool WaitUntil(const tandrel::MessageBoxRequest& box, const std::function<bool()>& done) override;

    tandrel::BackupEngine engine;

private:
    // What the copy has shown so far, for its record; its first failure or
    // a drive that is not mounted tells the window at once (RunFailing),
    // before the box waits for its answer.
    void Witness(const tandrel::MessageBoxRequest& box);
    WindowLink window_;
    tandrel::SystemRunClock systemClock_;
    const tandrel::RunClock& clock_;
    std::mutex runMutex_;
    tandrel::RunRecord run_;
    bool copying_ = false;
    bool noticed_ = false;
};
