// The copies a backup replaces, kept in the destination's versions folder:
// "Tandrel Versions\<run>\<the target's path>", one run folder per backup
// that kept something, named by its start time (UTC) and marked as ours.
// A replaced copy is moved there within its volume, never copied. Nothing
// here is reached through a link: the folders are opened as themselves,
// level by level, and held while their paths are used, as a user who can
// write to the destination may plant links.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/detail/versionnames.h"
#include "engine/windows/copysession.h"
#include "support/wintext.h"

namespace tandrel::win {

using support::Narrow;
using support::Widen;
using namespace versions;

namespace {

// A folder of the versions folder held while pruning: opened as itself,
// shared neither for deletion nor for renaming, listed through its handle,
// and with the right to remove it once it is empty.
struct Held {
    Handle handle {INVALID_HANDLE_VALUE};
    std::wstring native;  // with its final "\"
    bool valid() const { return handle.valid(); }
};

// The folder at `native` (without its final "\"); not valid where it is not
// there, is no folder or leads elsewhere.
Held HoldToPrune(const std::wstring& native)
{
    Held held;
    held.handle.Reset(::CreateFileW(NativePath(native).c_str(),
                                    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO info {};
    bool folder = false;
    try {
        folder = held.valid() &&
                 ::GetFileInformationByHandleEx(held.handle.get(), FileAttributeTagInfo, &info, sizeof info) &&
                 (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                 !FolderLeadsElsewhere(held.handle.get(), native, {});
    } catch (const FsError&) {
        // can't be told: taken for a link
    }
    if (!folder) held.handle.Reset(INVALID_HANDLE_VALUE);
    held.native = native + L"\\";
    return held;
}

bool RemoveHeld(Held& folder)
{
    FILE_DISPOSITION_INFO disposition {TRUE};
    const bool removed =
        ::SetFileInformationByHandle(folder.handle.get(), FileDispositionInfo, &disposition, sizeof disposition);
    folder.handle.Reset(INVALID_HANDLE_VALUE);  // gone as it closes
    return removed;
}

struct Entry {
    std::wstring name;
    DWORD attributes;
    DWORD tag;
    bool IsFolder() const { return attributes & FILE_ATTRIBUTE_DIRECTORY; }
};

// Every entry of the folder `folder`, links included: listed through its
// handle, as a listing by its path would need it shared for deletion.
std::vector<Entry> EntriesOf(const Held& folder)
{
    std::vector<Entry> entries;
    std::vector<std::uint64_t> buffer(8192);  // 64 KiB, aligned as the records need
    const auto size = static_cast<DWORD>(buffer.size() * sizeof buffer[0]);
    for (auto kind = FileFullDirectoryRestartInfo;
         ::GetFileInformationByHandleEx(folder.handle.get(), kind, buffer.data(), size); kind = FileFullDirectoryInfo) {
        for (auto* at = reinterpret_cast<const unsigned char*>(buffer.data());;) {
            const auto& info = *reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
            const std::wstring name(info.FileName, info.FileNameLength / sizeof(wchar_t));
            // A reparse point's tag is where the size of its extended
            // attributes would be.
            const DWORD tag = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info.EaSize : 0;
            if (name != L"." && name != L"..") entries.push_back({name, info.FileAttributes, tag});
            if (info.NextEntryOffset == 0) break;
            at += info.NextEntryOffset;
        }
    }
    return entries;
}

// Every file below the folder `folder`, by its path below it; the folders
// that lead elsewhere are neither followed nor listed.
void ListFiles(const Held& folder, const std::wstring& below, std::vector<std::wstring>& files)
{
    for (const Entry& entry : EntriesOf(folder)) {
        if (!entry.IsFolder()) {
            if (!below.empty() || entry.name != Widen(kRunMarker)) files.push_back(below + entry.name);
        } else if (!LeadsElsewhere(entry.attributes, entry.tag)) {
            const Held next = HoldToPrune(folder.native + entry.name);
            if (next.valid()) ListFiles(next, below + entry.name + L"\\", files);
        }
    }
}

// Removes the file `name` of the folder `native` itself (a link as the
// link), read-only or not; the bytes it took, or -1.
std::int64_t RemoveFile(const std::wstring& native, const std::wstring& name)
{
    // Opened for nobody else: a kept copy someone has open stays.
    Handle file(::CreateFileW(NativePath(native + name).c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_STANDARD_INFO standard {};
    FILE_BASIC_INFO basic {};
    if (!file.valid() || !::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard) ||
        standard.Directory || !::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic))
        return -1;
    if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
        basic.FileAttributes = (basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition {TRUE};
    if (!::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition)) return -1;
    return standard.AllocationSize.QuadPart;
}

// Removes `path` below the run folder `run`, and the folders on its way
// that are left empty; the bytes it took, or -1.
std::int64_t RemoveBelow(const Held& run, const std::wstring& path)
{
    std::vector<Held> levels;  // the folders on the way
    std::size_t from = 0;
    for (std::size_t cut; (cut = path.find(L'\\', from)) != std::wstring::npos; from = cut + 1) {
        const std::wstring& parent = levels.empty() ? run.native : levels.back().native;
        Held next = HoldToPrune(parent + path.substr(from, cut - from));
        if (!next.valid()) return -1;
        levels.push_back(std::move(next));
    }
    const std::int64_t size = RemoveFile(levels.empty() ? run.native : levels.back().native, path.substr(from));
    if (size < 0) return -1;
    for (auto it = levels.rbegin(); it != levels.rend() && RemoveHeld(*it); ++it) {
    }
    return size;
}

struct Run {
    std::wstring name;
    std::int64_t time;
    Held folder;
};

// The run folders of the versions folder `versions` (as the session reached
// it), newest first: those of our own names that hold our marker.
std::vector<Run> Runs(const Folder& versions)
{
    std::vector<Run> runs;
    const Held held = HoldToPrune(versions.native.substr(0, versions.native.size() - 1));
    if (!held.valid()) return runs;
    for (const Entry& entry : EntriesOf(held)) {
        const std::int64_t time = RunTime(Narrow(entry.name));
        if (time < 0 || !entry.IsFolder() || LeadsElsewhere(entry.attributes, entry.tag)) continue;
        Held folder = HoldToPrune(held.native + entry.name);
        if (!folder.valid()) continue;
        Handle marker(OpenEntry(folder.native + Widen(kRunMarker)));
        BY_HANDLE_FILE_INFORMATION info;
        if (!marker.valid() || !::GetFileInformationByHandle(marker.get(), &info) ||
            (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            continue;
        runs.push_back({entry.name, time, std::move(folder)});
    }
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.time != b.time ? a.time > b.time : a.name > b.name; });
    return runs;
}

// Whether the file open as `entry` lies in `folder` itself, by the paths the
// system gives for both; true where it can't tell.
bool LiesIn(HANDLE entry, const Folder& folder)
{
    const std::wstring at = FinalPathOf(entry);
    std::wstring in = FinalPathOf(folder.handle.get());
    while (!in.empty() && IsSeparator(in.back())) in.pop_back();
    const std::size_t cut = at.find_last_of(L"\\/");
    return at.empty() || in.empty() || (cut != std::wstring::npos && Folded(at.substr(0, cut)) == Folded(in));
}

// A run folder left with its marker alone goes.
void DropIfEmpty(Run& run)
{
    if (!run.folder.valid()) return;
    for (const Entry& entry : EntriesOf(run.folder))
        if (Folded(entry.name) != Folded(Widen(kRunMarker))) return;
    RemoveFile(run.folder.native, Widen(kRunMarker));
    RemoveHeld(run.folder);
}

}  // namespace

std::string WindowsCopySession::VersionsFolder() const
{
    return runFolder_.empty() ? std::string() : VersionsRoot() + "\\" + runFolder_;
}

std::string WindowsCopySession::VersionsRoot() const
{
    return destination_ + "\\" + kVersionsFolderName;
}

// This run's folder of kept copies, with its marker; the versions folder's
// README comes with it.
void WindowsCopySession::MakeRunFolder()
{
    const std::string root = VersionsRoot();
    FolderRef versions = Walk(root, true, true, nullptr);
    Handle readme(::CreateFileW(NativePath(versions->native + Widen(kReadme)).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD written = 0;
    // A README is a courtesy; the copies are what counts.
    if (readme.valid())
        ::WriteFile(readme.get(), kReadmeText, static_cast<DWORD>(std::strlen(kReadmeText)), &written, nullptr);
    const std::string base = RunName(*runTime_);
    std::string name;
    for (int sequence = 1;; ++sequence) {
        name = sequence == 1 ? base : base + "-" + std::to_string(sequence);
        if (::CreateDirectoryW(NativePath(versions->native + Widen(name)).c_str(), nullptr)) break;
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS || sequence == 1000)
            Fail("Could not make the folder " + Quoted(root + "\\" + name), error, root + "\\" + name);
    }
    FolderRef run = Walk(root + "\\" + name, false, true, nullptr);
    Handle marker(::CreateFileW(NativePath(run->native + Widen(kRunMarker)).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!marker.valid())
        Fail("Could not mark the folder " + Quoted(root + "\\" + name), ::GetLastError(), root + "\\" + name);
    runFolder_ = name;
}

std::string WindowsCopySession::KeepingFolder()
{
    if (!runTime_)
        throw FsError("Could not keep a copy in the versions folder: no run was named", FsError::Kind::Other, 0,
                      VersionsRoot());
    if (runFolder_.empty()) MakeRunFolder();
    return VersionsRoot() + "\\" + runFolder_;
}

// The folder of this run's kept copies that stands for `folder` of the
// destination, made with every missing level; the run folder comes with the
// first.
FolderRef WindowsCopySession::KeptFolderFor(const Folder& folder)
{
    const std::string root = VersionsRoot();
    if (runFolder_.empty()) MakeRunFolder();
    const std::string below = folder.path.substr(std::min(folder.path.size(), destination_.size() + 1));
    return Walk(root + "\\" + runFolder_ + (below.empty() ? "" : "\\" + below), true, true, nullptr);
}

// Before a target is replaced, its copy is renamed into this run's folder of
// kept copies, and the new copy takes the empty name right after. The
// versions folder is on the target's volume, and a rename never copies: a
// copy that can't be kept so is not kept at all. The rename goes through a
// handle of the old copy opened as itself, a link as the link, and held
// unshared for deletion, so that what was looked at is what moves. A kill at
// any moment leaves the old copy at its target or kept, and the new one
// placed, in its temporary, or not yet written.
void WindowsCopySession::KeepReplaced(Copy& copy)
{
    const std::string what = copy.What() + ": the copy it replaces could not be kept";
    Handle old(::CreateFileW(NativePath(copy.to).c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr));
    if (!old.valid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return;  // gone since the work looked: nothing to keep
        copy.Drop();
        Fail(what, error, copy.target);
    }
    // Wine opens a link of its host to a file as the file it leads to: that
    // file is not the backup's to move, and the link is replaced as it is.
    if (!LiesIn(old.get(), *copy.folder)) return;
    FolderRef kept;
    try {
        kept = KeptFolderFor(*copy.folder);
    } catch (const FsError& failure) {
        copy.Drop();
        throw failure.Within(what);
    }
    const std::wstring to = NativePath(kept->native + Widen(NameOf(copy.target)));
    std::vector<std::uint64_t> buffer(2 + (sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t)) / 8);
    auto& rename = *reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename.ReplaceIfExists = FALSE;
    rename.RootDirectory = nullptr;
    rename.FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::memcpy(rename.FileName, to.c_str(), (to.size() + 1) * sizeof(wchar_t));
    if (!::SetFileInformationByHandle(old.get(), FileRenameInfo, &rename,
                                      static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
        const DWORD error = ::GetLastError();
        copy.Drop();
        Fail(what + " in " + Quoted(kept->path), error, kept->path);
    }
    ++kept_;
}

std::int64_t WindowsCopySession::PruneVersions(std::int64_t cutoff)
{
    FolderRef versions;
    try {
        versions = Walk(VersionsRoot(), false, true, nullptr);
    } catch (const FsError&) {
        return 0;  // no versions folder (or a link in its place): nothing kept yet
    }
    std::vector<Run> runs = Runs(*versions);
    // Nothing to do, without a look inside, while no run is old enough.
    if (runs.empty() || runs.back().time >= cutoff) return 0;
    std::set<std::wstring> newest;  // paths whose newest kept copy was met, folded
    std::int64_t removed = 0;
    for (Run& run : runs) {
        std::vector<std::wstring> files;
        ListFiles(run.folder, L"", files);
        for (const std::wstring& file : files) {
            const bool isNewest = newest.insert(Folded(file)).second;
            if (run.time < cutoff && !isNewest && RemoveBelow(run.folder, file) >= 0) ++removed;
        }
        if (run.time < cutoff) DropIfEmpty(run);
    }
    return removed;
}

std::int64_t WindowsCopySession::FreeVersions(std::uint64_t bytes)
{
    FolderRef versions;
    try {
        versions = Walk(VersionsRoot(), false, true, nullptr);
    } catch (const FsError&) {
        return 0;
    }
    std::vector<Run> runs = Runs(*versions);
    // Every kept copy but the newest of its path may go, the oldest first.
    std::set<std::wstring> newest;
    std::vector<std::pair<std::size_t, std::wstring>> candidates;  // run (newest first), path
    for (std::size_t i = 0; i < runs.size(); ++i) {
        std::vector<std::wstring> files;
        ListFiles(runs[i].folder, L"", files);
        for (const std::wstring& file : files)
            if (!newest.insert(Folded(file)).second) candidates.emplace_back(i, file);
    }
    std::int64_t removed = 0;
    std::uint64_t freed = 0;
    for (auto it = candidates.rbegin(); it != candidates.rend() && freed < bytes; ++it) {
        const std::int64_t size = RemoveBelow(runs[it->first].folder, it->second);
        if (size < 0) continue;
        freed += static_cast<std::uint64_t>(size);
        ++removed;
    }
    for (Run& run : runs) DropIfEmpty(run);
    return removed;
}

}  // namespace tandrel::win
