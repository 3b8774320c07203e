// A panel of the status bar: an optional icon at its left and a text. It is
// as wide as its icon and text unless the status bar stretches it; its
// accessible name is its text.
#pragma once

#include <QIcon>
#include <QString>
#include <QWidget>

class QLabel;

namespace tandrel::ui {

class StatusBarPanel : public QWidget {
    Q_OBJECT
public:
    explicit StatusBarPanel(const QIcon& icon = QIcon(), const QString& text = QString(), QWidget* parent = nullptr);

    void SetText(const QString& text);
    QString Text() const;

private:
    QLabel* icon_ = nullptr;
    QLabel* text_ = nullptr;
};

}  // namespace tandrel::ui
