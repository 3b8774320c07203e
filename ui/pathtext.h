// Paths cross between Qt's strings and the engine's byte strings in the
// file system's own encoding.
//
// Qt hands out paths with "/" on every platform (dialogs, drops); the window
// and the engine work with the platform's own separator, which the engine's
// path rules search for. A path that comes from Qt is turned into the
// platform's form once, where it enters the window, and back into Qt's form
// where the window gives one to Qt.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <string>

#include "engine/paths.h"

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

// A path from Qt in the separators of `style`. For the platform's own style
// this is QDir::toNativeSeparators; the other style is there so that the
// Windows rule can be checked anywhere.
inline QString FromQtPath(const QString& path, PathStyle style = PathStyle::Native())
{
    if (style.separator == PathStyle::Native().separator) return QDir::toNativeSeparators(path);
    QString converted = path;
    converted.replace(QLatin1Char('/'), QLatin1Char(style.separator));
    return converted;
}

// A dropped folder without the separator it may end with ("/home/me/Docs/"
// from a file manager), so that it is the same entry as the folder chosen in
// a dialog. A root keeps its separator: "/" and "C:\" stay as they are.
inline QString WithoutTrailingSeparator(const QString& path, PathStyle style = PathStyle::Native())
{
    QString stripped = path;
    const auto rootLength = static_cast<qsizetype>(style.rootSeparatorIndex) + 1;
    while (stripped.size() > rootLength && stripped.endsWith(QLatin1Char(style.separator))) stripped.chop(1);
    return stripped;
}

}  // namespace tandrel::ui
