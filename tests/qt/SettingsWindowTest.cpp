// The settings file as the window uses it: read at start-up, written at close.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "window/BuildConfig.h"
#include "qt/MainWindow.h"
#include "tests/support/QtFiles.h"
#include "tests/support/RecordingDialogs.h"
#include "tests/support/ScratchMount.h"
#include "tests/support/Unprivileged.h"

using window::Control;

namespace {

using testsupport::ReadAll;

QString FileName() {
    return window::BrandVariant == 0 ? QStringLiteral("QT510x_QT520x_Ethernet_Loader.ini")
                                     : QStringLiteral("LRV715_LRV716_Ethernet_Loader.ini");
}
QString OtherBrandsFileName() {
    return window::BrandVariant == 0 ? QStringLiteral("LRV715_LRV716_Ethernet_Loader.ini")
                                     : QStringLiteral("QT510x_QT520x_Ethernet_Loader.ini");
}

// The window as an operator starts it from `dir`; the working directory is
// put back at once, so the window must remember where it started.
std::unique_ptr<MainWindow> StartIn(const QString& dir, testsupport::RecordingDialogs& dialogs) {
    const testsupport::InDir in(dir);
    // No run starts here: every window may share one set of idle connections.
    static net::MeterConnections n;
    return std::make_unique<MainWindow>(dialogs, PortsOver(n));
}

bool CloseWindow(MainWindow& f) {
    f.show();
    if (!QTest::qWaitForWindowExposed(&f)) return false;
    return f.close() && !f.isVisible();
}

void Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Bytes that are no text, zero bytes included.
QByteArray Binary(int size) {
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i) b[i] = static_cast<char>((i * 131 + 7) % 256);
    return b;
}

const QByteArray kHandWritten =
    "; written by hand\r\n"
    "\r\n"
    "[net]\r\n"
    "ipaddress = 10.9.9.9\r\n"
    "\r\n"
    "[boot]\r\n"
    "# the last meter\r\n"
    "retries=3\r\n"
    " IPADDRESS = %1 \r\n"
    "mode=fast\r\n"
    "\r\n"
    "; the end\r\n";

// True when the calling test function is to run its body here. Run as root,
// which may write a read-only file, the function has instead just run itself
// as "nobody", and that run's verdict is taken over.
bool RunsAsAnOrdinaryUser() {
    if (!testsupport::IsPrivileged()) return true;
    testsupport::UnprivilegedRun run;
    try {
        run = testsupport::RunSelfAsNobody({QTest::currentTestFunction()});
    } catch (const std::system_error& e) {
        QTest::qFail((std::string("cannot run as an ordinary user: ") + e.what()).c_str(), __FILE__, __LINE__);
        return false;
    }
    const bool passed = run.status == 0 && run.output.find(", 0 failed, 0 skipped") != std::string::npos;
    if (!passed) QTest::qFail(("as nobody:\n" + run.output).c_str(), __FILE__, __LINE__);
    return false;
}

}  // namespace

class SettingsWindowTest : public QObject {
    Q_OBJECT
private slots:
    void startThenClose_data() {
        QTest::addColumn<bool>("hasFile");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("edit");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("next");

        QTest::newRow("first start") << false << QByteArray() << "0.0.0.0" << false << QString()
                                     << QByteArray("[boot]\nipaddress=0.0.0.0\n") << "0.0.0.0";
        QTest::newRow("empty value") << true << QByteArray("[boot]\nport=502\nipaddress=\n") << "0.0.0.0" << false
                                     << QString() << QByteArray("[boot]\nport=502\nipaddress=0.0.0.0\n") << "0.0.0.0";
        QTest::newRow("rest kept byte for byte")
            << true << QByteArray(kHandWritten).replace("%1", "10.0.0.1") << "10.0.0.1" << true << "192.168.100.200"
            << QByteArray(kHandWritten).replace("%1", "192.168.100.200") << "192.168.100.200";
        // A text the update would refuse is not kept: the last usable address stays.
        QTest::newRow("field left empty") << true << QByteArray("[boot]\nipaddress=10.0.0.1\n") << "10.0.0.1" << true
                                          << "" << QByteArray("[boot]\nipaddress=10.0.0.1\n") << "10.0.0.1";
        QTest::newRow("number over 255") << true << QByteArray("[boot]\nipaddress=10.0.0.1\n") << "10.0.0.1" << true
                                         << "300.1.1.1" << QByteArray("[boot]\nipaddress=10.0.0.1\n") << "10.0.0.1";
        QTest::newRow("blanks around") << true << QByteArray("[boot]\nipaddress=10.0.0.1\n") << "10.0.0.1" << true
                                       << " 10.0.0.5 " << QByteArray("[boot]\nipaddress=10.0.0.5\n") << "10.0.0.5";
        QTest::newRow("not Latin-1") << true << QByteArray("[boot]\nipaddress=10.0.0.1\n") << "10.0.0.1" << true
                                     << QString::fromUtf8("z\xC3\xA4hler-\xE2\x82\xAC")
                                     << QByteArray("[boot]\nipaddress=z\xC3\xA4hler-\xE2\x82\xAC\n")
                                     << QString::fromUtf8("z\xC3\xA4hler-\xE2\x82\xAC");
    }

