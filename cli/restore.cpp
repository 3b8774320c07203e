#include "cli/restore.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <ostream>

#include "cli/run.h"
#include "engine/restore.h"
#include "support/quoted.h"

namespace tandrel::cli {

using support::Quoted;

namespace {

// "YYYY-MM-DD HH:MM:SS", local time, of a time in ns since 1970.
std::string LocalTime(std::int64_t nanoseconds)
{
    return LocalDateText(nanoseconds / 1000000000 - (nanoseconds % 1000000000 < 0 ? 1 : 0));
}

// Reads what the destination holds; prints why where it can't.
std::optional<BackupContents> ReadContents(const Options& options, std::ostream& err, FileSystem& fs)
{
    try {
        BackupContents contents = BackupContents::Read(fs, *options.destination, PathStyle::Native());
        for (const std::string& problem : contents.Problems()) err << "tandrel-cli: " << problem << '\n';
        return contents;
    } catch (const std::exception& failure) {
        err << "tandrel-cli: " << failure.what() << '\n';
        return std::nullopt;
    }
}

// A PATH as the engine selects by it: a source path made absolute and
// normal, a path below the destination as given.
std::string SelectionOf(const BackupContents& contents, const std::string& path)
{
    if (contents.BelowDestination(path)) return path;
    return AbsoluteEntry(path, CurrentFolder(), contents.Style());
}

std::string Files(std::int64_t n)
{
    return std::to_string(n) + (n == 1 ? " file" : " files");
}

void NothingOf(const BackupContents& contents, const std::string& path, std::ostream& err)
{
    err << "tandrel-cli: " << Quoted(WithoutFinalSeparator(contents.Destination(), contents.Style()))
        << " holds nothing of " << Quoted(path);
    if (!contents.HasIndex() && !contents.BelowDestination(path))
        err << " (it does not record where its files came from: name the path below it)";
    err << '\n';
}

}  // namespace

int RunVersions(const Options& options, std::ostream& out, std::ostream& err, FileSystem& fs)
{
    const std::optional<BackupContents> contents = ReadContents(options, err, fs);
    if (!contents) return kUsageOrGathering;
    const std::string& path = options.entries.front();
    const std::vector<const HeldFile*> files = contents->Select(SelectionOf(*contents, path));
    if (files.empty()) {
        NothingOf(*contents, path, err);
        return kUsageOrGathering;
    }
    for (const HeldFile* file : files) {
        out << (file->source.empty() ? file->target : file->source) << ":\n";
        for (const HeldCopy& copy : file->copies)
            out << "  " << LocalTime(copy.modified) << "  " << copy.size << " bytes  "
                << (copy.keptAt == 0 ? "current" : "kept   ") << "  " << copy.path << '\n';
    }
    out << std::flush;
    return kAllCopied;
}

int RunRestore(const Options& options, std::ostream& out, std::ostream& err, FileSystem& fs)
{
    const std::optional<BackupContents> contents = ReadContents(options, err, fs);
    if (!contents) return kUsageOrGathering;
    const PathStyle style = contents->Style();
    const std::string shown = WithoutFinalSeparator(contents->Destination(), style);
    RestoreRequest request;
    for (const std::string& path : options.entries) request.paths.push_back(SelectionOf(*contents, path));
    request.at = options.at;
    if (options.to) request.to = AbsoluteEntry(*options.to, CurrentFolder(), style);
    request.replace = options.replace;
    request.dryRun = options.dryRun;

    RestoreReport report;
    if (options.dryRun)
        report.planned = [&](const RestoreItem& item) { out << "restore: " << item.from << " -> " << item.to << '\n'; };
    report.failure = [&](const std::string& message) { err << "tandrel-cli: " << message << '\n' << std::flush; };
    bool told = false;
    report.waitForLock = [&] {
        if (!told || options.noWait)
            err << "tandrel-cli: Another backup is writing into " << Quoted(shown) << "; "
                << (options.noWait ? "not waiting for it\n" : "waiting for it to finish\n") << std::flush;
        told = true;
        return !options.noWait;
    };
    const RestoreSummary summary = Restore(fs, *contents, request, report);

    for (const std::string& path : summary.unmatched) NothingOf(*contents, path, err);
    if (summary.lockRefused) return kDestinationBusy;
    out << (options.dryRun ? "Would restore: " : "Restored: ") << Files(summary.restored) << " ("
        << summary.bytes / 1024 << " KB), " << summary.same << " already there, " << summary.beside
        << " beside a file that differs, " << summary.replaced << (options.dryRun ? " replacing one" : " replaced");
    if (!options.dryRun) out << ", " << summary.failed << " failed";
    out << '\n';
    if (summary.tooNew > 0)
        out << "Not restored: " << Files(summary.tooNew) << " that did not exist yet at that time\n";
    if (!summary.keptIn.empty())
        out << "Kept: the " << Files(summary.replaced) << " replaced, in " << Quoted(summary.keptIn) << '\n';
    out << std::flush;
    if (summary.unmatched.size() == request.paths.size()) return kUsageOrGathering;
    return summary.failed > 0 || !summary.unmatched.empty() ? kSomeFailed : kAllCopied;
}

}  // namespace tandrel::cli
