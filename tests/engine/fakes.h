// Test doubles for the engine: a host that records everything the engine
// shows or hands back, an in-memory file system with faults on demand, and
// (from tests/common) real temporary trees on disk.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "engine/detail/versionnames.h"
#include "engine/engine.h"
#include "engine/reservedlines.h"
#include "engine/restore.h"
#include "engine/stdthreads.h"

#include "tests/common/temptree.h"
#include "tests/windows/compat.h"  // std::latch for MinGW

namespace tandrel::testing {

// ---------------------------------------------------------------------------
// RecordingHost

struct HostEvent {
    enum class Kind { Progress, Return, Box };
    explicit HostEvent(Kind k) : kind(k) {}
    Kind kind;
    // Progress: the phase flags as the refresh found them.
    bool complete = false, foldersComplete = false, hasErrored = false;
    // Return: the arguments, and what the window made of them.
    std::vector<std::string> folderArray;
    std::string initalDir;
    ReturnedFiles returned;
    // Box.
    MessageBoxRequest box;
};

// Without window services every call is recorded where it is made. With them,
// calls from a worker are posted to the window queue and recorded when the
// window thread serves them, as the real window does.
class RecordingHost : public JobHost {
public:
    explicit RecordingHost(JobState* state = nullptr, StdThreadServices* window = nullptr)
        : state_(state), window_(window)
    {
    }

    void ShowProgress() override
    {
        if (window_ && window_->InvokeRequired()) return window_->PostToWindow([this] { ShowProgress(); });
        HostEvent e {HostEvent::Kind::Progress};
        if (state_) {
            e.complete = state_->complete;
            e.foldersComplete = state_->foldersComplete;
            e.hasErrored = state_->hasErrored;
        }
        Record(std::move(e));
    }

    void ReturnFiles(std::vector<std::string> folderArray, std::string initalDir) override
    {
        if (window_ && window_->InvokeRequired())
            return window_->PostToWindow(
                [this, a = std::move(folderArray), d = std::move(initalDir)] { ReturnFiles(a, d); });
        HostEvent e {HostEvent::Kind::Return};
        if (state_) e.returned = TakeReturnedFiles(*state_, folderArray, initalDir);
        e.folderArray = std::move(folderArray);
        e.initalDir = std::move(initalDir);
        Record(std::move(e));
    }

    DialogResult Show(const MessageBoxRequest& box) override
    {
        HostEvent e {HostEvent::Kind::Box};
        e.box = box;
        Record(std::move(e));
        if (onShow_) onShow_(box);
        if (box.buttons == MessageBoxButtons::OK) return DialogResult::OK;
        std::lock_guard lock(mutex_);
        if (answers_.empty()) return DialogResult::Yes;
        const DialogResult answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    // A wait is recorded as its box; an answer of Cancel next in line
    // cancels it, else it lasts until `done`.
    bool WaitUntil(const MessageBoxRequest& box, const std::function<bool()>& done) override
    {
        Record(Box(box));
        if (onShow_) onShow_(box);
        {
            std::lock_guard lock(mutex_);
            if (!answers_.empty() && answers_.front() == DialogResult::Cancel) {
                answers_.pop_front();
                return false;
            }
        }
        while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }

    // Answers for the next questions, in order; Yes once they run out.
    void Answer(std::initializer_list<DialogResult> answers)
    {
        std::lock_guard lock(mutex_);
        answers_.insert(answers_.end(), answers);
    }
    // Runs on the worker while it waits for the answer to `box`.
    void OnShow(std::function<void(const MessageBoxRequest&)> hook) { onShow_ = std::move(hook); }

    std::vector<HostEvent> Events() const
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<HostEvent> Of(HostEvent::Kind kind) const
    {
        std::vector<HostEvent> picked;
        for (auto& e : Events())
            if (e.kind == kind) picked.push_back(e);
        return picked;
    }
    std::vector<MessageBoxRequest> Boxes() const
    {
        std::vector<MessageBoxRequest> boxes;
        for (auto& e : Of(HostEvent::Kind::Box)) boxes.push_back(e.box);
        return boxes;
    }
    // The log as letters: P refresh, R ReturnFiles, B box.
    std::string Trace() const
    {
        std::string trace;
        for (auto& e : Events()) trace += "PRB"[static_cast<int>(e.kind)];
        return trace;
    }

private:
    static HostEvent Box(const MessageBoxRequest& box)
    {
        HostEvent e {HostEvent::Kind::Box};
        e.box = box;
        return e;
    }
    void Record(HostEvent e)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
    }

