// One backup's copies on Windows: the destination's folders, reached level
// by level and held open, and each file's copy, from the look at its target
// to its commit.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/windows/copysession.h"
#include "support/quoted.h"
#include "support/wintext.h"

namespace tandrel::win {

using support::Widen;

bool WindowsCopySession::DirectoryExists(const std::string& path)
{
    try {
        Walk(path, false, true, nullptr);
        return true;
    } catch (const FsError& failure) {
        if (failure.kind() == FsError::Kind::Missing || failure.code() == ERROR_DIRECTORY) return false;
        // Something is there, reached through a link: each copy into it
        // says that it is not followed.
        if (failure.code() == static_cast<int>(kLinkInside)) return true;
        throw failure.Within("Could not read " + Quoted(path));
    }
}

void WindowsCopySession::CreateDirectory(const std::string& path, const std::string& mirrored)
{
    (void)mirrored;
    std::vector<std::string> made;
    FolderRef folder;
    try {
        folder = Walk(path, true, true, &made);
    } catch (const FsError& failure) {
        throw failure.Within("Could not create the folder " + Quoted(path));
    }
    // The copies that follow into a folder made just now need not look
    // for a target there first, nor for leftovers. A level another
    // program made meanwhile is not ours.
    if (made.empty() || made.back() != WithoutFinalSeparators(path)) return;
    std::lock_guard lock(mutex_);
    folder->state->madeByThisBackup = true;
}

std::unique_ptr<FileCopy> WindowsCopySession::Open(const std::string& source)
{
    auto copy = std::make_unique<Copy>();
    copy->source = source;
    copy->length = LengthOf(source);
    return copy;
}

void WindowsCopySession::SetEntries(std::shared_ptr<const std::vector<std::string>> entries)
{
    std::lock_guard lock(mutex_);
    entries_.clear();
    if (entries)
        for (const std::string& entry : *entries) entries_.insert(WithoutFinalSeparators(entry));
}

HeldSourceRef WindowsCopySession::SourceRoot(const std::string& entry)
{
    {
        std::lock_guard lock(mutex_);
        if (auto it = sourceRoots_.find(entry); it != sourceRoots_.end()) return it->second;
    }
    // The entry is taken as the user named it, through any link on its way.
    auto root = std::make_shared<HeldSource>();
    root->handle.Reset(HoldFolder(Widen(entry) + L"\\", true));
    if (!root->handle.valid()) throw NotThere(::GetLastError(), entry);
    root->path = entry;
    std::lock_guard lock(mutex_);
    return sourceRoots_.emplace(entry, std::move(root)).first->second;
}

HeldSourceRef WindowsCopySession::HoldSource(const std::string& source)
{
    const std::string folder = WithoutFinalSeparators(FolderOf(source));
    if (folder.empty() || entries_.count(source)) return nullptr;
    // The deepest folder entry that holds the source.
    std::size_t rootEnd = folder.size();
    while (rootEnd != std::string::npos && !entries_.count(folder.substr(0, rootEnd)))
        rootEnd = rootEnd == 0 ? std::string::npos : folder.find_last_of("\\/", rootEnd - 1);
    if (rootEnd == std::string::npos || rootEnd == 0) return nullptr;

    // From the deepest level held (or the entry) down.
    HeldSourceRef from;
    std::size_t at = folder.size();
    while (!from) {
        if (at == std::string::npos || at <= rootEnd) {
            at = rootEnd;
            from = SourceRoot(folder.substr(0, rootEnd));
            break;
        }
        {
            const std::string level = folder.substr(0, at);
            std::lock_guard lock(mutex_);
            from = heldSources_.Find([&](const std::string& held) { return held == level; });
        }
        if (!from) at = folder.find_last_of("\\/", at - 1);
    }
    while (at < folder.size()) {
        const std::size_t end = std::min(folder.find_first_of("\\/", at + 1), folder.size());
        const std::string name = folder.substr(at + 1, end - at - 1);
        const std::string level = folder.substr(0, end);
        at = end;
        if (name.empty()) continue;
        if (name == "." || name == "..")
            throw FsError("the path holds " + Quoted(name) + ", which names no folder of its own", FsError::Kind::Other,
                          ERROR_INVALID_NAME, level);
        auto reached = std::make_shared<HeldSource>();
        const std::wstring native = Widen(level);
        reached->handle.Reset(HoldFolder(native, false));
        if (!reached->handle.valid()) throw NotThere(::GetLastError(), level);
        if (FolderLeadsElsewhere(reached->handle.get(), native, level))
            throw FsError(
                Quoted(level) + " is a symbolic link, and a backup follows no link below the folders of its list",
                FsError::Kind::Other, static_cast<int>(kLinkInside), level);
        reached->path = level;
        reached->parent = std::move(from);
        from = std::move(reached);
        std::lock_guard lock(mutex_);
        heldSources_.Keep(from);
    }
    return from;
}

void WindowsCopySession::Work(FileCopy& base, const std::string& target, bool overwrite) noexcept
{
    Copy& copy = static_cast<Copy&>(base);
    copy.failure.reset();
    copy.upToDate = false;
    copy.replaces = false;
    copy.Drop();
    try {
        copy.target = target;
        copy.overwrite = overwrite;
        DoWork(copy);
        return;
    } catch (const FsError& failure) {
        copy.failure = failure;
    } catch (const std::exception& failure) {
        copy.failure = FsError(copy.What() + ": " + failure.what(), FsError::Kind::Other, 0, copy.source);
    } catch (...) {
        copy.failure = FsError(copy.What() + ": an unknown error", FsError::Kind::Other, 0, copy.source);
    }
    copy.Drop();
}

CopyOutcome WindowsCopySession::Commit(FileCopy& base)
{
    Copy& copy = static_cast<Copy&>(base);
    if (copy.failure) throw *copy.failure;
    // In list order: a twin worked ahead meets the first one here.
    try {
        RefuseTwin(copy);
    } catch (const FsError&) {
        copy.Drop();
        throw;
    }
    if (copy.upToDate) {
        Claim(copy);
        return CopyOutcome::UpToDate;
    }
    const Folder& folder = *copy.folder;
    // What the backup replaces is kept, but not a copy it placed itself (a
    // name met twice in one run).
    std::wstring placed;
    if (runTime_ && copy.overwrite) {
        placed = Folded(Widen(NameOf(copy.target)));
        bool ours;
        {
            std::lock_guard lock(mutex_);
            ours = folder.state->placed.count(placed) > 0;
        }
        if (copy.replaces && !ours) KeepReplaced(copy);
    }
    // Without MOVEFILE_REPLACE_EXISTING an existing target, even one that
    // appeared since the work looked, is never replaced. A link at the
    // target's name is replaced itself, never written through.
    const DWORD flags = copy.overwrite ? MOVEFILE_REPLACE_EXISTING : 0;
    if (!::MoveFileExW(copy.temporary.c_str(), NativePath(copy.to).c_str(), flags)) {
        const DWORD error = ::GetLastError();
        copy.Drop();
        Fail(copy.What(), error, copy.target);
    }
    copy.temporary.clear();
    Claim(copy);
    std::lock_guard lock(mutex_);
    written_.try_emplace(folder.id.volume, folder.native, folder.path);
    if (!placed.empty()) folder.state->placed.insert(std::move(placed));
    return CopyOutcome::Copied;
}

void WindowsCopySession::Finish()
{
    for (const auto& [volume, folder] : written_) FlushVolume(folder.first, folder.second);
}

// The folder `wanted`, at or below the destination, held open. Below the
// destination each level is opened from the one above, as itself: a
// level that is a link fails, whoever planted it. `create`: missing
// levels are made, and those this call made are added to `made`.
// `checked`: no folder held open is taken that is gone meanwhile. Throws
// FsError with the reason alone; its kind is Missing when a level is not
// there.
FolderRef WindowsCopySession::Walk(const std::string& wanted, bool create, bool checked, std::vector<std::string>* made)
{
    const std::string path = WithoutFinalSeparators(wanted);
    if (path == destination_) return Root(create, made);
    if (path.size() <= destination_.size() || path.compare(0, destination_.size(), destination_) != 0 ||
        (path[destination_.size()] != '\\' && path[destination_.size()] != '/'))
        throw FsError("it lies outside the destination " + Quoted(destination_ + "\\"), FsError::Kind::Other,
                      ERROR_INVALID_PARAMETER, path);
    if (FolderRef held = Cached(path, checked)) return held;

    // From the deepest level held open (or the destination) down.
    FolderRef folder;
    std::size_t from = path.size();
    while (!folder) {
        from = path.find_last_of("\\/", from - 1);
        if (from <= destination_.size()) {
            from = destination_.size();
            folder = Root(create, made);
        } else {
            folder = Cached(path.substr(0, from), checked);
        }
    }
    while (from < path.size()) {
        const std::size_t end = std::min(path.find_first_of("\\/", from + 1), path.size());
        const std::string name = path.substr(from + 1, end - from - 1);
        const std::string level = path.substr(0, end);
        from = end;
        if (name.empty()) continue;
        if (name == "." || name == "..")
            throw FsError("the path holds " + Quoted(name) + ", which names no folder of its own", FsError::Kind::Other,
                          ERROR_INVALID_NAME, level);
        folder = Level(folder, name, level, create, made);
    }
    return folder;
}

FolderRef WindowsCopySession::RootFor(const std::string& what, bool create)
{
    try {
        return Root(create, nullptr);
    } catch (const FsError& failure) {
        throw failure.Within(what);
    }
}

FolderRef WindowsCopySession::Root(bool create, std::vector<std::string>* made)
{
    {
        std::lock_guard lock(mutex_);
        if (root_) return root_;
    }
    // The folder the user chose is taken as it is found, through any link
    // on its way, and resolved this once: the paths below it start from
    // the folder it leads to.
    const std::wstring given = Widen(destination_) + L"\\";
    Handle folder(HoldFolder(given, true));
    bool madeIt = false;
    if (!folder.valid() && IsMissing(::GetLastError()) && create) {
        madeIt = CreateFolders(destination_);
        folder.Reset(HoldFolder(given, true));
    }
    if (!folder.valid()) throw NotThere(::GetLastError(), destination_);
    std::wstring native = FinalPathOf(folder.get());
    if (native.empty()) native = given;
    if (!IsSeparator(native.back())) native.push_back(L'\\');
    FolderRef root = Describe(std::move(folder), std::move(native), destination_, nullptr);
    std::lock_guard lock(mutex_);
    if (madeIt) {
        root->state->madeByThisBackup = true;
        if (made) made->push_back(destination_);
    }
    if (!root_) root_ = std::move(root);
    return root_;
}

// The level `name` of `parent` (`level` to the user).
FolderRef WindowsCopySession::Level(const FolderRef& parent, const std::string& name, const std::string& level,
                                    bool create, std::vector<std::string>* made)
{
    const std::wstring native = parent->native + Widen(name);
    Handle folder(HoldFolder(native, false));
    if (!folder.valid() && IsMissing(::GetLastError()) && create) {
        if (::CreateDirectoryW(NativePath(native).c_str(), nullptr)) {
            if (made) made->push_back(level);
        } else if (const DWORD error = ::GetLastError(); error != ERROR_ALREADY_EXISTS) {
            throw Reason(error, level);  // not when another program made it meanwhile
        }
        folder.Reset(HoldFolder(native, false));
    }
    if (!folder.valid()) throw NotThere(::GetLastError(), level);
    if (FolderLeadsElsewhere(folder.get(), native, level))
        throw FsError(Quoted(level) + " is a symbolic link, and a backup does not follow links inside its destination",
                      FsError::Kind::Other, static_cast<int>(kLinkInside), level);
    // Two folders whose names differ only in case are one folder here: the
    // first one reached keeps it.
    const std::wstring spelled = Widen(name);
    std::wstring first;
    {
        std::lock_guard lock(mutex_);
        first = parent->state->claimed.try_emplace(Folded(spelled), spelled).first->second;
    }
    if (first != spelled && StoredSpelling(native) != spelled)
        throw FsError(Quoted(level) + " has the same name as " + Quoted(support::Narrow(first)) +
                          " on this destination, which does not tell upper from lower case",
                      FsError::Kind::Other, ERROR_ALREADY_EXISTS, level);
    FolderRef reached = Describe(std::move(folder), native + L"\\", level, parent);
    Keep(reached);
    return reached;
}

// A folder missing where one is needed is a path not found, as a copy
// into it would say.
FsError WindowsCopySession::NotThere(DWORD error, const std::string& path)
{
    return Reason(IsMissing(error) ? ERROR_PATH_NOT_FOUND : error, path);
}

FolderRef WindowsCopySession::Describe(Handle folder, std::wstring native, const std::string& path, FolderRef parent)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(folder.get(), &info)) throw Reason(::GetLastError(), path);
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) throw Reason(ERROR_DIRECTORY, path);
    auto described = std::make_shared<Folder>();
    if (!KeyOf(folder.get(), described->id)) throw Reason(::GetLastError(), path);
    described->handle = std::move(folder);
    described->native = std::move(native);
    described->path = path;
    described->parent = std::move(parent);
    std::lock_guard lock(mutex_);
    auto& state = states_[described->id];
    if (!state) state = std::make_unique<FolderState>();
    described->state = state.get();
    return described;
}

