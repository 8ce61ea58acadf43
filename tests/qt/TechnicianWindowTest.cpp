// The window as a technician uses it, against the simulated meter on
// loopback: Enter starts the update, a pasted address is cleaned, the
// fields take nothing while a run lasts, a failed block says what state the
// meter is left in, and a close during a run asks first.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdlib>

#include "qt/MainWindow.h"
#include "tests/support/Addresses.h"
#include "tests/support/QtFiles.h"
#include "tests/support/RecordingDialogs.h"
#include "window/Texts.h"
#include "sim/Meter.h"
#include "tests/support/ChildProcess.h"

using window::Control;
using window::Text;

namespace {

int Count(const sim::Meter& m, const std::string& command) {
    int n = 0;
    for (const auto& e : m.Events()) n += e.command == command;
    return n;
}

sim::MeterOptions OnLoopback() {
    sim::MeterOptions o;
    o.address = testsupport::LoopbackOfItsOwn();
    o.modbusPort = 0;
    o.bootPort = 0;
    o.bootDelayMs = 300;
    return o;
}

void Connect(net::MeterConnections& n, const sim::Meter& meter) {
    n.modbus.SetRemotePort(meter.ModbusPort());
    n.boot.SetRemotePort(meter.BootPort());
}

// The window started in `dir`, where its settings file is, shown and activated.
std::unique_ptr<MainWindow> ActiveWindowIn(const QString& dir, testsupport::RecordingDialogs& d,
                                           net::MeterConnections& n) {
    std::unique_ptr<MainWindow> f;
    {
        const testsupport::InDir in(dir);
        f = std::make_unique<MainWindow>(d, PortsOver(n));
    }
    f->show();
    f->activateWindow();
    return f;
}

}  // namespace