    JobState* state_;
    StdThreadServices* window_;
    mutable std::mutex mutex_;
    std::vector<HostEvent> events_;
    std::deque<DialogResult> answers_;
    std::function<void(const MessageBoxRequest&)> onShow_;
};

inline MessageBoxRequest Box(std::string text, std::string caption, MessageBoxButtons buttons, MessageBoxIcon icon)
{
    return {std::move(text), std::move(caption), buttons, icon};
}

// ---------------------------------------------------------------------------
// MemoryFileSystem

enum class FsOp { DirectoryExists, FileExists, List, FileLength, CreateDirectory, CopyFile, Flush, Look };

struct CopyRecord {
    std::string source, target;
    bool overwrite;
    bool operator==(const CopyRecord&) const = default;
};

// Paths are kept as text in the chosen style; a folder lists its entries in
// the order they were added.
class MemoryFileSystem : public FileSystem {
public:
    using Hook = std::function<void(FsOp, const std::string&)>;

    explicit MemoryFileSystem(PathStyle style = PathStyle::Windows()) : style_(style) {}

    void AddFolder(const std::string& path)
    {
        std::lock_guard lock(mutex_);
        MakeFolders(Key(path));
    }
    void AddFile(const std::string& path, std::uint64_t size = 0, std::string content = {}, std::int64_t mtime = 0)
    {
        std::lock_guard lock(mutex_);
        const std::string key = Key(path);
        MakeFolders(Parent(key));
        Link(key);
        nodes_[key] = Node {false, size, std::move(content), {}, mtime, ++serial_};
    }
    // Gives a file another modification time.
    void Touch(const std::string& path, std::int64_t mtime)
    {
        std::lock_guard lock(mutex_);
        nodes_.at(Key(path)).mtime = mtime;
    }
    // A number that changes whenever the file is written (its inode, as it were).
    std::uint64_t SerialOf(const std::string& path) const { return Find(path, false)->serial; }
    // A file or folder (with everything under it) that vanished.
    void Remove(const std::string& path)
    {
        std::lock_guard lock(mutex_);
        const std::string key = Key(path);
        auto& siblings = nodes_[Parent(key)].children;
        std::erase(siblings, Name(key));
        std::erase_if(
            nodes_, [&](auto& node) { return node.first == key || node.first.starts_with(JoinPath(key, "", style_)); });
    }
    void FailOn(FsOp op, const std::string& path, std::string message)
    {
        std::lock_guard lock(mutex_);
        faults_[{op, Key(path)}] = std::move(message);
    }
    // Runs before every call, outside the file system's lock (it may block).
    void SetHook(Hook hook) { hook_ = std::move(hook); }

    bool IsFolder(const std::string& path) const { return Find(path, true) != nullptr; }
    bool IsFile(const std::string& path) const { return Find(path, false) != nullptr; }
    std::uint64_t SizeOf(const std::string& path) const { return Find(path, false)->size; }
    std::string ContentOf(const std::string& path) const { return Find(path, false)->content; }
    int Calls(FsOp op) const
    {
        std::lock_guard lock(mutex_);
        return calls_[static_cast<int>(op)];
    }
    // Every copy tried, in order, failed ones included.
    std::vector<CopyRecord> Copies() const
    {
        std::lock_guard lock(mutex_);
        return copies_;
    }

    bool DirectoryExists(const std::string& path) override
    {
        return Enter(FsOp::DirectoryExists, path), IsFolder(path);
    }
    bool FileExists(const std::string& path) override { return Enter(FsOp::FileExists, path), IsFile(path); }

    Listing List(const std::string& folder) override
    {
        Enter(FsOp::List, folder);
        std::lock_guard lock(mutex_);
        auto it = nodes_.find(Key(folder));
        if (it == nodes_.end() || !it->second.folder)
            throw FsError("Could not find a part of the path '" + folder + "'.", FsError::Kind::Missing, ENOENT,
                          folder);
        Listing listing;
        for (const std::string& name : it->second.children) {
            const std::string path = JoinPath(folder, name, style_);
            (nodes_.at(Key(path)).folder ? listing.folders : listing.files).push_back(path);
        }
        return listing;
    }

    std::optional<std::string> ReadStart(const std::string& path, std::size_t limit) override
    {
        const Node* file = Find(path, false);
        if (!file) return std::nullopt;
        return file->content.substr(0, limit);
    }
    std::optional<std::uint64_t> FileBytes(const std::string& path) override
    {
        const Node* file = Find(path, false);
        if (!file) return std::nullopt;
        return file->size;
    }