    void startThenClose() {
        QFETCH(bool, hasFile);
        QFETCH(QByteArray, before);
        QFETCH(QString, shown);
        QFETCH(bool, edit);
        QFETCH(QString, typed);
        QFETCH(QByteArray, after);
        QFETCH(QString, next);

        QTemporaryDir dir;
        const QString file = dir.filePath(FileName());
        if (hasFile) Write(file, before);
        testsupport::RecordingDialogs d;
        auto f = StartIn(dir.path(), d);
        QCOMPARE(f->Field(Control::AddressField)->text(), shown);
        QCOMPARE(QFile::exists(file), hasFile);  // start-up writes nothing
        if (hasFile) QCOMPARE(ReadAll(file), before);

        if (edit) f->Field(Control::AddressField)->setText(typed);
        QVERIFY(CloseWindow(*f));
        QCOMPARE(d.Texts(), QStringList());
        QCOMPARE(ReadAll(file), after);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{FileName()});

        testsupport::RecordingDialogs d2;
        QCOMPARE(StartIn(dir.path(), d2)->Field(Control::AddressField)->text(), next);
    }

    // Whatever stands in the file, the program starts, shows what it can read,
    // and a close leaves a file the next start reads.
    void badFileContent_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("shown");
        QTest::newRow("binary") << Binary(64 * 1024) << "0.0.0.0";
        QTest::newRow("binary around a readable section")
            << QByteArray(Binary(4000)).replace('\0', '\1') + "\n[boot]\nipaddress=10.0.0.9\n[end]\n" + Binary(4000)
            << "10.0.0.9";
        QTest::newRow("10 MB") << QByteArray(10 * 1024 * 1024, 'x') + "\n[boot]\nipaddress=10.0.0.10\n"
                               << "10.0.0.10";
    }

    void badFileContent() {
        QFETCH(QByteArray, content);
        QFETCH(QString, shown);
        QTemporaryDir dir;
        Write(dir.filePath(FileName()), content);
        testsupport::RecordingDialogs d;
        auto f = StartIn(dir.path(), d);
        QCOMPARE(f->Field(Control::AddressField)->text(), shown);
        f->Field(Control::AddressField)->setText("10.0.0.77");
        QVERIFY(CloseWindow(*f));
        QCOMPARE(d.Texts(), QStringList());
        testsupport::RecordingDialogs d2;
        QCOMPARE(StartIn(dir.path(), d2)->Field(Control::AddressField)->text(), QString("10.0.0.77"));
    }

    void fileBelongsToTheStartDirectory() {
        QTemporaryDir start, later;
        Write(start.filePath(FileName()), "[boot]\nipaddress=10.0.0.1\n");
        Write(start.filePath(OtherBrandsFileName()), "[boot]\nipaddress=10.0.0.9\n");
        Write(later.filePath(FileName()), "[boot]\nipaddress=10.0.0.2\n");
        QVERIFY(QDir(start.path()).canonicalPath() != QDir(QCoreApplication::applicationDirPath()).canonicalPath());

        testsupport::RecordingDialogs d;
        auto f = StartIn(start.path(), d);
        QCOMPARE(f->Field(Control::AddressField)->text(), QString("10.0.0.1"));
        // The file dialog of the image export changes the working directory.
        bool closed = false;
        {
            const testsupport::InDir in(later.path());
            f->Field(Control::AddressField)->setText("10.0.0.3");
            closed = CloseWindow(*f);
        }
        QVERIFY(closed);
        QCOMPARE(ReadAll(start.filePath(FileName())), QByteArray("[boot]\nipaddress=10.0.0.3\n"));
        QCOMPARE(ReadAll(start.filePath(OtherBrandsFileName())), QByteArray("[boot]\nipaddress=10.0.0.9\n"));
        QCOMPARE(ReadAll(later.filePath(FileName())), QByteArray("[boot]\nipaddress=10.0.0.2\n"));
    }

    void failedSaveIsShownAndTheWindowClosesAnyway_data() {
        QTest::addColumn<bool>("readOnly");
        QTest::newRow("directory removed after start-up") << false;
        QTest::newRow("read-only file system") << true;
    }

    void failedSaveIsShownAndTheWindowClosesAnyway() {
        QFETCH(bool, readOnly);
        QTemporaryDir outer;
        const QString dir = outer.filePath("start");
        QVERIFY(QDir().mkdir(dir));
        const QString file = QDir(dir).canonicalPath() + '/' + FileName();
        const QByteArray old = "; kept\n[boot]\nipaddress=10.0.0.1\n";
        testsupport::ScratchMount mount;
        if (readOnly) {
            if (const std::string why = mount.Mount(dir.toStdString(), "size=64k"); !why.empty()) QSKIP(why.c_str());
            Write(file, old);
            QVERIFY(mount.MakeReadOnly());
        }

        testsupport::RecordingDialogs d;
        auto f = StartIn(dir, d);
        if (!readOnly) QVERIFY(QDir(dir).removeRecursively());
        f->Field(Control::AddressField)->setText("10.0.0.2");
        QVERIFY(CloseWindow(*f));
        QVERIFY(f->Closing());
        QCOMPARE(d.Texts(), QStringList{"Unable to write to " + file + "."});
        QCOMPARE(d.boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(d.boxes[0].title, f->Title());
        if (readOnly)
            QCOMPARE(ReadAll(file), old);
        else
            QVERIFY(!QDir(dir).exists());
    }

    // The directory would allow a rename over the file, but the file itself
    // is read-only: the error is shown, the window closes, the file stays.
    void readOnlyFileIsShownAndKept() {
        if (!RunsAsAnOrdinaryUser()) return;
        QTemporaryDir dir;
        const QString file = QDir(dir.path()).canonicalPath() + '/' + FileName();
        const QByteArray old = "; kept\n[boot]\nipaddress=10.0.0.1\n";
        Write(file, old);
        QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::ReadGroup));

        testsupport::RecordingDialogs d;
        auto f = StartIn(dir.path(), d);
        QCOMPARE(f->Field(Control::AddressField)->text(), QString("10.0.0.1"));
        f->Field(Control::AddressField)->setText("10.0.0.2");
        QVERIFY(CloseWindow(*f));
        QVERIFY(f->Closing());
        QCOMPARE(d.Texts(), QStringList{"Unable to write to " + file + "."});
        QCOMPARE(d.boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(ReadAll(file), old);
        QCOMPARE(QFile::permissions(file), QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadUser);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{FileName()});
    }

    // A settings file with a second name keeps it: the close writes the file
    // both names stand for.
    void hardLinkedFileKeepsItsLink() {
        QTemporaryDir dir;
        const QString file = dir.filePath(FileName());
        const QString other = dir.filePath("shared.ini");
        Write(file, "[boot]\nipaddress=10.0.0.1\n");
        QVERIFY(::link(QFile::encodeName(file).constData(), QFile::encodeName(other).constData()) == 0);
        testsupport::RecordingDialogs d;
        auto f = StartIn(dir.path(), d);
        f->Field(Control::AddressField)->setText("10.0.0.2");
        QVERIFY(CloseWindow(*f));
        QCOMPARE(d.Texts(), QStringList());
        QCOMPARE(ReadAll(other), QByteArray("[boot]\nipaddress=10.0.0.2\n"));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
        QCOMPARE(st.st_nlink, nlink_t(2));
    }
};

QTEST_MAIN(SettingsWindowTest)
#include "SettingsWindowTest.moc"