FolderRef WindowsCopySession::Cached(const std::string& path, bool checked)
{
    std::lock_guard lock(mutex_);
    FolderRef held = held_.Find([&](const std::string& heldPath) { return heldPath == path; });
    // Where a held folder can still be removed (Wine's), a checked look
    // takes none that is gone: the copies into it fail as missing, and the
    // folder is made again.
    if (held && checked) {
        const DWORD attributes = ::GetFileAttributesW(NativePath(held->native).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            Forget(path);
            return nullptr;
        }
    }
    return held;
}

void WindowsCopySession::Keep(const FolderRef& folder)
{
    std::lock_guard lock(mutex_);
    held_.Keep(folder);
}

// Lets go of `folder` and the folders below it. With the mutex held.
void WindowsCopySession::Forget(const std::string& folder)
{
    held_.Forget([&](const std::string& held) {
        return held.compare(0, folder.size(), folder) == 0 &&
               (held.size() == folder.size() || held[folder.size()] == '\\' || held[folder.size()] == '/');
    });
}

// The first look into a folder removes what killed copies left there.
void WindowsCopySession::Clean(const Folder& folder)
{
    std::lock_guard lock(mutex_);
    FolderState& state = *folder.state;
    if (state.cleaned) return;
    state.cleaned = true;
    if (!state.madeByThisBackup) RemoveLeftovers(folder.native);
}

