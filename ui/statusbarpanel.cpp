#include "ui/statusbarpanel.h"

#include <QHBoxLayout>
#include <QLabel>

namespace tandrel::ui {

StatusBarPanel::StatusBarPanel(const QIcon& icon, const QString& text, QWidget* parent) : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 0, 4, 0);
    row->setSpacing(3);
    if (!icon.isNull()) {
        icon_ = new QLabel(this);
        icon_->setObjectName(QStringLiteral("icon"));
        icon_->setPixmap(icon.pixmap(16, 16));
        icon_->setFixedSize(16, 16);
        row->addWidget(icon_);
    }
    text_ = new QLabel(this);
    text_->setObjectName(QStringLiteral("text"));
    text_->setTextFormat(Qt::PlainText);
    row->addWidget(text_, 1);
    SetText(text);
}

void StatusBarPanel::SetText(const QString& text)
{
    if (text_->text() == text) return;
    text_->setText(text);
    setAccessibleName(text);
}

QString StatusBarPanel::Text() const
{
    return text_->text();
}

}  // namespace tandrel::ui
