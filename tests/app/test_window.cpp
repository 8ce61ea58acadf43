// The window as the program starts it, for each build configuration.
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <chrono>
#include <thread>

#include "BuildConfig.h"
#include "Form1.h"
#include "RecordingDialogs.h"

using namespace std::chrono_literals;

class WindowTest : public QObject {
    Q_OBJECT
    // Closing the window saves the settings file into the working directory.
    QTemporaryDir workDir_;

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(workDir_.path())); }

    void captionAndVersionFollowTheBrand() {
        RecordingDialogs d;
        TForm1 f(d);
        const QString version = BrandVariant == 1 ? "LRV715, LRV716 - Ethernet Firmware Version 1.13"
                                                  : "QT510x, QT520x - Ethernet Firmware Version 1.13";
        const QString prefix = BrandVariant == 1 ? "KORVAN | " : "VELTRONA | ";
        QCOMPARE(f.LabelVersion->text(), version);
        QCOMPARE(f.windowTitle(), prefix + version);
        QCOMPARE(f.ApplicationTitle, prefix + version);
        QCOMPARE(f.BLVmain->text(), QString());
    }

    void controlsShownAndHiddenAtRunTime() {
        RecordingDialogs d;
        TForm1 f(d);
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        for (QWidget* w : {static_cast<QWidget*>(f.EditIPaddr), static_cast<QWidget*>(f.EditPass),
                           static_cast<QWidget*>(f.Button2), static_cast<QWidget*>(f.Perc1),
                           static_cast<QWidget*>(f.ProgressBar1), static_cast<QWidget*>(f.LabelVersion)})
            QVERIFY2(w->isVisible(), qPrintable(w->metaObject()->className()));
        for (QWidget* w :
             {static_cast<QWidget*>(f.Edit2), static_cast<QWidget*>(f.Button1), static_cast<QWidget*>(f.MemoIni),
              static_cast<QWidget*>(f.LabelRepeat), static_cast<QWidget*>(f.Label3)})
            QVERIFY(!w->isVisible());
        // Only a developer build leaves the export's controls reachable.
        const bool dev = DeveloperControls;
        QCOMPARE(f.CheckBoxGenerate->isVisible(), dev);
        QCOMPARE(f.CheckBox1->isVisible(), dev);
        QCOMPARE(f.Edit1->isVisible(), dev);
        QCOMPARE(f.ButtonCPU1->isVisible(), dev);
        QCOMPARE(f.Button2->text(), QString("FIRMWARE UPDATE"));
        QCOMPARE(f.size(), QSize(711, 400));
        QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(f.ProgressBar1->minimum(), 14);
        QCOMPARE(f.ProgressBar1->maximum(), 65000);
        QVERIFY(f.CheckBox1->isChecked());
    }

    void firstActivationClearsTheLinesAndFocusesThePassword() {
        RecordingDialogs d;
        TForm1 f(d);
        QCOMPARE(f.Label1->text(), QString("..."));
        f.show();
        f.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        QTRY_COMPARE(f.Label1->text(), QString());
        QCOMPARE(f.Label4->text(), QString());
        QTRY_VERIFY(f.EditPass->hasFocus());
        // A later activation (a message box closing) leaves the lines alone.
        f.Label1->setText("erase sectors OK");
        QEvent e(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&f, &e);
        QCOMPARE(f.Label1->text(), QString("erase sectors OK"));
    }

    void appDirIsTheWorkingDirectoryNotTheExecutables() {
        QTemporaryDir dir;
        const QString before = QDir::currentPath();
        QDir::setCurrent(dir.path());
        RecordingDialogs d;
        TForm1 f(d);
        QDir::setCurrent(before);
        QCOMPARE(QDir(f.AppDir).canonicalPath(), QDir(dir.path()).canonicalPath());
        QVERIFY(QDir(f.AppDir).canonicalPath() != QDir(QCoreApplication::applicationDirPath()).canonicalPath());
    }

    void waitsEndAtTheirDeadlineAndACloseEndsOnlyTheCancellableOnes() {
        RecordingDialogs d;
        TForm1 f(d);
        f.show();
        QElapsedTimer t;
        t.start();
        f.Pacer().WaitUntil(TWindowPacer::Clock::now() + 300ms);
        QVERIFY2(t.elapsed() >= 300, qPrintable(QString::number(t.elapsed())));

        // The close request arrives through the event loop that the wait runs.
        QTimer::singleShot(50, &f, &QWidget::close);
        t.restart();
        const auto far = TWindowPacer::Clock::now() + 60s;
        QVERIFY(!f.Pacer().WaitUnlessCancelled(far));
        QVERIFY(f.Closing());
        QVERIFY2(t.elapsed() >= 50, qPrintable(QString::number(t.elapsed())));
        QVERIFY(TWindowPacer::Clock::now() < far);
        // Once closing, a plain wait still lasts its full time.
        t.restart();
        f.Pacer().WaitUntil(TWindowPacer::Clock::now() + 100ms);
        QVERIFY2(t.elapsed() >= 100, qPrintable(QString::number(t.elapsed())));
    }

    // The wait timers' rules on the window's TimerIP, bounded from below and
    // by the order of events; how little longer than its interval a wait
    // takes is startup-bench's figure.
    void timerIPKeepsTheRulesOfTheWaits() {
        RecordingDialogs d;
        TForm1 f(d);
        QElapsedTimer t;
        t.start();
        // Started with its design value of 50 ms, then set to 500 ms: the wait is 500 ms.
        f.TimerIP->SetEnabled(true);
        f.TimerIP->SetInterval(500);
        while (f.TimerIP->Enabled()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QVERIFY2(t.elapsed() >= 499, qPrintable(QString::number(t.elapsed())));

        // Setting the interval it already has does not restart a running
        // countdown: one that ran out while the program was busy ends the
        // wait at the next look at the events, where a restarted one would
        // need another 500 ms.
        t.restart();
        f.TimerIP->SetEnabled(true);
        // Busy, without a look at the events, until the countdown has run out.
        const auto due = std::chrono::steady_clock::now() + 500ms;
        while (std::chrono::steady_clock::now() < due) std::this_thread::sleep_until(due);
        f.TimerIP->SetInterval(500);
        QVERIFY(f.TimerIP->Enabled());
        QCoreApplication::processEvents();
        QVERIFY(!f.TimerIP->Enabled());
        QVERIFY2(t.elapsed() >= 499, qPrintable(QString::number(t.elapsed())));
    }

    void ticksArriveWhileAMessageBoxIsOpen() {
        RecordingDialogs d;
        d.holdMs = 150;
        TForm1 f(d);
        f.TimerDelay->SetInterval(50);
        f.TimerDelay->SetEnabled(true);
        f.Notify(loader::Notice::EraseError);
        QVERIFY(!f.TimerDelay->Enabled());
        QCOMPARE(d.Texts(), QStringList{"Erase error!"});
        QCOMPARE(d.boxes[0].title, f.ApplicationTitle);
    }

    void closeRequestSetsClosing() {
        RecordingDialogs d;
        TForm1 f(d);
        f.show();
        QVERIFY(!f.Closing());
        QVERIFY(f.close());
        QVERIFY(f.Closing());
    }

    void escapedExceptionIsShownWithTheFullStopRule() {
        RecordingDialogs d;
        TForm1 f(d);
        f.ShowException(std::runtime_error("Not enough timers available"));
        f.ShowException(std::runtime_error("Erase error!"));
        QCOMPARE(d.Texts(), (QStringList{"Not enough timers available.", "Erase error!"}));
        QCOMPARE(d.boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(d.boxes[0].title, f.ApplicationTitle);
    }

    void labelTextsEndAtTheFirstZeroByteAndAreLatin1() {
        RecordingDialogs d;
        TForm1 f(d);
        f.ActionChanged(std::string("erase sectors O\0K", 17));
        f.IdentityChanged("\xC4\xE9");
        QTRY_COMPARE(f.Label1->text(), QString("erase sectors O"));
        QCOMPARE(f.Label4->text(), QString::fromUtf8("\u00C4\u00E9"));
    }

    void progressDisplayFollowsAtMostTenTimesASecond() {
        RecordingDialogs d;
        TForm1 f(d);
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        loader::Progress p;
        p.minimum = 0x8000;
        p.maximum = 0x7FFFF;
        p.position = 0x8000;
        p.percent = "0%";
        f.ProcedureStarted(p);
        // A change after a quiet spell shows at the next pass of the event
        // loop: the start shows, then a tenth of a second passes.
        QTRY_COMPARE(f.ProgressBar1->value(), 0x8000);
        QElapsedTimer quiet;
        quiet.start();
        QTRY_VERIFY(quiet.elapsed() >= 100);
        // Started before the first step shows, so that it has run at least as
        // long as the display's own clock whenever it is read.
        QElapsedTimer t;
        t.start();
        f.ActionChanged("writing sector 0x08400");
        QCoreApplication::processEvents();
        QCOMPARE(f.Label1->text(), QString("writing sector 0x08400"));

        // Steps right after it are held back until a tenth of a second after
        // the last display, and only the newest one shows then. However slow
        // the machine: the next pass shows either the old step or, once that
        // tenth has passed, the newest one; never the one in between.
        f.ActionChanged("writing sector 0x08800");
        p.position = 0x8800;
        f.ProgressChanged(p);
        f.ActionChanged("writing sector 0x08C00");
        p.position = 0x8C00;
        f.ProgressChanged(p);
        QCoreApplication::processEvents();
        const QString shown = f.Label1->text();
        const qint64 shownAfter = t.elapsed();
        QVERIFY2(shown == "writing sector 0x08400" || (shown == "writing sector 0x08C00" && shownAfter >= 90),
                 qPrintable(shown + " after " + QString::number(shownAfter) + " ms"));
        QCOMPARE(f.ProgressPosition(), 0x8C00);
        QTRY_COMPARE(f.Label1->text(), QString("writing sector 0x08C00"));
        QCOMPARE(f.ProgressBar1->value(), 0x8C00);
        QVERIFY2(t.elapsed() >= 90, qPrintable(QString::number(t.elapsed())));

        // A message box shows in front of the newest display, verdict colour included.
        QString behindBox;
        d.onMessage = [&](const RecordingDialogs::Box&) { behindBox = f.Label1->text() + "|" + f.Perc1->text(); };
        f.ActionChanged("Communication error!");
        f.Succeeded();
        f.Notify(loader::Notice::CommunicationError);
        QCOMPARE(behindBox, QString("Communication error!|Successfully updated."));
        QCOMPARE(f.Perc1->palette().color(QPalette::Window), QColor(0, 255, 0));
        QCOMPARE(d.Texts().back(), QString("Communication error !"));
    }
};

QTEST_MAIN(WindowTest)
#include "test_window.moc"