class TechnicianWindowTest : public QObject {
    Q_OBJECT
    // Closing the window saves the settings file into the working directory.
    QTemporaryDir workDir_;

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(workDir_.path())); }

    // Started with Enter in the password field; typing during the run
    // changes nothing; the block that fails ten times ends in a box and a
    // red verdict that say the meter waits in its bootloader.
    void failedBlockSaysTheMeterWaitsInItsBootloader() {
        sim::MeterOptions o = OnLoopback();
        // Already in its bootloader: the run goes on after the refused
        // request, and waits 1 s between attempts.
        o.bootloaderFromStart = true;
        o.modbusListener = false;
        o.faults.rules = {*sim::ParseFaultRule("drop@block=0x08800", nullptr)};
        sim::Meter meter(o);

        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
        f.show();
        f.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        Connect(n, meter);
        f.Field(Control::AddressField)->setText(QString::fromStdString(testsupport::LoopbackOfItsOwn()));
        QTest::keyClicks(f.Field(Control::PasswordField), "1234");
        QTest::keyClick(f.Field(Control::PasswordField), Qt::Key_Return);
        QVERIFY(f.Model().Running());

        QTRY_VERIFY_WITH_TIMEOUT(f.Label(Text::Action)->text().startsWith("writing sector"), 10000);
        QVERIFY(f.Field(Control::AddressField)->isReadOnly() && f.Field(Control::PasswordField)->isReadOnly());
        QTest::keyClicks(f.Field(Control::AddressField), "10.9");
        QTest::keyClicks(f.Field(Control::PasswordField), "5");
        QTest::keyClick(f.Field(Control::AddressField), Qt::Key_Return);
        QCOMPARE(f.Field(Control::AddressField)->text(), QString::fromStdString(testsupport::LoopbackOfItsOwn()));
        QCOMPARE(f.Field(Control::PasswordField)->text(), QString("1234"));

        QTRY_VERIFY_WITH_TIMEOUT(!f.Model().Running(), 60000);
        QCOMPARE(d.boxes.size(), size_t(1));
        const QString text = d.boxes[0].text;
        QVERIFY2(text.startsWith("Communication error !\n\nBlock 0x08800 was not confirmed after 10 attempts; the "
                                 "meter waits in its bootloader for another update.\n\nCheck the network"),
                 qPrintable(text));
        QCOMPARE(f.Label(Text::Verdict)->text(), QString("Not updated. The meter waits in its bootloader."));
        QCOMPARE(f.VerdictBackground(), QColor(255, 0, 0));
        QVERIFY(f.Label(Text::Repeat)->isVisible());
        for (const QLabel* caption : f.findChildren<QLabel*>())
            if (caption->text() == "Repeat: ") QVERIFY(caption->isVisible());
        QCOMPARE(f.Label(Text::Repeat)->text(), QString("10"));
        QVERIFY(!f.Field(Control::AddressField)->isReadOnly());
        QCOMPARE(QApplication::focusWidget(), f.Button(Control::UpdateButton));
        QVERIFY(meter.InBootloader());
        QCOMPARE(Count(meter, "RESET"), 0);
        QVERIFY(f.close());  // after the run's end: at once
        QVERIFY(d.questions.empty());
    }

    // An update whose process is killed during the writes (the command line
    // here, as a dead battery would end a window): the next window started
    // for that meter says so on its action line, without a box.
    void updateKilledDuringTheWritesIsToldAtTheNextStart() {
        sim::Meter meter(OnLoopback());
        const std::string address = testsupport::LoopbackOfItsOwn();
        ::setenv("LOADER_PASSWORD", "1234", 1);
        testsupport::ChildProcess cli(
            {LOADER_CLI_PATH, "update", address, "--modbus-port", std::to_string(meter.ModbusPort()), "--boot-port",
             std::to_string(meter.BootPort()), "--back-within", "0"},
            testsupport::ChildProcess::Stderr::Discard);
        QVERIFY(meter.WaitFor([](const sim::Event& e) { return e.command == "W"; }, std::chrono::seconds(30)));
        cli.Signal(SIGKILL);
        QVERIFY(cli.Wait(testsupport::ChildProcess::Clock::now() + std::chrono::seconds(10)));

        QTemporaryDir dir;
        QFile ini(dir.filePath("QT510x_QT520x_Ethernet_Loader.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(QByteArray("[boot]\r\nipaddress = ") + address.c_str() + "\r\n");
        ini.close();
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        const auto f = ActiveWindowIn(dir.path(), d, n);
        QVERIFY(QTest::qWaitForWindowActive(f.get()));
        const QString line = f->Label(Text::Verdict)->text();
        QVERIFY2(line.startsWith(QString::fromStdString("Interrupted update of " + address + " (20")),
                 qPrintable(line));
        QVERIFY2(line.endsWith(" UTC): may wait in its bootloader."), qPrintable(line));
        QCOMPARE(f->Label(Text::Action)->text(), QString("Press FIRMWARE UPDATE to finish it."));
        QVERIFY(d.boxes.empty());
        QVERIFY(f->close());
    }

    // A pasted address with blanks around it: the meter is updated at the
    // cleaned address, which the field shows and the close saves.
    void addressWithBlanksUpdatesTheMeter() {
        sim::Meter meter(OnLoopback());
        QTemporaryDir dir;
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        const auto f = ActiveWindowIn(dir.path(), d, n);
        QVERIFY(QTest::qWaitForWindowActive(f.get()));
        Connect(n, meter);
        f->Field(Control::AddressField)->setText(QString::fromStdString(" " + testsupport::LoopbackOfItsOwn() + " \t"));
        QTest::keyClicks(f->Field(Control::PasswordField), "1234");
        QTest::keyClick(f->Button(Control::UpdateButton), Qt::Key_Return);  // Enter on the button itself
        QVERIFY(f->Model().Running());
        QCOMPARE(f->Field(Control::AddressField)->text(), QString::fromStdString(testsupport::LoopbackOfItsOwn()));
        QTRY_VERIFY_WITH_TIMEOUT(!f->Model().Running(), 120000);
        QTRY_VERIFY_WITH_TIMEOUT(!f->Model().Watching(), 10000);
        QVERIFY(f->Label(Text::Verdict)->text().startsWith("Back in service after "));
        QVERIFY(d.boxes.empty());
        QVERIFY(meter.FlashMatches(FlashImageARM));
        QVERIFY(!meter.InBootloader());
        QCOMPARE(QApplication::focusWidget(), f->Button(Control::UpdateButton));
        QVERIFY(f->close());
        QFile file(dir.filePath("QT510x_QT520x_Ethernet_Loader.ini"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(),
                 QByteArray::fromStdString("[boot]\nipaddress=" + testsupport::LoopbackOfItsOwn() + "\n"));
    }

    // A close while the flash is written asks first, with the real box; the
    // writes go on while it is open; Enter stops the run and closes.
    void closeDuringTheWritesAsksAndEnterStops() {
        sim::Meter meter(OnLoopback());
        Dialogs real;
        net::MeterConnections n;
        auto f = std::make_unique<MainWindow>(real, PortsOver(n));
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.get()));
        Connect(n, meter);
        f->Field(Control::AddressField)->setText(QString::fromStdString(testsupport::LoopbackOfItsOwn()));
        f->Field(Control::PasswordField)->setText("1234");
        f->Button(Control::UpdateButton)->click();
        QTRY_VERIFY_WITH_TIMEOUT(Count(meter, "W") >= 3, 20000);
        f->close();
        QMessageBox* box = nullptr;
        QTRY_VERIFY((box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) != nullptr);
        QCOMPARE(box->text(), QString(window::kCloseQuestion));
        QVERIFY(f->isVisible());
        const int writesWhenAsked = Count(meter, "W");
        QTRY_VERIFY_WITH_TIMEOUT(Count(meter, "W") >= writesWhenAsked + 5, 10000);  // the update goes on
        QTest::keyClick(box, Qt::Key_Return);
        QTRY_VERIFY(!f->isVisible());
        QVERIFY(f->Closing());
        QTRY_VERIFY_WITH_TIMEOUT(!f->Model().Running(), 10000);
        const int writes = Count(meter, "W");
        f.reset();
        QCOMPARE(Count(meter, "W"), writes);
        QCOMPARE(Count(meter, "RESET"), 0);
        QVERIFY(meter.InBootloader());
    }
};

QTEST_MAIN(TechnicianWindowTest)
#include "TechnicianWindowTest.moc"
