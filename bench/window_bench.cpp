// Times a backup started from the window against the same backup without a
// window, and measures how long the window thread goes without serving its
// event loop while the copy runs.
//
//   bench_window --src DIR [--dir DIR] [--runs N]
//
// The source folder is gathered once in each setting (through "Add Folder" in
// the window); every run then copies it into a fresh folder under --dir
// (default: the system's temporary folder), which is removed only after the
// last run. Headless and window runs take turns, each after a `sync`. A timer
// on the window thread asks to run every kProbeMs; the longest time between
// two of its turns, less kProbeMs, is the longest stall of the event loop.
//
// Prints a Markdown table, the medians' ratio and the longest stall. Exits 1
// when a run fails (any message box other than the closing one).
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/nativefs.h"
#include "engine/engine.h"
#include "engine/filesystem.h"
#include "ui/form1.h"
#include "engine/jobstate.h"
#include "ui/qtthreads.h"
#include "ui/seams.h"

namespace {

using namespace tandrel;
using Clock = std::chrono::steady_clock;

constexpr int kProbeMs = 5;

[[noreturn]] void Die(const std::string& why)
{
    std::fprintf(stderr, "bench_window: %s\n", why.c_str());
    std::exit(1);
}

bool IsClosingBox(const MessageBoxRequest& box)
{
    return box.caption == text::kCompleteTitle && box.buttons == MessageBoxButtons::OK;
}

// Headless: the engine on its own, with a host that takes the refresh
// requests for nothing and ends the run on any box but the closing one.
class QuietHost : public JobHost {
public:
    std::atomic<long> refreshes {0};
    std::vector<std::string> entries;

    void ShowProgress() override { refreshes.fetch_add(1, std::memory_order_relaxed); }
    void ReturnFiles(std::vector<std::string> folderArray, std::string) override { entries = std::move(folderArray); }
    DialogResult Show(const MessageBoxRequest& box) override
    {
        if (!IsClosingBox(box)) Die("headless run: " + box.text);
        return DialogResult::OK;
    }
};

// The window's dialogs answer with the folder given; message boxes record
// when the closing box came and answer it at once.
class ChosenFolder : public ui::DialogRunner {
public:
    QString folder;
    std::optional<QStringList> Run(QFileDialog&) override { return QStringList {folder}; }
};

class Boxes : public ui::MessageBoxes {
public:
    std::optional<Clock::time_point> closed;

