// What it costs to put a small file in place safely. Writes 20,000 files of
// 4 KiB into 400 new folders in each of four ways and times each until the
// file system has them on disk (syncfs):
//   straight     open(O_CREAT | O_EXCL) on the final name, write, close
//                (what cp does: a killed run leaves a partial file there)
//   + times      the same and futimens (the source's times kept)
//   unnamed      open(O_TMPFILE), write, futimens, linkat to the final name
//                (what tandrel does where the file system allows it)
//   renamed      a named temporary file, write, futimens, rename
//
//   bench_create [--dir DIR] [--runs N]
//
// The ways take turns within each round; folders are removed only at the end
// (ext4 is slow to create files right after many were deleted).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFolders = 400;
constexpr int kFilesPerFolder = 50;
constexpr std::size_t kFileSize = 4096;

enum class Way { Straight, StraightTimes, Unnamed, Renamed };
constexpr Way kWays[] = {Way::Straight, Way::StraightTimes, Way::Unnamed, Way::Renamed};

const char* Name(Way way)
{
    switch (way) {
    case Way::Straight:
        return "straight to the name (cp)";
    case Way::StraightTimes:
        return "straight, times kept";
    case Way::Unnamed:
        return "O_TMPFILE + linkat, times kept";
    case Way::Renamed:
        return "named temporary + rename, times kept";
    }
    return "";
}

[[noreturn]] void Die(const std::string& what)
{
    std::fprintf(stderr, "bench_create: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void WriteAll(int fd, const char* data, std::size_t size, const std::string& path)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) Die("write " + path);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void KeepTimes(int fd)
{
    const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ::futimens(fd, times);
}

double Run(Way way, const std::string& root)
{
    static const std::string data(kFileSize, 'x');
    const auto begin = Clock::now();
    for (int d = 0; d < kFolders; ++d) {
        const std::string folder = root + "/d" + std::to_string(d);
        if (::mkdir(folder.c_str(), 0755) != 0) Die("mkdir " + folder);
        for (int f = 0; f < kFilesPerFolder; ++f) {
            const std::string path = folder + "/f" + std::to_string(f);
            if (way == Way::Straight || way == Way::StraightTimes) {
                const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                if (fd < 0) Die("open " + path);
                WriteAll(fd, data.data(), data.size(), path);
                if (way == Way::StraightTimes) KeepTimes(fd);
                ::close(fd);
            } else if (way == Way::Unnamed) {
                const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
                if (fd < 0) Die("O_TMPFILE in " + folder);
                WriteAll(fd, data.data(), data.size(), path);
                KeepTimes(fd);
                const std::string self = "/proc/self/fd/" + std::to_string(fd);
                if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0)
                    Die("linkat " + path);
                ::close(fd);
            } else {
                const std::string temporary = folder + "/.t" + std::to_string(f);
                const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
                if (fd < 0) Die("open " + temporary);
                WriteAll(fd, data.data(), data.size(), temporary);
                KeepTimes(fd);
                ::fchmod(fd, 0644);
                ::close(fd);
                if (::rename(temporary.c_str(), path.c_str()) != 0) Die("rename " + path);
            }
        }
    }
    const int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::syncfs(dir) != 0) Die("syncfs " + root);
    ::close(dir);
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

}  // namespace

int main(int argc, char* argv[])
{
    std::string base = std::filesystem::temp_directory_path().string();
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dir" && i + 1 < argc)
            base = argv[++i];
        else if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: bench_create [--dir DIR] [--runs N]\n");
            return 2;
        }
    }
    std::string scratch = base + "/tandrel-create-XXXXXX";
    if (!::mkdtemp(scratch.data())) Die("mkdtemp under " + base);

    constexpr int kWayCount = sizeof kWays / sizeof kWays[0];
    std::vector<std::vector<double>> seconds(kWayCount);
    for (int round = 0; round < runs; ++round) {
        for (int turn = 0; turn < kWayCount; ++turn) {
            const int w = (turn + round) % kWayCount;
            const std::string root = scratch + "/" + std::to_string(round) + "-" + std::to_string(w);
            if (::mkdir(root.c_str(), 0755) != 0) Die("mkdir " + root);
            ::sync();
            seconds[w].push_back(Run(kWays[w], root));
        }
        std::fprintf(stderr, "round %d of %d done\n", round + 1, runs);
    }
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);

    std::printf("| %d files of %zu bytes | median s | lowest-highest s | / straight |\n", kFolders * kFilesPerFolder,
                kFileSize);
    std::printf("|---|---:|---:|---:|\n");
    double straight = 0;
    for (int w = 0; w < kWayCount; ++w) {
        std::vector<double>& s = seconds[w];
        std::sort(s.begin(), s.end());
        const double median = s.size() % 2 ? s[s.size() / 2] : (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
        if (w == 0) straight = median;
        std::printf("| %s | %.3f | %.3f-%.3f | %.2f |\n", Name(kWays[w]), median, s.front(), s.back(),
                    median / straight);
    }
    return 0;
}
