// Waiting out an rclone mount's uploads (see uploads.h).
#include "engine/linux/uploads.h"

#include <dirent.h>
#include <sys/stat.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

namespace tandrel {

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> SplitNul(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// `path` made absolute against `folder`, with "." and ".." and doubled
// slashes taken out (the mount point need not exist for the comparison).
std::string Absolute(const std::string& path, const std::string& folder)
{
    const std::string whole = !path.empty() && path[0] == '/' ? path : folder + "/" + path;
    std::vector<std::string> parts;
    std::istringstream in(whole);
    std::string part;
    while (std::getline(in, part, '/')) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string text;
    for (const std::string& p : parts) text += "/" + p;
    return text.empty() ? "/" : text;
}

// The value of an option given as "--name value" or "--name=value".
std::optional<std::string> Option(const std::vector<std::string>& arguments, const std::string& name)
{
    std::optional<std::string> value;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == name && i + 1 < arguments.size()) value = arguments[i + 1];
        if (arguments[i].rfind(name + "=", 0) == 0) value = arguments[i].substr(name.size() + 1);
    }
    return value;
}

// How much the process has written: an upload writes to the network. (It
// also reads the cached file again at each retry of a failed upload, so what
// it reads tells nothing.)
std::optional<std::uint64_t> BytesWritten(const std::string& procRoot, pid_t pid)
{
    std::istringstream io(ReadAll(procRoot + "/" + std::to_string(pid) + "/io"));
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "wchar:") return value;
    return std::nullopt;
}

}  // namespace

std::optional<RcloneMount> ParseRcloneMount(const MountEntry& mount, const std::vector<std::string>& arguments,
                                            const std::map<std::string, std::string>& environment,
                                            const std::string& workingFolder)
{
    if (arguments.empty()) return std::nullopt;
    const std::string program = arguments[0].substr(arguments[0].rfind('/') + 1);
    if (program != "rclone") return std::nullopt;
    bool mounts = false, remote = false, point = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a == "mount" || a == "cmount" || a == "mount2") mounts = true;
        if (a == mount.source) remote = true;
        if (!a.empty() && a[0] != '-' && Absolute(a, workingFolder) == mount.mountPoint) point = true;
    }
    if (!mounts || !remote || !point) return std::nullopt;

    RcloneMount found;
    found.mountPoint = mount.mountPoint;
    const std::size_t colon = mount.source.find(':');
    found.remote = mount.source.substr(0, colon);
    if (colon != std::string::npos) found.remoteRoot = mount.source.substr(colon + 1);
    auto env = [&](const std::string& name) {
        const auto it = environment.find(name);
        return it == environment.end() ? std::string() : it->second;
    };
    if (auto dir = Option(arguments, "--cache-dir")) {
        found.cacheDir = Absolute(*dir, workingFolder);
    } else if (!env("RCLONE_CACHE_DIR").empty()) {
        found.cacheDir = Absolute(env("RCLONE_CACHE_DIR"), workingFolder);
    } else if (!env("XDG_CACHE_HOME").empty()) {
        found.cacheDir = Absolute(env("XDG_CACHE_HOME"), workingFolder) + "/rclone";
    } else {
        found.cacheDir = env("HOME") + "/.cache/rclone";
    }
    if (auto log = Option(arguments, "--log-file"); log && !log->empty()) {
        found.logPath = Absolute(*log, workingFolder);
    } else if (!env("RCLONE_LOG_FILE").empty()) {
        found.logPath = Absolute(env("RCLONE_LOG_FILE"), workingFolder);
    }
    found.cacheMode = Option(arguments, "--vfs-cache-mode").value_or(env("RCLONE_VFS_CACHE_MODE"));
    if (found.cacheMode.empty()) found.cacheMode = "off";
    // Without a cache for writes, the mount can't reopen a file it is
    // writing nor rename one before its upload; with one, the upload is
    // followed through the cache.
    if (found.cacheMode != "writes" && found.cacheMode != "full")
        found.missingOptions.push_back("--vfs-cache-mode writes");
    return found;
}