    DialogResult Show(QWidget*, const MessageBoxRequest& box) override { Die("window run, modal box: " + box.text); }
    std::function<void()> ShowModeless(const MessageBoxRequest& box,
                                       std::function<void(DialogResult)> answered) override
    {
        if (!IsClosingBox(box)) Die("window run: " + box.text);
        closed = Clock::now();
        answered(DialogResult::OK);
        return [] {};
    }
};

class NoTimer : public ui::IntervalTimer {
public:
    void SetInterval(int milliseconds) override { interval_ = milliseconds; }
    int Interval() const override { return interval_; }
    void Start() override {}
    void Stop() override {}
    bool IsActive() const override { return false; }

private:
    int interval_ = 60000;
};

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs the window thread's loop until `done` holds, or fails after `limit`.
// The loop sleeps while it has nothing to do, as the program's own does
// (processEvents with a time limit never waits: it would spin, and take a
// core from the copy it is timing); a timer wakes it now and then to look at
// `done`, which workers may change without posting.
void Spin(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(600))
{
    const auto end = Clock::now() + limit;
    QTimer look;
    look.start(20);
    while (!done()) {
        if (Clock::now() > end) Die("timed out");
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

struct WindowRun {
    double seconds = 0;
    double stallMs = 0;  // longest time the loop went unserved beyond the probe's period
};

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    std::string source;
    std::string base = QDir::tempPath().toStdString();
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--src" && i + 1 < argc)
            source = argv[++i];
        else if (arg == "--dir" && i + 1 < argc)
            base = argv[++i];
        else if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            Die("usage: bench_window --src DIR [--dir DIR] [--runs N]");
    }
    if (source.empty() || !std::filesystem::is_directory(source)) Die("--src needs a folder");
    source = std::filesystem::absolute(source).lexically_normal().string();
    if (source.size() > 1 && source.back() == '/') source.pop_back();

    std::string scratch = base + "/tandrel-window-XXXXXX";
    if (!::mkdtemp(scratch.data())) Die("cannot make a folder under " + base);

    NativeFileSystem fileSystem;

    // Headless: gather once.
    JobState headlessJobs;
    QuietHost host;
    BackupEngine engine(headlessJobs, host, fileSystem);
    headlessJobs.dragNdrop = true;
    engine.GetFiles({source}, true);
    headlessJobs.directoryData = std::make_shared<const std::vector<std::string>>(host.entries);
    const std::vector<std::string> files = headlessJobs.syncfileList.ToArray();

    // The window: gather once through "Add Folder".
    JobState windowJobs;
    ui::QtThreadServices threads;
    ChosenFolder dialogs;
    Boxes boxes;
    Form1 window(Form1Services {windowJobs, threads, fileSystem, dialogs, boxes, std::make_unique<NoTimer>(),
                                [] { return false; }});
    window.show();
    auto* list = window.findChild<QListWidget*>(QStringLiteral("listboxFilestoBackup"));
    auto* start = window.findChild<QPushButton*>(QStringLiteral("btnStart"));
    auto* addFolder = window.findChild<QPushButton*>(QStringLiteral("btnAddFolder"));
    auto* selectFolder = window.findChild<QPushButton*>(QStringLiteral("btnDestination"));
    auto* bar = window.findChild<QProgressBar*>(QStringLiteral("progressBar1"));
    dialogs.folder = QString::fromStdString(source);
    addFolder->click();
    // At rest: the gathering's worker has ended and its last refresh has run.
    Spin([&] { return threads.ActiveWorkers() == 0 && list->count() > 0 && selectFolder->isEnabled(); });
    if (windowJobs.fileCount.load() != static_cast<std::int32_t>(files.size()))
        Die("the window gathered " + std::to_string(windowJobs.fileCount.load()) + " files, headless " +
            std::to_string(files.size()));

    std::vector<double> headless;
    std::vector<WindowRun> windowed;
    for (int round = 0; round < runs; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool windowTurn = (turn + round) % 2 == 1;
            const std::string destination =
                scratch + "/" + (windowTurn ? "window-" : "headless-") + std::to_string(round) + "/";
            std::filesystem::create_directory(destination);
            ::sync();
            if (!windowTurn) {
                const auto begin = Clock::now();
                engine.Copy(files, destination, false, CopyMode::DirectoryCopy);
                headless.push_back(Seconds(Clock::now() - begin));
                continue;
            }

            dialogs.folder = QString::fromStdString(destination.substr(0, destination.size() - 1));
            selectFolder->click();
            if (!start->isEnabled()) Die("\"Start\" is not enabled");
            boxes.closed.reset();

            WindowRun run;
            QElapsedTimer sinceProbe;
            QTimer probe;
            probe.setTimerType(Qt::PreciseTimer);
            probe.setInterval(kProbeMs);
            QObject::connect(&probe, &QTimer::timeout, [&] {
                run.stallMs = std::max(run.stallMs, sinceProbe.nsecsElapsed() / 1e6 - kProbeMs);
                sinceProbe.restart();
            });
            const auto begin = Clock::now();
            sinceProbe.start();
            probe.start();
            start->click();
            Spin([&] { return boxes.closed.has_value(); });
            probe.stop();
            run.seconds = Seconds(*boxes.closed - begin);
            Spin([&] { return threads.ActiveWorkers() == 0 && !bar->isVisible() && selectFolder->isEnabled(); });
            windowed.push_back(run);
        }
        std::fprintf(stderr, "window vs headless: round %d of %d done\n", round + 1, runs);
    }
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);

    std::vector<double> windowSeconds;
    double stall = 0;
    for (const WindowRun& run : windowed) {
        windowSeconds.push_back(run.seconds);
        stall = std::max(stall, run.stallMs);
    }
    const double headlessMedian = Median(headless);
    const double windowMedian = Median(windowSeconds);
    const auto [hLow, hHigh] = std::minmax_element(headless.begin(), headless.end());
    const auto [wLow, wHigh] = std::minmax_element(windowSeconds.begin(), windowSeconds.end());
    const double ratio = windowMedian / headlessMedian;

    std::printf("| copy of %zu files | median s | lowest-highest s | window / headless | target |\n", files.size());
    std::printf("|---|---:|---:|---:|---|\n");
    std::printf("| headless (engine alone) | %.3f | %.3f-%.3f | | |\n", headlessMedian, *hLow, *hHigh);
    std::printf("| from the window | %.3f | %.3f-%.3f | %.2f | <=1.2: %s |\n", windowMedian, *wLow, *wHigh, ratio,
                ratio <= 1.2 ? "met" : "MISSED");
    std::printf(
        "\nLongest stall of the window's event loop during a copy: %.1f ms (target <=100: %s); "
        "probe every %d ms, platform %s.\n",
        stall, stall <= 100 ? "met" : "MISSED", kProbeMs, qPrintable(QGuiApplication::platformName()));
    std::printf("Refresh requests per headless copy: %ld for %zu files.\n",
                host.refreshes.load() / static_cast<long>(headless.size()), files.size());
    return 0;
}
