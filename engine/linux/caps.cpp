// What each kind of file system is taken to do before a backup tries, and the
// rules that need no try at all.
#include "engine/linux/caps.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <vector>

namespace tandrel {

FsKind KindOfType(const std::string& type)
{
    if (type == "ext4" || type == "ext3" || type == "ext2") return FsKind::Ext4;
    if (type == "xfs") return FsKind::Xfs;
    if (type == "btrfs") return FsKind::Btrfs;
    if (type == "tmpfs") return FsKind::Tmpfs;
    if (type == "vfat" || type == "msdos" || type == "fuse.fusefat") return FsKind::Fat;
    if (type == "exfat" || type == "fuse.exfat") return FsKind::ExFat;
    if (type == "ntfs" || type == "ntfs3") return FsKind::Ntfs;
    if (type == "fuse.sshfs") return FsKind::Sshfs;
    if (type == "fuse.rclone") return FsKind::Rclone;
    if (type == "fuse.smbnetfs" || type == "cifs" || type == "smb3" || type == "smbfs") return FsKind::Smb;
    if (type.rfind("fuse", 0) == 0) return FsKind::OtherFuse;
    return type.empty() ? FsKind::Unknown : FsKind::Other;
}

TimeGrains TimeGrainsOf(FsKind kind)
{
    constexpr std::int64_t kSecond = 1000000000;
    switch (kind) {
    case FsKind::Fat:
        return {kCoarsestTimeGrain, kCoarsestTimeGrain};
    case FsKind::ExFat:
        // 10 ms in the kernel's driver, seconds through FUSE, 2 s for the
        // access time: a destination is probed, a source taken at the worst.
        return {0, kCoarsestTimeGrain};
    case FsKind::Sshfs:
        return {kSecond, kSecond};  // SFTP carries whole seconds
    case FsKind::Smb:
        return {0, kSecond};  // as the server's file system keeps them
    case FsKind::Rclone:
        return {0, kSecond};  // as the remote keeps them: SFTP and most clouds to the second or finer
    case FsKind::Ntfs:
        return {0, 100};
    case FsKind::Ext4:  // nanoseconds; seconds with the small inodes of old ext2 and ext3
    case FsKind::Xfs:
    case FsKind::Btrfs:
    case FsKind::Tmpfs:
    case FsKind::OtherFuse:
    case FsKind::Other:
    case FsKind::Unknown:
        return {0, 1};
    }
    return {0, 1};
}

DestinationCaps DestinationCaps::Of(FsKind kind, std::string type)
{
    const bool fuse = type.rfind("fuse", 0) == 0;
    DestinationCaps caps;
    caps.kind = kind;
    caps.type = std::move(type);
    caps.timeGrain.store(TimeGrainsOf(kind).known);
    // Every file system of a known kind keeps times; a remote behind rclone,
    // or a file system we know nothing of, is asked.
    const bool asked =
        kind == FsKind::Rclone || kind == FsKind::OtherFuse || kind == FsKind::Other || kind == FsKind::Unknown;
    if (!asked) caps.keepsTimes.Set(true);
    // What FUSE never passes on: unnamed files; nor, with some drivers, one
    // inode for the names a file is looked up by.
    if (fuse) {
        caps.unnamedFiles.Refused();
        caps.stableInodes = false;
    }
    // Only the local file systems are sure that a name they call taken is.
    const bool local = kind == FsKind::Ext4 || kind == FsKind::Xfs || kind == FsKind::Btrfs || kind == FsKind::Tmpfs;
    caps.eexistMeansFull = !local;
    caps.closeReportsErrors = !local;
    switch (kind) {
    case FsKind::Ext4:
    case FsKind::Tmpfs:
        caps.folding = CaseFolding::PerFolder;  // chattr +F
        break;
    case FsKind::Xfs:
    case FsKind::Btrfs:
        caps.folding = CaseFolding::Exact;
        break;
    case FsKind::Fat:
        // At most 4 GiB - 1 byte a file; fusefat does not even say so, and
        // past 4 GiB writes over the start of the file.
        caps.largestFile = 0xFFFFFFFFLL;
        [[fallthrough]];
    case FsKind::ExFat:
        caps.unnamedFiles.Refused();
        caps.renameNoReplace.Refused();
        caps.hardLinks.Refused();
        caps.symlinks.Set(false);
        caps.chown.Refused();
        caps.keepsModes = false;
        caps.folding = CaseFolding::Folds;
        // fusefat gives a renamed file the time of the rename.
        if (caps.type == "fuse.fusefat") caps.renameKeepsTimes.Set(false);
        break;
    case FsKind::Ntfs:
        caps.folding = CaseFolding::Exact;
        caps.keepsModes = caps.type == "ntfs3";
        break;
    case FsKind::Sshfs:
        caps.renameNoReplace.Refused();
        caps.folding = CaseFolding::Exact;
        break;
    case FsKind::Smb:
        // A name a share refuses is known from the name, and must be: to
        // try one drops the connection for seconds. Times are kept to the
        // second, owners and modes not at all.
        caps.windowsNames = true;
        caps.rewritesNames = true;
        caps.renameNoReplace.Refused();
        caps.chown.Refused();
        caps.renamesOpenFiles.Refused();
        caps.keepsModes = false;
        if (caps.type == "fuse.smbnetfs") {
            caps.hardLinks.Refused();
            caps.symlinks.Set(false);
        }
        caps.folding = CaseFolding::Unknown;  // as the server's file system does
        break;
    case FsKind::Rclone:
        // rclone's mount answers a hard link with EIO, and holds neither
        // links nor owners nor modes (those are the mount's options). What
        // the remote keeps of times, and whether it folds case, the probes
        // ask: it differs from remote to remote.
        caps.renameNoReplace.Refused();
        caps.hardLinks.Refused();
        caps.symlinks.Set(false);
        caps.chown.Refused();
        caps.keepsModes = false;
        caps.folding = CaseFolding::Unknown;
        break;
    case FsKind::OtherFuse:
    case FsKind::Other:
    case FsKind::Unknown:
        caps.folding = CaseFolding::Unknown;
        break;
    }
    return caps;
}

namespace {

// Undoes the mount table's octal escapes ("\040" for a space).
std::string Unescape(const std::string& field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() + 0 && std::isdigit(static_cast<unsigned char>(field[i + 1]))) {
            text.push_back(static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8)));
            i += 3;
        } else {
            text.push_back(field[i]);
        }
    }
    return text;
}

}  // namespace

