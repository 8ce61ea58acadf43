// The image export as the developer build offers it in the window.
#include <fcntl.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include "qt/MainWindow.h"
#include "image/ImageExport.h"
#include "tests/support/QtFiles.h"
#include "tests/support/RecordingDialogs.h"
#include "tests/support/ScratchMount.h"

using window::Control;

namespace {

using testsupport::InDir;
using testsupport::ReadAll;

const QString kExportName = QStringLiteral("Code_Image_Main_MCU.pas");

QByteArray Expected(const QString& line2Text) {
    const std::string s = image::FormatDeclaration(line2Text.toStdString(), image::EmbeddedImage());
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

// Descriptors of this process that still point into dir.
QStringList OpenFilesUnder(const QString& dir) {
    QStringList out;
    const QString canonical = QDir(dir).canonicalPath();
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::Files | QDir::System))
        if (fd.symLinkTarget().startsWith(canonical)) out << fd.symLinkTarget();
    return out;
}

void ArmExport(MainWindow& f) {
    f.Button(Control::ExportCheck)->setChecked(true);
    QCOMPARE(f.Button(Control::UpdateButton)->text(), QString("Generate Image File"));
    QVERIFY(f.Button(Control::MainMcuCheck)->isChecked());
}

}  // namespace

class ExportWindowTest : public QObject {
    Q_OBJECT
private slots:
    void exportWritesTheImageWithTheChosenFileInLineTwo_data() {
        QTest::addColumn<QString>("chosen");  // relative to a directory of its own; empty: cancelled
        QTest::addColumn<bool>("exists");
        QTest::newRow("no file chosen") << QString() << false;
        QTest::newRow("a hex file") << "firmware.hex" << true;
        QTest::newRow("a file that does not exist") << "missing.hex" << false;
    }
    void exportWritesTheImageWithTheChosenFileInLineTwo() {
        QFETCH(QString, chosen);
        QFETCH(bool, exists);
        QTemporaryDir work, source;
        InDir in(work.path());
        const QString chosenPath = chosen.isEmpty() ? QString() : source.filePath(chosen);
        if (exists) {
            QFile h(chosenPath);
            QVERIFY(h.open(QIODevice::WriteOnly));
            h.write(":00000001FF\r\n");  // would give a different image if it were read
        }
        testsupport::RecordingDialogs d;
        d.nextFile = chosenPath;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
        ArmExport(f);
        f.Button(Control::ChooseFileButton)->click();
        QCOMPARE(d.filters, QStringList{"Intel Hex (*.hex)"});
        QCOMPARE(f.Field(Control::ExportPath)->text(), chosenPath);

        // Whatever opens anything in the chosen file's directory shows here.
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watch >= 0);
        QVERIFY(inotify_add_watch(watch, QFile::encodeName(source.path()).constData(), IN_OPEN | IN_ACCESS) >= 0);

        f.Button(Control::UpdateButton)->click();

        char events[4096];
        const ssize_t seen = read(watch, events, sizeof events);
        close(watch);
        QCOMPARE(seen, ssize_t(-1));  // EAGAIN: nothing was opened there
        QVERIFY(d.boxes.empty());
        const QByteArray written = ReadAll(work.filePath(kExportName));
        QCOMPARE(written.left(written.indexOf("\r\n", 68)).mid(66), ("// " + chosenPath).toUtf8());
        QVERIFY(written == Expected(chosenPath));
        QVERIFY(f.Button(Control::UpdateButton)->isEnabled());

