// Closing the window at each stage of an update: the meter is either
// untouched and back in its application, or partly written and waiting in its
// bootloader for the next attempt. It is never erased after the close.
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include "Form1.h"
#include "RecordingDialogs.h"
#include "metersim/meter.h"

namespace {

enum class CloseAt { BeforeRequest, BootloaderStarting, Identification, Programming };

int Count(const metersim::Meter& m, const std::string& command) {
    int n = 0;
    for (const auto& e : m.Events()) n += e.command == command;
    return n;
}

}  // namespace

Q_DECLARE_METATYPE(CloseAt)

class CloseDuringUpdateTest : public QObject {
    Q_OBJECT
    // Closing the window saves the settings file into the working directory.
    QTemporaryDir workDir_;

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(workDir_.path())); }

    void closeNeverErasesTheMeter_data() {
        QTest::addColumn<CloseAt>("at");
        QTest::addColumn<bool>("untouched");
        QTest::newRow("before the request") << CloseAt::BeforeRequest << true;
        QTest::newRow("while the bootloader starts") << CloseAt::BootloaderStarting << true;
        QTest::newRow("during identification") << CloseAt::Identification << true;
        QTest::newRow("during programming") << CloseAt::Programming << false;
    }

    void closeNeverErasesTheMeter() {
        QFETCH(CloseAt, at);
        QFETCH(bool, untouched);
        RecordingDialogs d;
        TForm1 f(d);
        metersim::MeterOptions o;
        o.address = "127.0.0.1";
        o.modbusPort = 0;
        o.bootPort = 0;
        o.bootDelayMs = 300;
        int writes = 0;
        // The meter runs on its own thread: the close request is posted to
        // the window, as the window system would deliver it.
        auto close = [&f] { QMetaObject::invokeMethod(&f, "close", Qt::QueuedConnection); };
        o.onEvent = [&](const metersim::Event& e) {
            if ((at == CloseAt::BootloaderStarting && e.command == "MODBUS") ||
                (at == CloseAt::Identification && e.command == "VER?") ||
                (at == CloseAt::Programming && e.command == "W" && ++writes == 3))
                close();
        };
        metersim::Meter meter(o);
        const std::vector<uint8_t> before = meter.Flash();

        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        f.TcpClient.SetRemotePort(meter.ModbusPort());
        f.UdpSocket1.SetRemotePort(meter.BootPort());
        f.EditIPaddr->setText("127.0.0.1");
        f.EditPass->setText("1234");
        // Pressed from inside the program's event loop, which must end once
        // the interrupted handler has returned.
        QTimer::singleShot(0, f.Button2, &QPushButton::click);
        if (at == CloseAt::BeforeRequest) QTimer::singleShot(200, &f, &QWidget::close);
        bool timedOut = false;
        QTimer::singleShot(30000, qApp, [&] {
            timedOut = true;
            qApp->quit();
        });
        qApp->exec();

        QVERIFY(!timedOut);
        QVERIFY(f.Closing());
        QVERIFY(!f.isVisible());
        QVERIFY(d.boxes.empty());
        QCOMPARE(Count(meter, "E"), untouched ? 0 : 1);
        QCOMPARE(Count(meter, "MODBUS"), at == CloseAt::BeforeRequest ? 0 : 1);
        if (untouched) {
            QVERIFY(meter.Flash() == before);
            QVERIFY2(!meter.InBootloader(), "the meter is sent back to its application");
            QCOMPARE(Count(meter, "RESET"), at == CloseAt::BeforeRequest ? 0 : 1);
        } else {
            QCOMPARE(Count(meter, "W"), 3);  // the block in flight is finished, no further one is started
            QCOMPARE(Count(meter, "RESET"), 0);
            QCOMPARE(f.Label1->text(), QString("Communication error!"));
        }
    }
};

QTEST_MAIN(CloseDuringUpdateTest)
#include "test_close_during_update.moc"
