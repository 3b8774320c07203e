// The "Exclusions" dialog through the window: what it shows, its preview
// counted by the gathering, and what saving its choices changes.
#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "engine/nativefs.h"
#include "tests/ui/window_harness.h"
#include "ui/exclusionsdialog.h"
#include "ui/form1.h"

using namespace tandrel::ui::testing;
using tandrel::ui::ExclusionsDialog;

namespace {

void Write(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(path));
    file.write(content);
}

}  // namespace

class TestExclusions : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        data_ = dir_->filePath(QStringLiteral("data"));
        Write(data_ + "/a.txt", "a");
        Write(data_ + "/b.tmp", "b");
        Write(data_ + "/node_modules/m.js", "m");
        Write(data_ + "/node_modules/n.js", "n");
        Write(data_ + "/cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
        Write(data_ + "/cache/c.bin", "cc");
    }
    void dialogPreviewsSavesAndRegathers();
    void cancelKeepsTheChoices();

private:
    // The files the window keeps its choices in, made before it.
    struct Files {
        explicit Files(const QString& folder)
            : settingsFile((folder + "/settings").toStdString()), rulesFile((folder + "/exclusions").toStdString()),
              settings(settingsFile)
        {
        }
        std::string settingsFile, rulesFile;
        tandrel::Settings settings;
    };
    struct Harness : Files, CountingWindow {
        explicit Harness(const QString& folder) : Files(folder), CountingWindow(&settings, rulesFile) {}
        ExclusionsDialog* Open()
        {
            form->findChild<QAction*>(QStringLiteral("menuItemExclusions"))->trigger();
            return form->findChild<ExclusionsDialog*>();
        }
        QDialogButtonBox* Buttons(ExclusionsDialog* dialog)
        {
            return dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttons"));
        }
    };

    std::unique_ptr<QTemporaryDir> dir_;
    QString data_;
};

void TestExclusions::dialogPreviewsSavesAndRegathers()
{
    Harness h(dir_->path());
    h.form->findChild<QCheckBox*>(QStringLiteral("cboxSubDirectories"))->setChecked(true);
    h.dialogs.answers.push_back(QStringList {QDir::toNativeSeparators(data_)});
    h.form->btnAddFolder_Click();
    QVERIFY(h.threads.Settle());
    QCOMPARE(h.jobs.fileCount.load(), 4);  // the tagged cache is left out by default

    ExclusionsDialog* dialog = h.Open();
    QVERIFY(dialog);
    QTRY_COMPARE(dialog->PreviewText(),
                 QStringLiteral("2 files (46 bytes) would be left out of the current backup list"));
    for (QWidget* control : dialog->findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractButton*>(control) || qobject_cast<QPlainTextEdit*>(control) ||
            qobject_cast<QLabel*>(control))
            QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
    }
    QVERIFY(dialog->findChild<QCheckBox*>(QStringLiteral("cboxTaggedCaches"))->isChecked());
    QVERIFY(!dialog->findChild<QCheckBox*>(QStringLiteral("cboxNodeModules"))->isChecked());

    dialog->findChild<QCheckBox*>(QStringLiteral("cboxNodeModules"))->setChecked(true);
    dialog->findChild<QPlainTextEdit*>(QStringLiteral("txtOwnRules"))->setPlainText(QStringLiteral("*.tmp\n"));
    QTRY_COMPARE(dialog->PreviewText(),
                 QStringLiteral("5 files (49 bytes) would be left out of the current backup list"));
    QCOMPARE(h.jobs.fileCount.load(), 4);  // nothing changes before the choices are saved

    QTest::mouseClick(h.Buttons(dialog)->button(QDialogButtonBox::Ok), Qt::LeftButton);
    QVERIFY(h.threads.Settle());
    QVERIFY(h.settings.Flag("exclude-node-modules", false));
    QCOMPARE(tandrel::ExclusionChoices::Load(h.settings, h.rulesFile).ownRules, std::string("*.tmp\n"));
    // The backup list is gathered again under the new rules, and stays as it was.
    QCOMPARE(h.jobs.fileCount.load(), 1);
    auto* list = h.form->findChild<QListWidget*>(QStringLiteral("listboxFilestoBackup"));
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->item(0)->text(), QDir::toNativeSeparators(data_));
}

void TestExclusions::cancelKeepsTheChoices()
{
    Write(dir_->filePath(QStringLiteral("exclusions")), "*.log\n");
    Harness h(dir_->path());
    ExclusionsDialog* dialog = h.Open();
    QVERIFY(dialog);
    auto* rules = dialog->findChild<QPlainTextEdit*>(QStringLiteral("txtOwnRules"));
    QCOMPARE(rules->toPlainText(), QStringLiteral("*.log\n"));
    QTRY_COMPARE(dialog->PreviewText(),
                 QStringLiteral("0 files (0 bytes) would be left out of the current backup list"));
    dialog->findChild<QCheckBox*>(QStringLiteral("cboxTaggedCaches"))->setChecked(false);
    rules->setPlainText(QString());
    QTest::mouseClick(h.Buttons(dialog)->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    QVERIFY(h.threads.Settle());
    QVERIFY(h.settings.Flag("exclude-tagged-caches", true));
    QCOMPARE(tandrel::ExclusionChoices::Load(h.settings, h.rulesFile).ownRules, std::string("*.log\n"));
}

QTEST_MAIN(TestExclusions)
#include "test_exclusions.moc"
