// Closing the window while the flash is being written.
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include "Form1.h"
#include "RecordingDialogs.h"
#include "Updater.h"
#include "metersim/meter.h"

class CloseDuringUpdateTest : public QObject {
    Q_OBJECT
    // Closing the window saves the settings file into the working directory.
    QTemporaryDir workDir_;

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(workDir_.path())); }

    void closeStopsTheRunAtTheNextBlockAndTheProgramEnds() {
        RecordingDialogs d;
        TForm1 f(d);
        metersim::MeterOptions o;
        o.address = "127.0.0.1";
        o.modbusPort = 0;
        o.bootPort = 0;
        o.bootloaderFromStart = true;
        int writes = 0;
        // The meter runs on its own thread: the close request is posted to
        // the window, as the window system would deliver it.
        o.onEvent = [&](const metersim::Event& e) {
            if (e.command == "W" && ++writes == 3) QMetaObject::invokeMethod(&f, "close", Qt::QueuedConnection);
        };
        metersim::Meter meter(o);

        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        f.TcpClient.SetRemotePort(std::to_string(meter.ModbusPort()));
        f.UdpSocket1.SetRemotePort(std::to_string(meter.BootPort()));
        f.EditIPaddr->setText("127.0.0.1");
        f.EditPass->setText("1234");
        QElapsedTimer t;
        t.start();
        // Pressed from inside the program's event loop, which must end once
        // the interrupted handler has returned.
        bool timedOut = false;
        QTimer::singleShot(0, f.Button2, &QPushButton::click);
        QTimer::singleShot(20000, qApp, [&] {
            timedOut = true;
            qApp->quit();
        });
        qApp->exec();

        QVERIFY(!timedOut);
        QVERIFY(f.Closing());
        QVERIFY(!f.isVisible());
        QCOMPARE(f.Label1->text(), QString("Communication error!"));
        QVERIFY(d.boxes.empty());
        int written = 0, resets = 0;
        for (const auto& e : meter.Events()) {
            written += e.command == "W";
            resets += e.command == "RESET";
        }
        QCOMPARE(written, 3);  // the block in flight is finished, no further one is started
        QCOMPARE(resets, 0);
        QVERIFY2(t.elapsed() < 8000, "the run must not go on to the end");
    }
};

QTEST_MAIN(CloseDuringUpdateTest)
#include "test_close_during_update.moc"
