// tandrel-cli: the backup engine without a window, for scripts and schedulers.
#include <unistd.h>

#include <iostream>
#include <stdexcept>

#include "cli/options.h"
#include "cli/run.h"
#include "engine/settings.h"
#include "support/notice.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

// The arguments as UTF-8: argv holds them in the ANSI code page, which
// loses every letter outside it.
static std::vector<std::string> Arguments(int, char**)
{
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; wide && i < count; ++i) {
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), size, nullptr, nullptr);
        args.push_back(std::move(arg));
    }
    ::LocalFree(wide);
    return args;
}
#else
static std::vector<std::string> Arguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + 1, argv + argc);
}
#endif

int main(int argc, char** argv)
{
    using namespace tandrel::cli;
#ifdef _WIN32
    ::SetConsoleOutputCP(CP_UTF8);  // paths are printed as UTF-8
#endif
    Options options;
    try {
        options = ParseOptions(Arguments(argc, argv));
    } catch (const std::invalid_argument& problem) {
        std::cerr << "tandrel-cli: " << problem.what() << "\n\n" << Usage();
        return kUsageOrGathering;
    }
    if (options.help) {
        std::cout << Usage();
        return 0;
    }
    if (options.version) {
        std::cout << "tandrel-cli " << TANDREL_VERSION << '\n' << tandrel::support::kLicenceNotice;
        return 0;
    }
    tandrel::NativeFileSystem fs;
    const bool interactive = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
    tandrel::DestinationMemory destinations(tandrel::DestinationMemory::DefaultFile());
    const tandrel::Settings settings(tandrel::Settings::DefaultFile());
    const tandrel::ExclusionChoices user =
        tandrel::ExclusionChoices::Load(settings, tandrel::ExclusionChoices::DefaultRulesFile());
    return Run(options, interactive, std::cin, std::cout, std::cerr, fs, &destinations, &user);
}