    void CreateDirectory(const std::string& path) override
    {
        Enter(FsOp::CreateDirectory, path);
        std::lock_guard lock(mutex_);
        MakeFolders(Key(path));
    }

    FileLook Look(const std::string& path) override
    {
        Enter(FsOp::Look, path);
        FileLook look;
        if (IsFolder(path)) {
            look.kind = FileLook::Kind::Folder;
        } else if (const Node* file = Find(path, false)) {
            look = {FileLook::Kind::File, file->size, file->mtime};
        }
        return look;
    }

    std::unique_ptr<CopySession> BeginCopy(const std::string& destination) override
    {
        return std::make_unique<Session>(*this, destination);
    }

    // A drive mounted at `mountPoint` (a path prefix), or not mounted now.
    void SetMounted(const std::string& mountPoint, bool mounted)
    {
        std::lock_guard lock(mutex_);
        mounts_[mountPoint] = mounted;
    }
    std::string MountPointOf(const std::string& path) override
    {
        std::lock_guard lock(mutex_);
        std::string best;
        for (const auto& [mountPoint, mounted] : mounts_)
            if (path.rfind(mountPoint, 0) == 0 && mountPoint.size() > best.size()) best = mountPoint;
        return best;
    }
    bool IsMountPoint(const std::string& folder) override
    {
        std::lock_guard lock(mutex_);
        const auto it = mounts_.find(folder);
        return it == mounts_.end() || it->second;
    }

    // Every work of a copy runs this first, on the thread doing it.
    void OnWork(std::function<void(const std::string& source)> hook) { workHook_ = std::move(hook); }

private:
    struct Copy : FileCopy {
        std::string source, target;
        bool overwrite = false;
        std::string failure;
    };

    // A copy is worked (its faults raised) and placed at its commit, under
    // the same rules as the platform's: never over an existing target
    // without overwrite, and a target of the source's size and time is left
    // alone with it.
    class Session : public CopySession {
    public:
        Session(MemoryFileSystem& fs, std::string destination) : fs_(fs), destination_(std::move(destination)) {}
        bool DirectoryExists(const std::string& path) override { return fs_.DirectoryExists(path); }
        void CreateDirectory(const std::string& path, const std::string&) override { fs_.CreateDirectory(path); }
        std::unique_ptr<FileCopy> Open(const std::string& source) override
        {
            fs_.Enter(FsOp::FileLength, source);
            const Node* file = fs_.Find(source, false);
            if (!file) throw FsError("Could not find file '" + source + "'.", FsError::Kind::Missing, ENOENT, source);
            auto copy = std::make_unique<Copy>();
            copy->source = source;
            copy->length = file->size;
            copy->sourceModified = file->mtime;
            return copy;
        }
        void Work(FileCopy& base, const std::string& target, bool overwrite) noexcept override
        {
            Copy& copy = static_cast<Copy&>(base);
            copy.target = target;
            copy.overwrite = overwrite;
            copy.failure.clear();
            if (fs_.workHook_) fs_.workHook_(copy.source);
            try {
                fs_.Enter(FsOp::CopyFile, copy.source);
                fs_.Enter(FsOp::CopyFile, target, /*primary=*/false);
            } catch (const FsError& failure) {
                copy.failure = failure.what();
            }
        }
        CopyOutcome Commit(FileCopy& base) override
        {
            Copy& copy = static_cast<Copy&>(base);
            {
                std::lock_guard lock(fs_.mutex_);
                fs_.copies_.push_back({copy.source, copy.target, copy.overwrite});
            }
            if (!copy.failure.empty()) throw FsError(copy.failure, FsError::Kind::Other, EIO, copy.source);
            const CopyOutcome outcome = fs_.Place(copy.source, copy.target, copy.overwrite);
            if (outcome == CopyOutcome::Copied) wrote_ = true;
            return outcome;
        }
        void Finish() override
        {
            if (wrote_) fs_.Enter(FsOp::Flush, "");
        }
        // The index is a file of the destination, put in place at the
        // commit (a fault on CopyFile at its path fails the write).
        std::unique_ptr<ReservedReader> OpenIndex() override
        {
            const Node* index = fs_.Find(IndexPath(), false);
            if (!index) return nullptr;
            return std::make_unique<TextReader>(index->content);
        }
        std::unique_ptr<ReservedWriter> ReplaceIndex() override
        {
            fs_.Enter(FsOp::CopyFile, IndexPath(), /*primary=*/false);
            return std::make_unique<IndexOut>(fs_, IndexPath());
        }
        void KeepReplacedIn(std::int64_t runTime) override { runTime_ = runTime; }
        std::string KeepingFolder() override
        {
            const std::string folder = JoinPath(JoinPath(destination_, kVersionsFolderName, fs_.style_),
                                                versions::RunName(runTime_), fs_.style_);
            fs_.AddFile(JoinPath(folder, versions::kRunMarker, fs_.style_));
            return folder;
        }

