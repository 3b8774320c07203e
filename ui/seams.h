// What the window asks of the outside world through objects handed to its
// constructor, so that tests can answer dialogs and message boxes and drive
// the timer by hand.
#pragma once

#include <QObject>
#include <QStringList>
#include <functional>
#include <optional>

#include "engine/messages.h"

class QFileDialog;
class QTimer;
class QWidget;

namespace tandrel::ui {

// Runs the window's file and folder dialogs.
class DialogRunner {
public:
    virtual ~DialogRunner() = default;
    // Shows the dialog modally; the chosen paths, or nothing when cancelled.
    virtual std::optional<QStringList> Run(QFileDialog& dialog) = 0;
};

// Message boxes.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // A modal box owned by the window; returns the button pressed.
    virtual DialogResult Show(QWidget* parent, const MessageBoxRequest& box) = 0;
    // A box raised by a worker: shown without blocking the window, which
    // goes on serving its events; `answered` runs on the window thread with
    // the button pressed. Returns what closes the box unanswered (on the
    // window thread): `answered` then never runs.
    virtual std::function<void()> ShowModeless(const MessageBoxRequest& box,
                                               std::function<void(DialogResult)> answered) = 0;
};

// The automatic-backup timer of the window thread.
class IntervalTimer {
public:
    virtual ~IntervalTimer() = default;
    virtual void SetInterval(int milliseconds) = 0;
    virtual int Interval() const = 0;
    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual bool IsActive() const = 0;
    // Called on each tick.
    std::function<void()> Tick;
};

// How the desktop's tray tells the program about clicks on its icon. An
// XEmbed tray hands over the mouse: a single click arrives as Trigger, a
// double click as DoubleClick. A StatusNotifierItem host (KDE Plasma, GNOME
// with the AppIndicator extension, most current panels) sends one Activate
// call, which Qt reports as Trigger; no DoubleClick ever comes.
enum class TrayHost { XEmbed, StatusNotifierItem };

// The tray that Qt uses on this desktop: the StatusNotifierItem one when a
// StatusNotifierWatcher on the session bus reports a registered host, as Qt
// asks when it makes its first tray icon; XEmbed otherwise, and everywhere
// but on Linux and the other D-Bus desktops.
TrayHost DetectTrayHost();

// The real ones.
class QtDialogRunner : public DialogRunner {
public:
    std::optional<QStringList> Run(QFileDialog& dialog) override;
};

class QtMessageBoxes : public MessageBoxes {
public:
    DialogResult Show(QWidget* parent, const MessageBoxRequest& box) override;
    std::function<void()> ShowModeless(const MessageBoxRequest& box,
                                       std::function<void(DialogResult)> answered) override;
};

class QtIntervalTimer : public IntervalTimer {
public:
    QtIntervalTimer();
    ~QtIntervalTimer() override;
    void SetInterval(int milliseconds) override;
    int Interval() const override;
    void Start() override;
    void Stop() override;
    bool IsActive() const override;

private:
    QTimer* timer_;
};

}  // namespace tandrel::ui
