// Paths from Qt in the platform's separators, checked with Windows paths on
// every platform, and dropped folders without a trailing separator.
#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include "ui/pathtext.h"
#include "engine/paths.h"
#include "tests/ui/window_harness.h"

using tandrel::PathStyle;
using tandrel::ui::FromQtPath;
using tandrel::ui::ToPath;
using tandrel::ui::WithoutTrailingSeparator;
using tandrel::ui::testing::WindowHarness;

namespace {

constexpr PathStyle kWindows = PathStyle::Windows();
constexpr PathStyle kPosix = PathStyle::Posix();

// Drops one URL on a list box through its handler.
void DropUrl(Form1& form, void (Form1::*handler)(QDropEvent*), const QUrl& url)
{
    QMimeData data;
    data.setUrls({url});
    QDropEvent drop(QPointF(4, 4), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    (form.*handler)(&drop);
}

}  // namespace

class TestPathText : public QObject {
    Q_OBJECT

private slots:
    void qtPathsTakeTheSeparatorsOfTheStyle()
    {
        // What Qt's dialogs and drops give on Windows.
        QCOMPARE(FromQtPath(QStringLiteral("C:/Users/me/Docs"), kWindows), QStringLiteral("C:\\Users\\me\\Docs"));
        QCOMPARE(FromQtPath(QStringLiteral("C:/"), kWindows), QStringLiteral("C:\\"));
        QCOMPARE(FromQtPath(QStringLiteral("//server/share/a.txt"), kWindows),
                 QStringLiteral("\\\\server\\share\\a.txt"));
        QCOMPARE(FromQtPath(QStringLiteral("C:\\already\\native"), kWindows), QStringLiteral("C:\\already\\native"));
        // On POSIX a backslash is part of a name and stays.
        QCOMPARE(FromQtPath(QStringLiteral("/home/me/a\\b.txt"), kPosix), QStringLiteral("/home/me/a\\b.txt"));
        // The platform's own style is Qt's own conversion.
        for (const QString& path : {QStringLiteral("C:/Users/me"), QStringLiteral("/home/me/Docs")})
            QCOMPARE(FromQtPath(path), QDir::toNativeSeparators(path));
    }

    void theEngineRulesHoldOnConvertedWindowsPaths()
    {
        // A file at a drive root, as a dialog gives it: a root only once
        // converted.
        const QString atRoot = QStringLiteral("C:/b.txt");
        QVERIFY(!tandrel::LiesAtRoot(ToPath(atRoot), kWindows));
        QVERIFY(tandrel::LiesAtRoot(ToPath(FromQtPath(atRoot, kWindows)), kWindows));
        QCOMPARE(tandrel::SourceFolder(ToPath(FromQtPath(QStringLiteral("C:/Docs/a.txt"), kWindows)), kWindows),
                 std::string("C:\\Docs"));
        QCOMPARE(tandrel::FileName(ToPath(FromQtPath(QStringLiteral("C:/Docs/a.txt"), kWindows)), kWindows),
                 std::string("a.txt"));
        // The destination of a chosen folder and of a chosen drive root.
        QCOMPARE(tandrel::AddSeparator(ToPath(FromQtPath(QStringLiteral("D:/Backup"), kWindows)), kWindows),
                 std::string("D:\\Backup\\"));
        QCOMPARE(tandrel::AddSeparator(ToPath(FromQtPath(QStringLiteral("D:/"), kWindows)), kWindows),
                 std::string("D:\\\\"));
    }

    void trailingSeparatorsGoExceptOnARoot()
    {
        QCOMPARE(WithoutTrailingSeparator(QStringLiteral("C:\\Docs\\"), kWindows), QStringLiteral("C:\\Docs"));
        QCOMPARE(WithoutTrailingSeparator(QStringLiteral("C:\\Docs\\\\"), kWindows), QStringLiteral("C:\\Docs"));
        QCOMPARE(WithoutTrailingSeparator(QStringLiteral("C:\\"), kWindows), QStringLiteral("C:\\"));
        QCOMPARE(WithoutTrailingSeparator(QStringLiteral("\\\\server\\share\\"), kWindows),
                 QStringLiteral("\\\\server\\share"));
        QCOMPARE(WithoutTrailingSeparator(QStringLiteral("C:\\Docs\\a.txt"), kWindows),
                 QStringLiteral("C:\\Docs\\a.txt"));
        QCOMPARE(WithoutTrailingSeparator(QStringLiteral("/home/me/Docs/"), kPosix), QStringLiteral("/home/me/Docs"));
        QCOMPARE(WithoutTrailingSeparator(QStringLiteral("/"), kPosix), QStringLiteral("/"));
        QCOMPARE(WithoutTrailingSeparator(QStringLiteral("/home/me"), kPosix), QStringLiteral("/home/me"));
        // A Windows separator is no separator on POSIX.
        QCOMPARE(WithoutTrailingSeparator(QStringLiteral("/home/a\\"), kPosix), QStringLiteral("/home/a\\"));
    }

    // A file manager may hand over a folder as ".../Docs/": it becomes the
    // same entry as the folder chosen in "Add Folder", and the destination
    // gets one separator, not two.
    void droppedFoldersCarryNoTrailingSeparator()
    {
        QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/tandrel-paths-XXXXXX"));
        const QString folder = tmp.path() + QStringLiteral("/Docs");
        QVERIFY(QDir().mkpath(folder));
        const QUrl withSlash = QUrl::fromLocalFile(folder + '/');
        QVERIFY(withSlash.toLocalFile().endsWith('/'));

        WindowHarness h;
        DropUrl(*h.form, &Form1::listboxFilestoBackup_DragDrop, withSlash);
        QTRY_VERIFY_WITH_TIMEOUT(h.idle() && h.backupList()->count() == 1, 10000);
        QCOMPARE(h.backupList()->item(0)->text(), folder);

        DropUrl(*h.form, &Form1::listBoxDestinationFolder_DragDrop, withSlash);
        QCOMPARE(h.destinationList()->count(), 1);
        QCOMPARE(h.destinationList()->item(0)->text(), folder + '/');

        // The root stays the root: "/" and the separator the destination adds.
        DropUrl(*h.form, &Form1::listBoxDestinationFolder_DragDrop, QUrl::fromLocalFile(QStringLiteral("/")));
        QCOMPARE(h.destinationList()->item(0)->text(), QStringLiteral("//"));
    }
};

QTEST_MAIN(TestPathText)
#include "test_pathtext.moc"
