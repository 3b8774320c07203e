// tandrel-cli: the backup engine without a window, for scripts and schedulers.
#include <unistd.h>

#include <iostream>
#include <stdexcept>

#include "options.h"
#include "run.h"

int main(int argc, char** argv)
{
    using namespace tandrel::cli;
    Options options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& problem) {
        std::cerr << "tandrel-cli: " << problem.what() << "\n\n" << Usage();
        return kUsageOrGathering;
    }
    if (options.help) {
        std::cout << Usage();
        return 0;
    }
    if (options.version) {
        std::cout << "tandrel-cli " << TANDREL_VERSION << '\n';
        return 0;
    }
    tandrel::NativeFileSystem fs;
    const bool interactive = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
    return Run(options, interactive, std::cin, std::cout, std::cerr, fs);
}