MountEntry FindMount(const std::string& table, dev_t device)
{
    // "36 35 0:42 / /mnt rw,relatime shared:1 - fuse.fusefat /dev/x rw": the
    // device is the third field, the mount point the fifth, the type follows
    // the " - ".
    const std::string id = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::istringstream lines(table);
    std::string line;
    MountEntry found;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string mountId, parent, numbers, root, mountPoint;
        if (!(fields >> mountId >> parent >> numbers >> root >> mountPoint) || numbers != id) continue;
        const std::size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream rest(line.substr(dash + 3));
        rest >> found.type >> found.source;
        found.source = Unescape(found.source);
        found.mountPoint = Unescape(mountPoint);
    }
    return found;
}

FsKind KindOfFuseDevice(const std::string& device)
{
    // The boot sector names the file system at offset 3.
    char head[11] = {};
    std::ifstream in(device, std::ios::binary);
    if (!in.read(head, sizeof head)) return FsKind::OtherFuse;
    const std::string name(head + 3, 8);
    if (name == "EXFAT   ") return FsKind::ExFat;
    if (name == "NTFS    ") return FsKind::Ntfs;
    return FsKind::OtherFuse;
}

DestinationCaps CapsOfMount(const MountEntry& mount)
{
    const FsKind kind = mount.type == "fuseblk" ? KindOfFuseDevice(mount.source) : KindOfType(mount.type);
    return DestinationCaps::Of(kind, mount.type);
}

std::string WindowsNameRefusal(const std::string& name)
{
    for (unsigned char c : name) {
        if (c < 0x20) return "it holds a control character";
        if (std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
            return std::string("it holds the character ") + static_cast<char>(c);
    }
    if (!name.empty() && (name.back() == '.' || name.back() == ' ')) return "it ends with a dot or a space";
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    std::transform(stem.begin(), stem.end(), stem.begin(), [](unsigned char c) { return std::toupper(c); });
    static const std::vector<std::string> kDevices = {"CON", "PRN", "AUX", "NUL"};
    const bool numbered = stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) &&
                          stem[3] >= '1' && stem[3] <= '9';
    if (numbered || std::find(kDevices.begin(), kDevices.end(), stem) != kDevices.end())
        return "it is the name of a device (" + stem + ")";
    return {};
}

}  // namespace tandrel
