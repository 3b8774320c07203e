// The job state shared by the window thread and the workers: the gathered
// file list, the folder queue, the counters and the phase and job-origin
// flags. Fields that several threads read and write without a lock are
// atomics; the two lists are reached only through their synchronized
// wrappers, each operation atomic under the list's own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/pathlist.h"

namespace tandrel {

// A growable list of path texts behind a lock per operation. Besides that
// lock it carries a separate walk lock, which a gathering holds for its whole
// walk, and a generation number that every Clear advances, so that a walk can
// tell that the list was emptied under it. A snapshot shares the list as it
// stands; a change made while one is held goes to a copy of the list.
class SyncList {
public:
    explicit SyncList(std::shared_ptr<PathList>& list);
    SyncList(const SyncList&) = delete;
    SyncList& operator=(const SyncList&) = delete;

    void Add(std::string item);
    // Appends a whole batch, and adds its size to `counter` in the same
    // step, but only while the list's generation is still `generation`.
    // Returns false (and adds nothing) when the list was cleared meanwhile.
    bool AddRange(std::vector<std::string>&& items, std::uint64_t generation,
                  std::atomic<std::int32_t>* counter = nullptr);
    // Empties the list (and zeroes `counter` in the same step).
    void Clear(std::atomic<std::int32_t>* counter = nullptr);
    // Cuts the list back to `size` entries and sets `counter` to `count`, in
    // one step, if the list is still of `generation`.
    bool Truncate(std::size_t size, std::uint64_t generation, std::atomic<std::int32_t>* counter = nullptr,
                  std::int32_t count = 0);
    // Adds `n` to `counter` under the list's lock, if the list is still of
    // `generation`: for counters that a Clear resets with the list.
    bool AddToCounter(std::uint64_t generation, std::atomic<std::int32_t>& counter, std::int32_t n);

    std::size_t Count() const;
    // The entry at `index` when the list still holds that index, and is of
    // `generation`.
    bool TryAt(std::size_t index, std::uint64_t generation, std::string& out) const;
    std::vector<std::string> ToArray() const;
    // The list as it stands, shared rather than copied.
    std::shared_ptr<const PathList> Snapshot() const;
    std::uint64_t Generation() const;

    // The walk lock (a gathering's monitor on this wrapper).
    std::mutex& WalkLock() { return walk_; }

private:
    PathList& Writable();  // with mutex_ held: the list, copied first if a snapshot holds it
    std::shared_ptr<PathList>& list_;
    mutable std::mutex mutex_;
    std::mutex walk_;
    std::uint64_t generation_ = 0;
};

struct JobState {
    JobState();
    JobState(const JobState&) = delete;
    JobState& operator=(const JobState&) = delete;

    // Process-wide part.
    std::shared_ptr<PathList> fileList;
    std::shared_ptr<PathList> folderList;
    SyncList syncfileList;
    SyncList syncfolderList;
    std::atomic<std::int32_t> fileCount {0};
    std::atomic<std::int32_t> folderCount {0};

    // Phase flags.
    std::atomic<bool> hasErrored {false};
    std::atomic<bool> complete {false};
    std::atomic<bool> foldersComplete {false};
    // Job-origin flags, consumed by the next ReturnFiles.
    std::atomic<bool> dragNdrop {false};
    std::atomic<bool> filesOnly {false};
    std::atomic<bool> filelistLoad {false};

    // The backup-list entries as they stood when the last copy started.
    std::atomic<std::shared_ptr<const std::vector<std::string>>> directoryData;

    // Empties both lists and sets both counters to 0 ("Remove", loading a
    // list). A walk in progress notices and adds nothing more.
    void ResetLists();
};

}  // namespace tandrel
