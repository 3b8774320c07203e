#include "ui/seams.h"

#include <QCompleter>
#include <QAbstractItemView>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <memory>

namespace tandrel::ui {

namespace {

QMessageBox::Icon ToQt(MessageBoxIcon icon)
{
    switch (icon) {
    case MessageBoxIcon::Warning:
        return QMessageBox::Warning;
    case MessageBoxIcon::Question:
        return QMessageBox::Question;
    case MessageBoxIcon::Information:
        return QMessageBox::Information;
    case MessageBoxIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ToQt(MessageBoxButtons buttons)
{
    switch (buttons) {
    case MessageBoxButtons::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case MessageBoxButtons::Cancel:
        return QMessageBox::Cancel;
    case MessageBoxButtons::OK:
        break;
    }
    return QMessageBox::Ok;
}

// The box as the user left it. Closing a box with its frame's close button
// presses its escape button: No for a question, OK otherwise.
DialogResult Result(const QMessageBox& box, MessageBoxButtons buttons)
{
    const QMessageBox::StandardButton pressed = box.standardButton(box.clickedButton());
    if (buttons == MessageBoxButtons::YesNo) return pressed == QMessageBox::Yes ? DialogResult::Yes : DialogResult::No;
    if (buttons == MessageBoxButtons::Cancel) return DialogResult::Cancel;
    return DialogResult::OK;
}

QMessageBox* MakeBox(const MessageBoxRequest& request, QWidget* parent)
{
    auto* box = new QMessageBox(ToQt(request.icon), QString::fromStdString(request.caption),
                                QString::fromStdString(request.text), ToQt(request.buttons), parent);
    box->setTextFormat(Qt::PlainText);
    if (request.buttons == MessageBoxButtons::YesNo) {
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else if (request.buttons == MessageBoxButtons::Cancel) {
        box->setEscapeButton(QMessageBox::Cancel);
    } else {
        box->setEscapeButton(QMessageBox::Ok);
    }
    return box;
}

}  // namespace

std::optional<QStringList> QtDialogRunner::Run(QFileDialog& dialog)
{
    const int result = dialog.exec();
    // The dialog lives on between uses; a completion list still open when it
    // closed would stay on screen and eat the next click.
    for (QCompleter* completer : dialog.findChildren<QCompleter*>())
        if (completer->popup()) completer->popup()->hide();
    if (result != QDialog::Accepted) return std::nullopt;
    return dialog.selectedFiles();
}

DialogResult QtMessageBoxes::Show(QWidget* parent, const MessageBoxRequest& request)
{
    std::unique_ptr<QMessageBox> box(MakeBox(request, parent));
    box->exec();
    return Result(*box, request.buttons);
}

std::function<void()> QtMessageBoxes::ShowModeless(const MessageBoxRequest& request,
                                                   std::function<void(DialogResult)> answered)
{
    // No parent: the box belongs to the worker that asks, not to the window,
    // and appears even while the window is hidden to the tray.
    QMessageBox* box = MakeBox(request, nullptr);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    const MessageBoxButtons buttons = request.buttons;
    auto pending = std::make_shared<std::function<void(DialogResult)>>(std::move(answered));
    QObject::connect(box, &QMessageBox::finished, box, [box, buttons, pending](int) {
        if (!*pending) return;
        auto answer = std::move(*pending);
        *pending = nullptr;
        answer(Result(*box, buttons));
    });
    box->show();
    return [box = QPointer<QMessageBox>(box), pending] {
        *pending = nullptr;
        if (box) box->close();
    };
}

QtIntervalTimer::QtIntervalTimer() : timer_(new QTimer)
{
    timer_->setInterval(60000);
    QObject::connect(timer_, &QTimer::timeout, timer_, [this] {
        if (Tick) Tick();
    });
}

QtIntervalTimer::~QtIntervalTimer()
{
    delete timer_;
}

void QtIntervalTimer::SetInterval(int milliseconds)
{
    timer_->setInterval(milliseconds);
}

int QtIntervalTimer::Interval() const
{
    return timer_->interval();
}

void QtIntervalTimer::Start()
{
    timer_->start();
}

void QtIntervalTimer::Stop()
{
    timer_->stop();
}

bool QtIntervalTimer::IsActive() const
{
    return timer_->isActive();
}

}  // namespace tandrel::ui
