// tandrel-cli: the backup engine without a window, for scripts and schedulers.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "cli/check.h"
#include "cli/options.h"
#include "cli/restore.h"
#include "cli/run.h"
#include "cli/schedule.h"
#include "engine/settings.h"
#include "engine/nativefs.h"
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

// This program's absolute path, which a schedule's service starts.
static std::string Program()
{
#ifdef _WIN32
    return {};
#else
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string("tandrel-cli") : self.string();
#endif
}

int main(int argc, char** argv)
{
    using namespace tandrel::cli;
#ifdef _WIN32
    ::SetConsoleOutputCP(CP_UTF8);  // paths are printed as UTF-8
#endif
    Options options;
    ScheduleCommand schedule;
    try {
        schedule = ParseScheduleCommand(Arguments(argc, argv));
        if (schedule.kind != ScheduleCommand::Remove && schedule.kind != ScheduleCommand::List)
            options = ParseOptions(schedule.rest);
    } catch (const std::invalid_argument& problem) {
        std::cerr << "tandrel-cli: " << problem.what() << "\n\n" << Usage() << ScheduleUsage();
        return kUsageOrGathering;
    }
    if (options.help) {
        std::cout << Usage() << ScheduleUsage();
        return 0;
    }
    if (options.version) {
        std::cout << "tandrel-cli " << TANDREL_VERSION << '\n' << tandrel::support::kLicenceNotice;
        return 0;
    }
    tandrel::NativeFileSystem fs;
    if (options.check) return RunCheck(options, std::cout, std::cerr, fs);
    if (options.versions) return RunVersions(options, std::cout, std::cerr, fs);
    if (options.restore) return RunRestore(options, std::cout, std::cerr, fs);
    tandrel::DestinationMemory memory(tandrel::DestinationMemory::DefaultFile());
    if (schedule.kind != ScheduleCommand::None) {
        tandrel::SystemUserManager manager;
        tandrel::Schedules schedules(tandrel::Schedules::DefaultFolder(), manager);
        tandrel::RunLog log(tandrel::RunLog::DefaultFolder());
        tandrel::SystemRunClock clock;
        switch (schedule.kind) {
        case ScheduleCommand::Add:
            return AddSchedule(schedule, options, schedules, manager, log, clock, Program(), std::cout, std::cerr);
        case ScheduleCommand::Remove:
            return RemoveSchedule(schedule.name, schedules, log, std::cout, std::cerr);
        case ScheduleCommand::List:
            return ListSchedules(schedules, log, std::cout);
        default: {
            SessionBusNotifier notifier;
            schedule.notifySuccess |= tandrel::Settings(tandrel::Settings::DefaultFile()).Flag("notify-success", false);
            const tandrel::Settings settings(tandrel::Settings::DefaultFile());
            const tandrel::ExclusionChoices user =
                tandrel::ExclusionChoices::Load(settings, tandrel::ExclusionChoices::DefaultRulesFile());
            return ScheduledRun(log, notifier, clock).Run(schedule, options, std::cout, std::cerr, fs, &memory, &user);
        }
        }
    }
    const bool interactive = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
    const tandrel::Settings settings(tandrel::Settings::DefaultFile());
    const tandrel::ExclusionChoices user =
        tandrel::ExclusionChoices::Load(settings, tandrel::ExclusionChoices::DefaultRulesFile());
    return Run(options, interactive, std::cin, std::cout, std::cerr, fs, &memory, nullptr, &user);
}
