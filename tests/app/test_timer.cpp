// The window timer the protocol's waits stand on.
#include <sys/resource.h>

#include <QElapsedTimer>
#include <QtTest>
#include <exception>
#include <thread>

#include "Timer.h"

namespace {

// Runs the event loop until the timer stops itself; how long that took.
qint64 WaitForTick(TTimer& t) {
    QElapsedTimer clock;
    clock.start();
    while (t.Enabled()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return clock.elapsed();
}

}  // namespace

class TimerTest : public QObject {
    Q_OBJECT
private slots:
    void aRestartedCountdownNeverDeliversAnOldTick() {
        TTimer t(50, nullptr);
        int ticks = 0;
        t.OnTimer = [&] {
            ++ticks;
            t.SetEnabled(false);
        };
        QElapsedTimer clock;
        // Expired while the loop was busy, then restarted with another
        // interval: the wait is the new interval, counted from the restart.
        t.SetEnabled(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        clock.start();
        t.SetInterval(300);
        WaitForTick(t);
        QVERIFY2(clock.elapsed() >= 300, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(ticks, 1);

        // Expired while the loop was busy, then stopped: no tick at all.
        t.SetEnabled(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        t.SetEnabled(false);
        QTest::qWait(50);
        QCOMPARE(ticks, 1);

        // Several periods missed while busy give one tick, and the timer ticks on.
        int periodic = 0;
        t.OnTimer = [&] { ++periodic; };
        t.SetInterval(20);
        t.SetEnabled(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        QCoreApplication::processEvents();
        QCOMPARE(periodic, 1);
        QTRY_VERIFY(periodic >= 3);
        t.SetEnabled(false);
    }

    void noTimerLeftIsReportedWhenStarting() {
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &old), 0);
        TTimer t(50, nullptr);
        rlimit none = old;
        none.rlim_cur = 0;  // no descriptor can be opened
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &none), 0);
        // Nothing else runs until the limit is back: the sanitizers need descriptors too.
        std::exception_ptr failure;
        try {
            t.SetEnabled(true);
        } catch (...) {
            failure = std::current_exception();
        }
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &old), 0);
        QVERIFY(failure);
        try {
            std::rethrow_exception(failure);
        } catch (const EOutOfResources& e) {
            QCOMPARE(QString(e.what()), QString("Not enough timers available"));
        }
        QVERIFY(!t.Enabled());
        // With descriptors to spare again, the same timer works.
        t.OnTimer = [&] { t.SetEnabled(false); };
        t.SetEnabled(true);
        QVERIFY(WaitForTick(t) >= 50);
    }
};

QTEST_GUILESS_MAIN(TimerTest)
#include "test_timer.moc"
