// Closing the window at each stage of an update: the meter is either
// untouched and back in its application, or partly written and waiting in its
// bootloader for the next attempt. It is never erased after the close. And
// whatever moment a close comes, the program ends and saves its settings.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <memory>
#include <thread>

#include "qt/MainWindow.h"
#include "tests/support/Addresses.h"
#include "tests/support/QtFiles.h"
#include "tests/support/RecordingDialogs.h"
#include "sim/Meter.h"

using window::Control;
using window::Text;

namespace {

enum class CloseAt { BeforeRequest, BootloaderStarting, Identification, Programming };

int Count(const sim::Meter& m, const std::string& command) {
    int n = 0;
    for (const auto& e : m.Events()) n += e.command == command;
    return n;
}

// Runs the program's loop; false if it had to be stopped after 30 s. The
// limit goes with the call, so that it cannot end a later case's loop.
bool LoopEndsByItself() {
    bool timedOut = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, qApp, [&] {
        timedOut = true;
        qApp->quit();
    });
    limit.start(30000);
    qApp->exec();
    return !timedOut;
}

// Keeps one core busy while it lives, as other programs would.
class BusyCore {
public:
    explicit BusyCore(bool on) {
        if (on)
            thread_ = std::thread([this] {
                while (!stop_.load(std::memory_order_relaxed)) {
                }
            });
    }
    ~BusyCore() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

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
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        auto f = std::make_unique<MainWindow>(d, PortsOver(n));
        sim::MeterOptions o;
        o.address = testsupport::LoopbackOfItsOwn();
        o.modbusPort = 0;
        o.bootPort = 0;
        o.bootDelayMs = 300;
        int writes = 0;
        // The meter runs on its own thread: the close request is posted to
        // the window, as the window system would deliver it.
        MainWindow* window = f.get();
        auto close = [window] { QMetaObject::invokeMethod(window, "close", Qt::QueuedConnection); };
        o.onEvent = [&](const sim::Event& e) {
            if ((at == CloseAt::BootloaderStarting && e.command == "MODBUS") ||
                (at == CloseAt::Identification && e.command == "VER?") ||
                (at == CloseAt::Programming && e.command == "W" && ++writes == 3))
                close();
        };
        sim::Meter meter(o);
        const std::vector<uint8_t> before = meter.Flash();

        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.get()));
        n.modbus.SetRemotePort(meter.ModbusPort());
        n.boot.SetRemotePort(meter.BootPort());
        f->Field(Control::AddressField)->setText(QString::fromStdString(testsupport::LoopbackOfItsOwn()));
        f->Field(Control::PasswordField)->setText("1234");
        // Pressed from inside the program's event loop, which must end once
        // the window has closed.
        QTimer::singleShot(0, f->Button(Control::UpdateButton), &QPushButton::click);
        if (at == CloseAt::BeforeRequest) QTimer::singleShot(200, f.get(), &QWidget::close);
        QVERIFY2(LoopEndsByItself(), "the program's loop was still running 30 s on");
        QVERIFY(f->Closing());
        QVERIFY(!f->isVisible());
        // The run stops by the close rules; what it shows last is still drawn.
        QTRY_VERIFY_WITH_TIMEOUT(!f->Model().Running(), 30000);
        QVERIFY(d.boxes.empty());
        const QString action = f->Label(Text::Action)->text();
        f.reset();
        QCOMPARE(Count(meter, "E"), untouched ? 0 : 1);
        QCOMPARE(Count(meter, "MODBUS"), at == CloseAt::BeforeRequest ? 0 : 1);
        if (untouched) {
            QVERIFY(meter.Flash() == before);
            QVERIFY2(!meter.InBootloader(), "the meter is sent back to its application");
            QCOMPARE(Count(meter, "RESET"), at == CloseAt::BeforeRequest ? 0 : 1);
        } else {
            QCOMPARE(Count(meter, "W"), 3);  // the block in flight is finished, no further one is started
            QCOMPARE(Count(meter, "RESET"), 0);
            QCOMPARE(action, QString("Communication error!"));
        }
    }

    // A first start: nothing answers at the address. FIRMWARE UPDATE is
    // pressed and the window closed at one moment or another of the run:
    // the window goes, the program's loop ends, the address is saved, and the
    // run stops.
    void closeAtAnyMomentEndsTheProgram_data() {
        QTest::addColumn<int>("afterMs");
        QTest::addColumn<bool>("busy");
        for (const int ms : {0, 10, 100, 450, 800, 1300, 2000, 3000}) QTest::addRow("%d ms", ms) << ms << false;
        for (const int ms : {100, 800}) QTest::addRow("%d ms, busy machine", ms) << ms << true;
    }

    void closeAtAnyMomentEndsTheProgram() {
        QFETCH(int, afterMs);
        QFETCH(bool, busy);
        QTemporaryDir dir;
        BusyCore load(busy);
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        std::unique_ptr<MainWindow> f;
        {
            const testsupport::InDir in(dir.path());
            f = std::make_unique<MainWindow>(d, PortsOver(n));
        }
        // Loopback ports where nothing listens.
        n.modbus.SetRemotePort(1);
        n.boot.SetRemotePort(1);
        f->Field(Control::AddressField)->setText(QString::fromStdString(testsupport::LoopbackOfItsOwn()));
        f->Field(Control::PasswordField)->setText("1234");
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.get()));
        QTimer::singleShot(0, f->Button(Control::UpdateButton), &QPushButton::click);
        QTimer::singleShot(afterMs, f.get(), &QWidget::close);
        QVERIFY2(LoopEndsByItself(), "the program's loop was still running 30 s on");
        QVERIFY(f->Closing());
        QVERIFY(!f->isVisible());
        f.reset();  // the program's end waits for the run to stop
        QFile file(dir.filePath("QT510x_QT520x_Ethernet_Loader.ini"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(),
                 QByteArray::fromStdString("[boot]\nipaddress=" + testsupport::LoopbackOfItsOwn() + "\n"));
        // A close after the run's end says nothing more than its end did.
        QVERIFY(d.boxes.size() <= 1);
    }
};

QTEST_MAIN(CloseDuringUpdateTest)
#include "CloseDuringUpdateTest.moc"