void WindowsCopySession::DoWork(Copy& copy)
{
    const std::string what = copy.What();
    try {
        copy.folder = Walk(FolderOf(copy.target), false, false, nullptr);
    } catch (const FsError& failure) {
        throw failure.Within(what);
    }
    const Folder& folder = *copy.folder;
    copy.to = folder.native + Widen(NameOf(copy.target));
    Clean(folder);
    const std::wstring from = NativePath(copy.source);
    // Held until the copy is made, so that no folder on its way is swapped.
    HeldSourceRef sourceFolder;
    try {
        sourceFolder = HoldSource(copy.source);
    } catch (const FsError& failure) {
        throw failure.Within(what);
    }

    BY_HANDLE_FILE_INFORMATION sourceInfo;
    // A file found in a folder is looked at as itself, never through a link
    // put at its name since the listing, and held, not shared for deletion,
    // until it is copied, so that it can't be swapped for one meanwhile. (A
    // file of the list itself is taken through any link, as the user named
    // it.) Without FILE_FLAG_BACKUP_SEMANTICS a folder is refused here.
    const bool found = sourceFolder != nullptr;
    Handle in(::CreateFileW(from.c_str(), FILE_READ_ATTRIBUTES, found ? FILE_SHARE_READ | FILE_SHARE_WRITE : kShareAll,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | (found ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                            nullptr));
    if (!in.valid() || !::GetFileInformationByHandle(in.get(), &sourceInfo)) Fail(what, ::GetLastError(), copy.source);
    if (found && (sourceInfo.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        throw FsError(what + ": " + Quoted(copy.source) +
                          " is a symbolic link, and a backup follows no link below the folders of its list",
                      FsError::Kind::Other, static_cast<int>(kLinkInside), copy.source);
    copy.sourceModified = Nanoseconds(sourceInfo.ftLastWriteTime);
    bool madeByThisBackup;
    {
        std::lock_guard lock(mutex_);
        madeByThisBackup = folder.state->madeByThisBackup;
    }
    if (!madeByThisBackup) {
        // A link at the target's name is looked at, never through: it is
        // replaced by the copy like any other file.
        Handle out(OpenEntry(copy.to));
        BY_HANDLE_FILE_INFORMATION targetInfo;
        if (out.valid() && ::GetFileInformationByHandle(out.get(), &targetInfo)) {
            if (targetInfo.dwVolumeSerialNumber == sourceInfo.dwVolumeSerialNumber &&
                targetInfo.nFileIndexHigh == sourceInfo.nFileIndexHigh &&
                targetInfo.nFileIndexLow == sourceInfo.nFileIndexLow)
                throw FsError(what + ": they are the same file", FsError::Kind::Other, 0, copy.target);
            RefuseTwin(copy);
            if (!copy.overwrite) Fail(what, ERROR_FILE_EXISTS, copy.target);
            if (UpToDate(sourceInfo, targetInfo, folder)) {
                copy.upToDate = true;
                return;
            }
            copy.replaces = !(targetInfo.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        } else if (const DWORD looked = ::GetLastError(); !out.valid() && !IsMissing(looked) &&
                                                          looked != ERROR_INVALID_NAME &&
                                                          looked != ERROR_FILENAME_EXCED_RANGE) {
            // A target that can't be looked at may be there: a copy placed
            // over it would replace it unkept. (A name the destination
            // refuses fails where it is placed.)
            Fail(what, looked, copy.target);
        }
    }
    // CopyFileW keeps the times and attributes.
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 16 && error == ERROR_FILE_EXISTS; ++attempt) {
        copy.temporary = NativePath(folder.native + Widen(NewCopyTemporaryName()));
        error = ::CopyFileW(from.c_str(), copy.temporary.c_str(), TRUE) ? ERROR_SUCCESS : ::GetLastError();
        if (error == ERROR_FILE_EXISTS) copy.temporary.clear();  // not ours
    }
    if (error != ERROR_SUCCESS) Fail(what, error, copy.target);
}

// How the folder spells the entry that `path` reaches; empty when none does.
std::wstring WindowsCopySession::StoredSpelling(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW(NativePath(path).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return {};
    ::FindClose(search);
    return found.cFileName;
}

// Two sources whose targets are one name on a destination that takes names
// in either case for one (NTFS, as Windows' own case table folds them): the
// first in list order keeps it. A name the folder lists spelled as it is
// (a folder that tells case apart) is an entry of its own.
void WindowsCopySession::RefuseTwin(const Copy& copy)
{
    const std::wstring name = Widen(NameOf(copy.target));
    std::wstring first;
    {
        std::lock_guard lock(mutex_);
        const auto& claimed = copy.folder->state->claimed;
        if (const auto it = claimed.find(Folded(name)); it != claimed.end() && it->second != name) first = it->second;
    }
    if (first.empty()) return;
    const std::wstring stored = StoredSpelling(copy.to);
    if (stored.empty() || stored == name) return;  // nothing has the name yet, or it is its own
    throw FsError(copy.What() + ": it has the same name as " + Quoted(support::Narrow(first)) +
                      " on this destination, which does not tell upper from lower case",
                  FsError::Kind::Other, ERROR_ALREADY_EXISTS, copy.target);
}

void WindowsCopySession::Claim(const Copy& copy)
{
    const std::wstring name = Widen(NameOf(copy.target));
    std::lock_guard lock(mutex_);
    copy.folder->state->claimed.try_emplace(Folded(name), name);
}

bool WindowsCopySession::UpToDate(const BY_HANDLE_FILE_INFORMATION& source, const BY_HANDLE_FILE_INFORMATION& target,
                                  const Folder& folder)
{
    if (target.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    if (source.nFileSizeHigh != target.nFileSizeHigh || source.nFileSizeLow != target.nFileSizeLow) return false;
    const std::uint64_t a = Ticks(source.ftLastWriteTime), b = Ticks(target.ftLastWriteTime);
    const std::uint64_t difference = a > b ? a - b : b - a;
    if (difference == 0) return true;
    if (difference >= 20000000) return false;
    std::lock_guard lock(mutex_);
    FolderState& state = *folder.state;
    if (state.timeGranularity == 0) state.timeGranularity = TimeGranularity(NativePath(folder.native));
    return difference < state.timeGranularity;
}

}  // namespace tandrel::win