    private:
        class IndexOut : public ReservedWriter {
        public:
            IndexOut(MemoryFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
            void Write(const char* data, std::size_t size) override { text_.append(data, size); }
            void Commit() override { fs_.AddFile(path_, text_.size(), text_); }

        private:
            MemoryFileSystem& fs_;
            std::string path_, text_;
        };
        std::string IndexPath() const { return JoinPath(destination_, kRestoreIndexName, fs_.style_); }
        MemoryFileSystem& fs_;
        std::string destination_;
        std::int64_t runTime_ = 0;
        bool wrote_ = false;
    };

    CopyOutcome Place(const std::string& source, const std::string& target, bool overwrite)
    {
        std::lock_guard lock(mutex_);
        auto from = nodes_.find(Key(source));
        if (from == nodes_.end() || from->second.folder)
            throw FsError("Could not find file '" + source + "'.", FsError::Kind::Missing, ENOENT, source);
        const std::string key = Key(target);
        auto parent = nodes_.find(Parent(key));
        if (parent == nodes_.end() || !parent->second.folder)
            throw FsError("Could not find a part of the path '" + target + "'.", FsError::Kind::Missing, ENOENT,
                          target);
        if (auto to = nodes_.find(key); to != nodes_.end()) {
            if (to->second.folder || !overwrite)
                throw FsError("The file '" + target + "' already exists.", FsError::Kind::Other, EEXIST, target);
            if (to->second.size == from->second.size && to->second.mtime == from->second.mtime)
                return CopyOutcome::UpToDate;
        }
        Link(key);
        nodes_[key] = Node {false, from->second.size, from->second.content, {}, from->second.mtime, ++serial_};
        return CopyOutcome::Copied;
    }

public:
private:
    struct Node {
        bool folder = true;
        std::uint64_t size = 0;
        std::string content;
        std::vector<std::string> children;  // names, in the order added
        std::int64_t mtime = 0;
        std::uint64_t serial = 0;
    };

    bool IsRoot(const std::string& key) const
    {
        return key.size() == style_.rootSeparatorIndex + 1 && key.back() == style_.separator;
    }
    std::string Key(const std::string& path) const { return IsRoot(path) ? path : WithoutFinalSeparator(path, style_); }
    std::string Parent(const std::string& key) const { return IsRoot(key) ? std::string() : SourceFolder(key, style_); }
    std::string Name(const std::string& key) const { return FileName(key, style_); }

    // Adds `key` to its parent's entries if it is new there.
    void Link(const std::string& key)
    {
        if (nodes_.count(key) || IsRoot(key)) return;
        nodes_[Parent(key)].children.push_back(Name(key));
    }
    void MakeFolders(const std::string& key)
    {
        if (key.empty()) return;
        if (auto it = nodes_.find(key); it != nodes_.end()) {
            if (!it->second.folder)
                throw FsError("Cannot create '" + key + "' because a file with the same name already exists.",
                              FsError::Kind::Other, EEXIST, key);
            return;
        }
        if (!IsRoot(key)) MakeFolders(Parent(key));
        Link(key);
        nodes_[key] = Node {};
    }
    const Node* Find(const std::string& path, bool folder) const
    {
        std::lock_guard lock(mutex_);
        auto it = nodes_.find(Key(path));
        return it != nodes_.end() && it->second.folder == folder ? &it->second : nullptr;
    }
    // Counts the call and runs the hook (for the primary path only), then
    // raises the fault set for this call and path, if any.
    void Enter(FsOp op, const std::string& path, bool primary = true)
    {
        if (primary && hook_) hook_(op, path);
        std::lock_guard lock(mutex_);
        if (primary) ++calls_[static_cast<int>(op)];
        if (auto it = faults_.find({op, Key(path)}); it != faults_.end())
            throw FsError(it->second, FsError::Kind::Other, EIO, path);
    }

    PathStyle style_;
    mutable std::mutex mutex_;
    std::map<std::string, Node> nodes_;
    std::map<std::pair<FsOp, std::string>, std::string> faults_;
    int calls_[8] = {};
    std::vector<CopyRecord> copies_;
    Hook hook_;
    std::function<void(const std::string&)> workHook_;
    std::map<std::string, bool> mounts_;
    std::uint64_t serial_ = 0;
};

// Real trees on disk: TempTree, from tests/common.

}  // namespace tandrel::testing
