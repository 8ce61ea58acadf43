// The window as the program starts it, for each build configuration: what
// the model decides reaches the right controls, and every text the window
// can show fits its place at the designed size.
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include "brand/LoaderVersion.h"
#include "window/BuildConfig.h"
#include "qt/MainWindow.h"
#include "tests/support/RecordingDialogs.h"
#include "window/Texts.h"

using window::Control;
using window::Text;

class WindowTest : public QObject {
    Q_OBJECT
    // Closing the window saves the settings file into the working directory.
    QTemporaryDir workDir_;

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(workDir_.path())); }

    void startsBrandedWithTheDesignedControls() {
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        const QString version = window::BrandVariant == 1
                                    ? "LRV715, LRV716 - Ethernet Firmware Version " LOADER_VERSION
                                    : "QT510x, QT520x - Ethernet Firmware Version " LOADER_VERSION;
        const QString prefix = window::BrandVariant == 1 ? "KORVAN | " : "VELTRONA | ";
        QCOMPARE(f.Label(Text::Version)->text(), version);
        QCOMPARE(f.windowTitle(), prefix + version);
        for (QWidget* w :
             {static_cast<QWidget*>(f.Field(Control::AddressField)),
              static_cast<QWidget*>(f.Field(Control::PasswordField)),
              static_cast<QWidget*>(f.Button(Control::UpdateButton)), static_cast<QWidget*>(f.Label(Text::Verdict)),
              static_cast<QWidget*>(f.Bar()), static_cast<QWidget*>(f.Label(Text::Version))})
            QVERIFY2(w->isVisible(), qPrintable(w->metaObject()->className()));
        // Only a developer build leaves the export's controls reachable.
        const bool dev = window::DeveloperControls;
        QCOMPARE(f.Button(Control::ExportCheck)->isVisible(), dev);
        QCOMPARE(f.Button(Control::MainMcuCheck)->isVisible(), dev);
        QCOMPARE(f.Field(Control::ExportPath)->isVisible(), dev);
        QCOMPARE(f.Button(Control::ChooseFileButton)->isVisible(), dev);
        QCOMPARE(f.Button(Control::UpdateButton)->text(), QString("FIRMWARE UPDATE"));
        QCOMPARE(f.Field(Control::AddressField)->text(), QString("0.0.0.0"));
        QCOMPARE(f.Label(Text::Verdict)->text(), QString("0%"));
        QCOMPARE(f.VerdictBackground(), f.palette().color(QPalette::Button));
        QCOMPARE(f.size(), QSize(711, 400));
        QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(f.Bar()->minimum(), 14);
        QCOMPARE(f.Bar()->maximum(), 65000);
        QCOMPARE(f.Bar()->value(), 14);
        QVERIFY(f.Button(Control::MainMcuCheck)->isChecked());
        QCOMPARE(f.Field(Control::PasswordField)->echoMode(), QLineEdit::Password);
    }

    void firstActivationClearsTheLinesAndFocusesThePassword() {
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
        QCOMPARE(f.Label(Text::Action)->text(), QString("..."));
        f.show();
        f.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        QTRY_COMPARE(f.Label(Text::Action)->text(), QString());
        QCOMPARE(f.Label(Text::Identity)->text(), QString());
        QTRY_VERIFY(f.Field(Control::PasswordField)->hasFocus());
    }

    // The fonts stand in for the design's, so this is checked where they are drawn.
    void everyTextFitsItsPlace() {
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
        struct Place {
            window::Text text;
            QWidget* widget;
            int room;  // the width the text may take
        };
        constexpr int kGroupWidth = window::layout::kOperationGroup.width;
        const Place places[] = {
            {window::Text::Action, f.Label(Text::Action), kGroupWidth - f.Label(Text::Action)->x() - 2},
            {window::Text::Identity, f.Label(Text::Identity), kGroupWidth - f.Label(Text::Identity)->x() - 2},
            // Right-aligned, it grows to the left; the group's edge is the limit.
            {window::Text::Verdict, f.Label(Text::Verdict),
             f.Label(Text::Verdict)->x() + f.Label(Text::Verdict)->width() - 2},
            {window::Text::UpdateButton, f.Button(Control::UpdateButton), f.Button(Control::UpdateButton)->width() - 8},
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
            QVERIFY(QFontMetrics(f.Label(Text::Version)->font()).horizontalAdvance(f.Label(Text::Version)->text()) <=
                    window::layout::kVersionRoom);
        }
    }

    void closeRequestEndsTheWindow() {
        testsupport::RecordingDialogs d;
        net::MeterConnections n;
        MainWindow f(d, PortsOver(n));
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
