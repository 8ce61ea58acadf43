// The window as the program starts it, for each build configuration: what
// the model decides reaches the right controls, and every text the window
// can show fits its place at the designed size.
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include "window/BuildConfig.h"
#include "qt/MainWindow.h"
#include "tests/support/RecordingDialogs.h"
#include "window/Texts.h"

class WindowTest : public QObject {
    Q_OBJECT
    // Closing the window saves the settings file into the working directory.
    QTemporaryDir workDir_;

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(workDir_.path())); }

    void startsBrandedWithTheDesignedControls() {
        testsupport::RecordingDialogs d;
        MainWindow f(d);
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        const QString version = window::BrandVariant == 1 ? "LRV715, LRV716 - Ethernet Firmware Version 1.13"
                                                          : "QT510x, QT520x - Ethernet Firmware Version 1.13";
        const QString prefix = window::BrandVariant == 1 ? "KORVAN | " : "VELTRONA | ";
        QCOMPARE(f.versionLabel->text(), version);
        QCOMPARE(f.windowTitle(), prefix + version);
        for (QWidget* w : {static_cast<QWidget*>(f.addressEdit), static_cast<QWidget*>(f.passwordEdit),
                           static_cast<QWidget*>(f.updateButton), static_cast<QWidget*>(f.verdictLabel),
                           static_cast<QWidget*>(f.progress), static_cast<QWidget*>(f.versionLabel)})
            QVERIFY2(w->isVisible(), qPrintable(w->metaObject()->className()));
        // Only a developer build leaves the export's controls reachable.
        const bool dev = window::DeveloperControls;
        QCOMPARE(f.exportCheck->isVisible(), dev);
        QCOMPARE(f.mainMcuCheck->isVisible(), dev);
        QCOMPARE(f.exportPathEdit->isVisible(), dev);
        QCOMPARE(f.chooseFileButton->isVisible(), dev);
        QCOMPARE(f.updateButton->text(), QString("FIRMWARE UPDATE"));
        QCOMPARE(f.addressEdit->text(), QString("0.0.0.0"));
        QCOMPARE(f.verdictLabel->text(), QString("0%"));
        QCOMPARE(f.VerdictBackground(), f.palette().color(QPalette::Button));
        QCOMPARE(f.size(), QSize(711, 400));
        QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(f.progress->minimum(), 14);
        QCOMPARE(f.progress->maximum(), 65000);
        QCOMPARE(f.progress->value(), 14);
        QVERIFY(f.mainMcuCheck->isChecked());
        QCOMPARE(f.passwordEdit->echoMode(), QLineEdit::Password);
    }

    void firstActivationClearsTheLinesAndFocusesThePassword() {
        testsupport::RecordingDialogs d;
        MainWindow f(d);
        QCOMPARE(f.actionLabel->text(), QString("..."));
        f.show();
        f.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        QTRY_COMPARE(f.actionLabel->text(), QString());
        QCOMPARE(f.identityLabel->text(), QString());
        QTRY_VERIFY(f.passwordEdit->hasFocus());
    }

    // The fonts stand in for the design's, so this is checked where they are drawn.
    void everyTextFitsItsPlace() {
        testsupport::RecordingDialogs d;
        MainWindow f(d);
        struct Place {
            window::Text text;
            QWidget* widget;
            int room;  // the width the text may take
        };
        const Place places[] = {
            {window::Text::Action, f.actionLabel, f.operationGroup->width() - f.actionLabel->x() - 2},
            {window::Text::Identity, f.identityLabel, f.operationGroup->width() - f.identityLabel->x() - 2},
            // Right-aligned, it grows to the left; the group's edge is the limit.
            {window::Text::Verdict, f.verdictLabel, f.verdictLabel->x() + f.verdictLabel->width() - 2},
            {window::Text::UpdateButton, f.updateButton, f.updateButton->width() - 8},
        };
        for (const Place& p : places)
            for (const std::string& t : window::WidestTexts(p.text)) {
                const int w = QFontMetrics(p.widget->font()).horizontalAdvance(QString::fromStdString(t));
                QVERIFY2(
                    w <= p.room,
                    qPrintable(
                        QString("\"%1\" needs %2 of %3 pixels").arg(QString::fromStdString(t)).arg(w).arg(p.room)));
            }
        // The version shrinks its font until it fits.
        for (const std::string& t : window::WidestTexts(window::Text::Version)) {
            f.ShowText(window::Text::Version, t);
            QVERIFY(QFontMetrics(f.versionLabel->font()).horizontalAdvance(f.versionLabel->text()) <=
                    window::layout::kVersionRoom);
        }
    }

    void closeRequestEndsTheWindow() {
        testsupport::RecordingDialogs d;
        MainWindow f(d);
        f.show();
        QVERIFY(!f.Closing());
        QVERIFY(f.close());
        QVERIFY(f.Closing());
        QVERIFY(!f.isVisible());
        QVERIFY(d.boxes.empty());
    }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
