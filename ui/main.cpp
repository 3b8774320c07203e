// Start-up: the application, the job state, the one window and its loop.
#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QImageReader>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <QStandardPaths>

#include "engine/filesystem.h"
#include "engine/nativefs.h"
#include "engine/runlog.h"
#include "engine/schedules.h"
#include "engine/settings.h"
#include "ui/form1.h"
#include "engine/jobstate.h"
#include "ui/qtthreads.h"
#include "ui/seams.h"
#include "support/notice.h"

namespace {

// Ends the loop once the main window has closed. Message boxes of workers are
// windows of their own; closing the last of them while the main window is
// hidden to the tray must not end the program.
class QuitWhenClosed : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Close)
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

int main(int argc, char* argv[])
{
    // Answered before Qt starts, so that it needs no display.
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("tandrel %s\n%s", TANDREL_VERSION, tandrel::support::kLicenceNotice);
        return 0;
    }
    // Started by the desktop's autostart entry: hidden in the tray.
    const bool autostart = argc == 2 && std::string_view(argv[1]) == "--autostart";
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tandrel"));
    QApplication::setDesktopFileName(QStringLiteral("org.tandrel.tandrel"));
    QApplication::setQuitOnLastWindowClosed(false);
    const QString ico = QStringLiteral(":/icons/tandrel.ico");
    QApplication::setWindowIcon(QIcon(QImageReader(ico).canRead() ? ico : QStringLiteral(":/icons/tandrel.png")));
    QApplication::processEvents();

    // The job state exists before the window and lives as long as the process.
    static tandrel::JobState jobs;
    tandrel::ui::QtThreadServices threads;
    tandrel::NativeFileSystem fileSystem;
    tandrel::ui::QtDialogRunner dialogs;
    tandrel::ui::QtMessageBoxes messageBoxes;
    static tandrel::DestinationMemory destinations(tandrel::DestinationMemory::DefaultFile());
    static tandrel::RunLog runLog(tandrel::RunLog::DefaultFolder());
    static tandrel::Settings settings(tandrel::Settings::DefaultFile());
    static tandrel::SystemUserManager userManager;
    tandrel::ui::DBusNotices notices;
    // tandrel-cli beside the window (installed, or in the build tree), else on PATH.
    const QString here = QCoreApplication::applicationDirPath();
    QString cli =
        QStandardPaths::findExecutable(QStringLiteral("tandrel-cli"), {here, here + QStringLiteral("/../cli")});
    if (cli.isEmpty()) cli = QStandardPaths::findExecutable(QStringLiteral("tandrel-cli"));
    if (cli.isEmpty()) cli = here + QStringLiteral("/tandrel-cli");
    tandrel::ui::WindowSchedule schedule {&runLog,
                                          &notices,
                                          &settings,
                                          &userManager,
                                          tandrel::Schedules::DefaultFolder(),
                                          tandrel::AutostartFile(),
                                          QFileInfo(cli).canonicalFilePath().isEmpty()
                                              ? cli.toStdString()
                                              : QFileInfo(cli).canonicalFilePath().toStdString(),
                                          nullptr};

    Form1 window(Form1Services {jobs,
                                threads,
                                fileSystem,
                                dialogs,
                                messageBoxes,
                                std::make_unique<tandrel::ui::QtIntervalTimer>(),
                                {},
                                {},
                                &destinations,
                                schedule,
                                &settings,
                                tandrel::ExclusionChoices::DefaultRulesFile()});
    QuitWhenClosed quitWhenClosed;
    window.installEventFilter(&quitWhenClosed);
    if (autostart) {
        window.StartFromDesktop();
        // Without a tray there would be no way to the window: it starts minimized.
        if (!QSystemTrayIcon::isSystemTrayAvailable()) window.showMinimized();
    } else {
        window.show();
    }
    QApplication::exec();

    // Closing the window ends the program at once, with status 0, even while
    // a job copies or waits for an answer. This is the one place that decides
    // it: the running calls are abandoned, so nothing waits for them and
    // nothing they post reaches the window again; and while one still runs,
    // the process ends here without tearing down the window, the engine or
    // the job state that the call is working on.
    if (threads.Calls()->Abandon() > 0) {
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(0);
    }
    return 0;
}
