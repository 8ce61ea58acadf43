// The operator's one action in the real window: "FIRMWARE UPDATE" pressed
// with a simulated meter in normal operation on loopback.
#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "qt/MainWindow.h"
#include "tests/support/Addresses.h"
#include "tests/support/RecordingDialogs.h"
#include "sim/Meter.h"

using window::Control;
using window::Text;

class UpdateWindowTest : public QObject {
    Q_OBJECT
    // Closing the window saves the settings file into the working directory.
    QTemporaryDir workDir_;

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(workDir_.path())); }

    void pressRunsTheWholeUpdateAndShowsTheVerdict() {
        sim::MeterOptions o;
        o.address = testsupport::LoopbackOfItsOwn();
        o.modbusPort = 0;
        o.bootPort = 0;
        o.password = "admin123";
        o.bootDelayMs = 500;
        // Some answers come after the 50 ms a write waits: the window goes on
        // listening for them rather than failing the block or taking them
        // for the next block's.
        o.faults.rules = {*sim::ParseFaultRule("delay:120@cmd=W,every=10", nullptr)};
        sim::Meter meter(o);

        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        n.modbus.SetRemotePort(meter.ModbusPort());
        n.boot.SetRemotePort(meter.BootPort());
        f.Field(Control::AddressField)->setText(QString::fromStdString(testsupport::LoopbackOfItsOwn()));
        QTest::keyClicks(f.Field(Control::PasswordField), "admin123");

        // Labels must change while the update runs: the window keeps processing events.
        QStringList seen, verdicts;
        QTimer sampler;
        sampler.setInterval(100);
        connect(&sampler, &QTimer::timeout, this, [&] {
            if (seen.isEmpty() || seen.back() != f.Label(Text::Action)->text()) seen << f.Label(Text::Action)->text();
            if (verdicts.isEmpty() || verdicts.back() != f.Label(Text::Verdict)->text())
                verdicts << f.Label(Text::Verdict)->text();
            QVERIFY(!f.Model().Running() || !f.Button(Control::UpdateButton)->isEnabled());
        });
        sampler.start();
        QTest::mouseClick(f.Button(Control::UpdateButton), Qt::LeftButton);
        QVERIFY(f.Model().Running());
        QTRY_VERIFY_WITH_TIMEOUT(!f.Model().Running(), 120000);
        QTRY_VERIFY_WITH_TIMEOUT(!f.Model().Watching(), 10000);
        sampler.stop();

        // The success shows from the end of the writes; then the meter's return.
        QVERIFY2(verdicts.contains("Successfully updated."), qPrintable(verdicts.join(" | ")));
        const QRegularExpression back("Back in service after [23] s, revision 2\\.31");
        QVERIFY2(back.match(f.Label(Text::Verdict)->text()).hasMatch(), qPrintable(verdicts.join(" | ")));
        QCOMPARE(f.VerdictBackground(), QColor(0, 255, 0));
        QCOMPARE(f.Label(Text::Action)->text(), QString("Finished."));
        QCOMPARE(f.Model().LastResult()->retries, 0);
        QCOMPARE(f.Label(Text::Identity)->text(), QString("BOOTLOADER-V1.00"));
        QCOMPARE(f.Bar()->value(), 0x7FFFF);
        QVERIFY(f.Button(Control::UpdateButton)->isEnabled());
        QVERIFY(!n.modbus.IsOpen());
        QVERIFY(n.boot.IsOpen());
        QVERIFY(d.boxes.empty());
        QVERIFY(meter.FlashMatches(FlashImageARM));
        QVERIFY(!meter.InBootloader());
        QVERIFY2(seen.contains("Bootloader mode. Please wait ..."), qPrintable(seen.join(" | ")));
        QVERIFY2(
            std::any_of(seen.begin(), seen.end(), [](const QString& s) { return s.startsWith("writing sector 0x"); }),
            qPrintable(seen.join(" | ")));
    }
};

QTEST_MAIN(UpdateWindowTest)
#include "UpdateWindowTest.moc"
