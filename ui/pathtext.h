// Paths cross between Qt's strings and the engine's byte strings in the
// file system's own encoding.
#pragma once

#include <QFile>
#include <QString>
#include <string>

namespace tandrel::ui {

inline std::string ToPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

inline QString FromPath(const std::string& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// Message texts are UTF-8.
inline QString FromText(const std::string& text)
{
    return QString::fromStdString(text);
}

}  // namespace tandrel::ui