        // A cancelled choice keeps the last one.
        d.nextFile.clear();
        f.Button(Control::ChooseFileButton)->click();
        QCOMPARE(f.Field(Control::ExportPath)->text(), chosenPath);
    }

    void exportLandsInTheWorkingDirectoryOfThePress() {
        QTemporaryDir atStart, atPress;
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        std::unique_ptr<MainWindow> f;
        {
            InDir in(atStart.path());
            f = std::make_unique<MainWindow>(d, PortsOver(n));
        }
        ArmExport(*f);
        InDir in(atPress.path());
        f->Button(Control::UpdateButton)->click();
        QVERIFY(d.boxes.empty());
        QVERIFY(ReadAll(atPress.filePath(kExportName)) == Expected(QString()));
        QVERIFY(!QFileInfo::exists(atStart.filePath(kExportName)));
    }

    void uncheckingGenerateReturnsToTheUpdate() {
        QTemporaryDir dir;
        InDir in(dir.path());
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
        ArmExport(f);
        f.Button(Control::ExportCheck)->setChecked(false);
        QCOMPARE(f.Button(Control::UpdateButton)->text(), QString("FIRMWARE UPDATE"));
        f.Field(Control::PasswordField)->setText("abc");
        f.Button(Control::UpdateButton)->click();
        QCOMPARE(d.Texts(),
                 QStringList{"Incorrect password. Please enter correct password.\n\nThe admin password has 4 "
                             "to 16 characters; the one typed has 3. Nothing was sent to the meter."});
        QVERIFY(!QFileInfo::exists(dir.filePath(kExportName)));
    }

    void mainMcuShowsAndHidesTheFileChoice() {
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        f.Button(Control::MainMcuCheck)->setChecked(false);
        QVERIFY(!f.Field(Control::ExportPath)->isVisible());
        QVERIFY(!f.Button(Control::ChooseFileButton)->isVisible());
        f.Button(Control::MainMcuCheck)->setChecked(true);
        QVERIFY(f.Field(Control::ExportPath)->isVisible());
        QVERIFY(f.Button(Control::ChooseFileButton)->isVisible());
    }

    // A directory named like the export file in the working directory.
    void directoryInTheFilesPlaceIsAccessDenied() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(kExportName));
        InDir in(dir.path());
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
        ArmExport(f);
        f.Button(Control::UpdateButton)->click();
        QCOMPARE(d.Texts(), QStringList{"File access denied."});
        QCOMPARE(d.boxes[0].icon, QMessageBox::Critical);
        QVERIFY(QFileInfo(dir.filePath(kExportName)).isDir());
        QCOMPARE(OpenFilesUnder(dir.path()), QStringList());
        QVERIFY(f.Button(Control::UpdateButton)->isEnabled());
    }

    void exportFailureIsShownByTheErrorDisplay_data() {
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<QString>("text");
        QTest::newRow("read-only directory") << "size=1m" << true << "File access denied.";
        QTest::newRow("full disk") << "size=64k" << false << "Disk full.";
    }
    void exportFailureIsShownByTheErrorDisplay() {
        QFETCH(QString, options);
        QFETCH(bool, readOnly);
        QFETCH(QString, text);
        testsupport::ScratchFs scratch(options.toLatin1().constData(), readOnly ? MS_RDONLY : 0);
        if (!scratch.mounted) QSKIP("mounting a tmpfs needs CAP_SYS_ADMIN");
        const QString dir = QFile::decodeName(scratch.dir.path().string().c_str());
        InDir in(dir);
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
        ArmExport(f);
        f.Button(Control::UpdateButton)->click();
        QCOMPARE(d.Texts(), QStringList{text});
        QCOMPARE(d.boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(d.boxes[0].title, f.Title());
        QCOMPARE(OpenFilesUnder(dir), QStringList());
        QVERIFY(f.Button(Control::UpdateButton)->isEnabled());
        QCOMPARE(f.Button(Control::UpdateButton)->text(), QString("Generate Image File"));
        const QByteArray kept = ReadAll(QDir(dir).filePath(kExportName));
        if (!readOnly) QVERIFY(kept.size() > 60000 && Expected(QString()).startsWith(kept));
    }
};

QTEST_MAIN(ExportWindowTest)
#include "ExportWindowTest.moc"
