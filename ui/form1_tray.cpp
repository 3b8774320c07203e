// The tray icon, the automatic backup, the About box and the two exits.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <array>
#include <utility>

#include "ui/form1.h"
#include "ui/intervals.h"

namespace {

// The project's home page, shown in the About box.
constexpr const char* kProjectHomePage = "https://tandrel.org";

constexpr const char* kAboutText = "Tandrel helps backup files on your computer. ";
constexpr const char* kAboutTitle = "About Tandrel";

}  // namespace

void Form1::cboxSetForget_CheckedChanged()
{
    if (cboxSetForget->isChecked()) {
        // Set up only: the timer starts when the next copy ends.
        lblAutobackup->setEnabled(true);
        cboxTime->setEnabled(true);
        cboxOverwrite->setChecked(true);
        return;
    }
    btnStart->setEnabled(true);
    timer1->Stop();
    lblAutobackup->setEnabled(false);
    cboxTime->setEnabled(false);
    cboxOverwrite->setChecked(false);
    ClosingRefresh();
}

void Form1::cboxTime_TextChanged()
{
    // A new interval takes effect when the next copy ends.
    cboxOverwrite->setChecked(true);
}

void Form1::RearmTimer()
{
    if (closed_ || !cboxSetForget->isChecked()) return;
    const QString chosen = cboxTime->currentText();
    for (const auto& [text, milliseconds] : tandrel::ui::kIntervals) {
        if (chosen == QLatin1String(text)) {
            timer1->SetInterval(milliseconds);
            timer1->Start();
            return;
        }
    }
    timer1->Stop();
}

void Form1::timer1_Tick()
{
    // While a job runs the tick passes; the timer goes on and ticks again.
    if (jobs_.complete.load() && !closed_) InitCopy();
}

void Form1::notifyIcon1_DoubleClick()
{
    show();
}

// An XEmbed tray reports a single click as Trigger and a double click as
// DoubleClick; only the double click shows the window. A StatusNotifierItem
// host has no double click: its activation, reported as Trigger, is what a
// double click is elsewhere.
void Form1::notifyIcon1_Activated(QSystemTrayIcon::ActivationReason reason)
{
    const bool statusNotifier = trayHost_ == tandrel::ui::TrayHost::StatusNotifierItem;
    if (reason == QSystemTrayIcon::DoubleClick || (statusNotifier && reason == QSystemTrayIcon::Trigger))
        notifyIcon1_DoubleClick();
}

void Form1::menuItemShow_Click()
{
    show();
}

void Form1::menuItemHide_Click()
{
    // Without a tray there would be no way back to a hidden window.
    if (!SystemTrayAvailable()) {
        setWindowState(windowState() | Qt::WindowMinimized);
        return;
    }
    setWindowState(Qt::WindowMinimized);
    setWindowState(Qt::WindowNoState);
    hide();
}

void Form1::menuItemExit_Click()
{
    close();
}

void Form1::menuItemexitMain_Click()
{
    close();
}

void Form1::menuItemAbout_Click()
{
    const std::string text = std::string(kAboutText) + "\n \n " + kProjectHomePage;
    messageBoxes_.Show(this, tandrel::MessageBoxRequest {text, kAboutTitle, tandrel::MessageBoxButtons::OK,
                                                         tandrel::MessageBoxIcon::Information});
}
