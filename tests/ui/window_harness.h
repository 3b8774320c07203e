// The windows the tests drive, over real threads and the real file system,
// with scripted dialogs and message boxes and a hand-driven timer:
// WindowHarness, shown, for the window, refresh, job and tray tests;
// CountingWindow, never shown, whose calls are counted so that a test can
// wait until all its work is done (the editing, list-file, exclusions and
// restore tests).
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <functional>
#include <memory>
#include <string>

#include "tests/ui/fakes.h"
#include "ui/form1.h"
#include "ui/qtthreads.h"
#include "engine/nativefs.h"
#include "ui/statusbarpanel.h"

namespace tandrel::ui::testing {

struct WindowHarness {
    tandrel::JobState jobs;
    tandrel::ui::QtThreadServices threads;
    tandrel::NativeFileSystem nativeFs;
    FakeDialogs dialogs;
    FakeMessageBoxes boxes;
    FakeTimer* timer = nullptr;  // owned by the window
    std::unique_ptr<Form1> form;

    // The tray is an XEmbed one unless a test says otherwise.
    explicit WindowHarness(tandrel::FileSystem* fileSystem = nullptr, std::function<bool()> trayAvailable = {},
                           TrayHost trayHost = TrayHost::XEmbed, WindowSchedule schedule = {},
                           tandrel::Settings* settings = nullptr)
    {
        auto fake = std::make_unique<FakeTimer>();
        timer = fake.get();
        form = std::make_unique<Form1>(Form1Services {jobs, threads, fileSystem ? *fileSystem : nativeFs, dialogs,
                                                      boxes, std::move(fake), std::move(trayAvailable),
                                                      [trayHost] { return trayHost; }, nullptr, schedule, settings});
        form->show();
        (void)QTest::qWaitForWindowExposed(form.get());
    }

    ~WindowHarness()
    {
        // Let every worker finish (answering what it still asks) before the
        // window goes.
        boxes.holdModeless = false;
        (void)QTest::qWaitFor(
            [this] {
                while (!boxes.pending.empty()) boxes.Answer(DialogResult::No);
                return threads.ActiveWorkers() == 0;
            },
            20000);
        QCoreApplication::processEvents();
        form.reset();
    }

    template <typename W>
    W* get(const char* name) const
    {
        return form->findChild<W*>(QString::fromLatin1(name));
    }
    QPushButton* button(const char* name) const { return get<QPushButton>(name); }
    QCheckBox* check(const char* name) const { return get<QCheckBox>(name); }
    QRadioButton* radio(const char* name) const { return get<QRadioButton>(name); }
    // What a job's worker holds of the window, as JobContext does.
    WindowLink link() const { return WindowLink(threads.Calls(), form.get()); }
    QListWidget* backupList() const { return get<QListWidget>("listboxFilestoBackup"); }
    QListWidget* destinationList() const { return get<QListWidget>("listBoxDestinationFolder"); }
    QProgressBar* bar() const { return get<QProgressBar>("progressBar1"); }
    QComboBox* interval() const { return get<QComboBox>("cboxTime"); }
    QLabel* everyLabel() const { return get<QLabel>("lblAutobackup"); }
    QString panelText(const char* name) const { return get<tandrel::ui::StatusBarPanel>(name)->Text(); }

    bool waitCursor() const
    {
        return form->testAttribute(Qt::WA_SetCursor) && form->cursor().shape() == Qt::WaitCursor;
    }
    // No job runs and nothing is locked: the state a refresh at rest leaves.
    bool atRest() const
    {
        return jobs.complete && jobs.foldersComplete && !bar()->isVisible() && !waitCursor() &&
               button("btnBrowse")->isEnabled();
    }
    bool idle() const { return threads.ActiveWorkers() == 0 && atRest(); }

    // The twelve controls that the refresh governs, by name.
    static QStringList Governed()
    {
        return {"btnDelete",       "btnStart",    "btnBrowse", "btnAddFolder",  "btnDestination",     "rboxCD",
                "rboxConsolidate", "rboxDirCopy", "cboxTime",  "cboxOverwrite", "cboxSubDirectories", "cboxSetForget"};
    }
    QWidget* widget(const QString& name) const { return form->findChild<QWidget*>(name); }
    // Names of the governed controls that are enabled, sorted.
    QStringList enabledGoverned() const
    {
        QStringList enabled;
        for (const QString& name : Governed())
            if (widget(name)->isEnabled()) enabled << name;
        enabled.sort();
        return enabled;
    }
    void setGovernedEnabled(bool enabled) const
    {
        for (const QString& name : Governed()) widget(name)->setEnabled(enabled);
    }
};

struct CountingWindow {
    // `settings` and `exclusionsFile` as Form1Services takes them.
    explicit CountingWindow(tandrel::Settings* settings = nullptr, std::string exclusionsFile = {})
    {
        Form1Services services {jobs, threads, fs, dialogs, boxes, std::make_unique<FakeTimer>()};
        services.settings = settings;
        services.exclusionsFile = std::move(exclusionsFile);
        form = std::make_unique<Form1>(std::move(services));
    }
    ~CountingWindow()
    {
        (void)Settle();
        form.reset();
    }
    bool Settle() { return threads.Settle(); }

    tandrel::JobState jobs;
    CountingThreads threads;
    tandrel::NativeFileSystem fs;
    FakeDialogs dialogs;
    FakeMessageBoxes boxes;
    std::unique_ptr<Form1> form;
};

}  // namespace tandrel::ui::testing