std::optional<RcloneMount> FindRcloneMount(const MountEntry& mount, const std::string& procRoot)
{
    DIR* folder = ::opendir(procRoot.c_str());
    if (!folder) return std::nullopt;
    std::optional<RcloneMount> found;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string base = procRoot + "/" + name;
        const std::vector<std::string> arguments = SplitNul(ReadAll(base + "/cmdline"));
        if (arguments.empty() || arguments[0].find("rclone") == std::string::npos) continue;
        std::map<std::string, std::string> environment;
        for (const std::string& line : SplitNul(ReadAll(base + "/environ")))
            if (const std::size_t eq = line.find('='); eq != std::string::npos)
                environment[line.substr(0, eq)] = line.substr(eq + 1);
        char cwd[PATH_MAX] = {};
        const ssize_t length = ::readlink((base + "/cwd").c_str(), cwd, sizeof cwd - 1);
        found = ParseRcloneMount(mount, arguments, environment, length > 0 ? std::string(cwd, length) : "/");
        if (found) {
            found->pid = static_cast<pid_t>(std::stol(name));
            // Without a log file of its own, its errors may go to a file all
            // the same (a service's, a shell's redirection).
            struct stat errors {};
            if (found->logPath.empty() && ::stat((base + "/fd/2").c_str(), &errors) == 0 && S_ISREG(errors.st_mode))
                found->logPath = base + "/fd/2";
            break;
        }
    }
    ::closedir(folder);
    return found;
}

std::string RcloneMetaPath(const RcloneMount& mount, const std::string& path)
{
    const std::string& point = mount.mountPoint;
    const bool below = path.size() > point.size() && path.compare(0, point.size(), point) == 0 &&
                       (point == "/" || path[point.size()] == '/');
    if (!below) return {};
    std::string meta = mount.cacheDir + "/vfsMeta/" + mount.remote;
    if (!mount.remoteRoot.empty()) meta += "/" + mount.remoteRoot;
    meta += path.substr(point == "/" ? 0 : point.size());
    return Absolute(meta, "/");
}

bool RcloneMetaUploaded(const std::string& metaText)
{
    // Only a whole record that says so: the mount rewrites the file in place,
    // and one read meanwhile may be empty or cut short.
    static const std::regex clean(R"re("Dirty"\s*:\s*false)re");
    const std::size_t last = metaText.find_last_not_of(" \t\r\n");
    return last != std::string::npos && metaText[last] == '}' && std::regex_search(metaText, clean);
}

RcloneLog::RcloneLog(std::string path) : path_(std::move(path))
{
    struct stat info {};
    if (::stat(path_.c_str(), &info) == 0) offset_ = static_cast<std::uint64_t>(info.st_size);
}

void RcloneLog::Read()
{
    struct stat info {};
    if (::stat(path_.c_str(), &info) != 0) return;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size == offset_) return;
    if (size < offset_) offset_ = 0;  // cut short (rotated): all of it is new
    std::ifstream in(path_, std::ios::binary);
    if (!in.seekg(static_cast<std::streamoff>(offset_))) return;
    const std::string text(std::istreambuf_iterator<char>(in), {});
    // A line still being written is read at the next look.
    const std::size_t end = text.rfind('\n');
    if (end == std::string::npos) return;
    Take(text.substr(0, end + 1));
    offset_ += end + 1;
}

void RcloneLog::Take(const std::string& lines)
{
    // "2026/12/10 11:31:01 ERROR : docs/a:b.txt: vfs cache: failed to upload
    // try #1, will retry in 10s: vfs cache: failed to transfer file from
    // cache to remote: <the remote's reason>"
    static const std::string kLevel = "ERROR : ", kTry = ": vfs cache: failed to upload try #",
                             kRetry = ", will retry in ", kTransfer = "failed to transfer file from cache to remote: ";
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t tried = line.find(kTry);
        const std::size_t level = line.rfind(kLevel, tried);
        if (tried == std::string::npos || level == std::string::npos) continue;
        const std::size_t retry = line.find(kRetry, tried);
        const std::size_t colon = retry == std::string::npos ? retry : line.find(": ", retry);
        std::string reason = colon == std::string::npos ? std::string() : line.substr(colon + 2);
        if (const std::size_t transfer = reason.find(kTransfer); transfer != std::string::npos)
            reason.erase(0, transfer + kTransfer.size());
        FailedUpload& failed = failed_[line.substr(level + kLevel.size(), tried - level - kLevel.size())];
        ++failed.tries;
        failed.reason = reason;
    }
}

const FailedUpload* RcloneLog::Of(const std::string& file) const
{
    const auto it = failed_.find(file);
    return it == failed_.end() ? nullptr : &it->second;
}

