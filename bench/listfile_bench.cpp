// Writing and reading list files of many realistic paths.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "listfile/listfile.h"

namespace {

// Paths of 60 to 90 bytes, as a backup list of a busy disk would hold.
std::vector<std::string> MakePaths(std::size_t count)
{
    static const char* const kRoots[] = {"C:\\Users\\margaret\\Documents\\", "D:\\Archive\\Photographs\\",
                                         "E:\\Projects\\Tandrel\\source\\", "C:\\Program Files\\Shared Tools\\"};
    std::vector<std::string> paths;
    paths.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string path = kRoots[i % 4];
        path += "folder " + std::to_string(i % 977) + "\\sub folder " + std::to_string(i % 89) + "\\";
        path += "item_" + std::to_string(i) + std::string(i % 23, 'x') + ".dat";
        paths.push_back(std::move(path));
    }
    return paths;
}

std::string BenchFile()
{
    return (std::filesystem::temp_directory_path() / ("tandrel-bench-" + std::to_string(::getpid()) + ".lst")).string();
}

void BM_SaveList(benchmark::State& state)
{
    const auto paths = MakePaths(static_cast<std::size_t>(state.range(0)));
    const std::string file = BenchFile();
    for (auto _ : state) tandrel::Serialize(file, paths);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(std::filesystem::file_size(file)));
    std::filesystem::remove(file);
}

void BM_LoadList(benchmark::State& state)
{
    const auto paths = MakePaths(static_cast<std::size_t>(state.range(0)));
    const std::string file = BenchFile();
    tandrel::Serialize(file, paths);
    for (auto _ : state) {
        std::vector<std::string> loaded = tandrel::Deserialize(file).PresentEntries();
        if (loaded.size() != paths.size()) state.SkipWithError("wrong entry count");
        benchmark::DoNotOptimize(loaded.data());
        state.PauseTiming();  // freeing the list is the caller's business
        std::vector<std::string>().swap(loaded);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(std::filesystem::file_size(file)));
    std::filesystem::remove(file);
}

BENCHMARK(BM_SaveList)->Arg(250000)->Arg(500000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadList)->Arg(250000)->Arg(500000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