std::vector<NotUploadedFile> WaitForUploads(std::vector<std::string> files,
                                            const std::function<bool(const std::string&)>& uploaded,
                                            const std::function<FailedUpload(const std::string&)>& failures,
                                            const std::function<bool()>& moving, std::chrono::milliseconds stall,
                                            std::chrono::milliseconds poll)
{
    // A try can fail for a moment's trouble: the mount tries again (10 s
    // later), and a second failure is the remote's answer.
    constexpr int kRefusedAfter = 2;
    std::vector<NotUploadedFile> left;
    auto lastMove = std::chrono::steady_clock::now();
    while (true) {
        const std::size_t before = files.size();
        std::erase_if(files, uploaded);
        std::erase_if(files, [&](const std::string& file) {
            FailedUpload failed = failures(file);
            if (failed.tries < kRefusedAfter) return false;
            left.push_back({file, std::move(failed.reason)});
            return true;
        });
        if (files.empty()) return left;
        const auto now = std::chrono::steady_clock::now();
        if (files.size() < before || moving()) lastMove = now;
        if (now - lastMove >= stall) {
            for (std::string& file : files) left.push_back({file, failures(file).reason});
            return left;
        }
        std::this_thread::sleep_for(poll);
    }
}

void Uploads::Placed(const MountEntry& mount, std::string path)
{
    Mount& m = mounts_[mount.mountPoint];
    if (m.files.empty() && !m.found) {
        m.found = FindRcloneMount(mount);
        if (m.found && !m.found->logPath.empty()) m.log.emplace(m.found->logPath);
    }
    m.files.push_back(std::move(path));
}

std::vector<Uploads::NotUploaded> Uploads::Wait(std::chrono::milliseconds stall)
{
    std::vector<NotUploaded> left;
    for (auto& [point, m] : mounts_) {
        if (m.files.empty()) continue;
        if (!m.found) {
            // The mount's process is not one this backup can look at (another
            // user's): its uploads can't be followed, and none is taken as
            // done.
            NotUploaded unknown {point, {}};
            for (std::string& file : m.files) unknown.files.push_back({std::move(file), {}});
            left.push_back(std::move(unknown));
            continue;
        }
        const RcloneMount& mount = *m.found;
        const bool cached = mount.cacheMode == "writes" || mount.cacheMode == "full";
        auto uploaded = [&](const std::string& file) {
            // Without a cache for writes, the close returned only once the
            // remote held the file.
            if (!cached) return true;
            const std::string meta = RcloneMetaPath(mount, file);
            if (meta.empty()) return false;
            std::ifstream in(meta, std::ios::binary);
            if (!in) return false;  // not in the cache at all: nothing says it reached the remote
            return RcloneMetaUploaded(std::string(std::istreambuf_iterator<char>(in), {}));
        };
        // A MiB sent since the last sign counts as one: the few bytes of the
        // mount's log lines about failed tries don't.
        std::optional<std::uint64_t> sent = BytesWritten("/proc", mount.pid);
        auto moving = [&] {
            const std::optional<std::uint64_t> now = BytesWritten("/proc", mount.pid);
            if (!now || !sent || *now < *sent + (1u << 20)) return false;
            sent = now;
            return true;
        };
        // What the mount's log said of the file, below the mount point.
        std::optional<RcloneLog>& log = m.log;
        auto failures = [&](const std::string& file) {
            if (!log) return FailedUpload {};
            log->Read();
            const std::size_t skip = point == "/" ? 1 : point.size() + 1;
            const FailedUpload* failed = file.size() > skip ? log->Of(file.substr(skip)) : nullptr;
            return failed ? *failed : FailedUpload {};
        };
        std::vector<NotUploadedFile> rest =
            WaitForUploads(std::move(m.files), uploaded, failures, moving, stall, std::chrono::milliseconds(200));
        if (!rest.empty()) left.push_back({point, std::move(rest)});
    }
    mounts_.clear();
    return left;
}

std::vector<std::pair<std::string, std::vector<std::string>>> Uploads::Unrecommended() const
{
    std::vector<std::pair<std::string, std::vector<std::string>>> lacking;
    for (const auto& [point, m] : mounts_)
        if (m.found && !m.found->missingOptions.empty()) lacking.emplace_back(point, m.found->missingOptions);
    return lacking;
}

}  // namespace tandrel
