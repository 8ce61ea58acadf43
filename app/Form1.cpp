#include "Form1.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>

#include "Brand.h"
#include "BuildConfig.h"
#include "ErrorText.h"
#include "FlashImage.h"
#include "ImageExport.h"
#include "Settings.h"

namespace {

// The design's fonts come from another desktop; name what stands in for them here.
void RegisterFontFallbacks() {
    QFont::insertSubstitutions(
        QStringLiteral("MS Sans Serif"),
        {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    QFont::insertSubstitutions(
        QStringLiteral("Consolas"),
        {QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Monospace")});
}

QFont WindowFont(bool bold) {
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setPixelSize(11);
    f.setBold(bold);
    return f;
}

QGroupBox* MakeGroup(const QString& caption, QWidget* parent, QRect r) {
    auto* g = new QGroupBox(caption, parent);
    g->setGeometry(r);
    g->setFont(WindowFont(true));  // the caption is bold; children set their own font
    return g;
}

template <typename W>
W* Place(W* w, QRect r, bool bold = false) {
    w->setGeometry(r);
    w->setFont(WindowFont(bold));
    return w;
}

QString FromLatin1(std::string_view s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

TLabel::TLabel(const QString& text, QWidget* parent, QRect design, bool rightAligned, bool bold)
    : QLabel(parent), anchorRight_(design.x() + design.width()), right_(rightAligned) {
    setFont(WindowFont(bold));
    setAlignment((rightAligned ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
    // A design label grows with its text, away from its aligned edge. A
    // left-aligned one is given the room up to its parent's edge at once, so
    // that a new text costs no measuring; a right-aligned one (the verdict on
    // its coloured background) is fitted to each text.
    if (!rightAligned) design.setWidth(std::max(design.width(), parent->width() - design.x() - 2));
    setGeometry(design);
    SetCaption(text);
}

void TLabel::SetCaption(const QString& text) {
    if (text == this->text()) return;
    setText(text);
    if (!right_) return;
    const int w = std::max(fontMetrics().horizontalAdvance(text) + 1, 1);
    setGeometry(anchorRight_ - w, geometry().y(), w, geometry().height());
}

TForm1::TForm1(Dialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      dialogs_(dialogs) {
    RegisterFontFallbacks();
    setFont(WindowFont(false));
    setFixedSize(711, 400);

    GroupBox2 = MakeGroup(QStringLiteral("Modbus TCP/IP, BACnet IP - Firmware"), this, {16, 16, 681, 81});
    LabelVersion = new TLabel(QStringLiteral("text"), GroupBox2, {16, 32, 52, 28});
    {
        QFont f(QStringLiteral("Consolas"));
        f.setPixelSize(24);
        f.setBold(true);
        LabelVersion->setFont(f);
        QPalette p = LabelVersion->palette();
        p.setColor(QPalette::WindowText, QColor(0, 128, 0));
        LabelVersion->setPalette(p);
    }
    Edit1 = Place(new QLineEdit(GroupBox2), {16, 16, 569, 21}, true);
    Edit1->setReadOnly(true);
    {
        QPalette p = Edit1->palette();
        p.setColor(QPalette::Base, QColor(255, 255, 0));
        Edit1->setPalette(p);
    }
    ButtonCPU1 = Place(new QPushButton(QStringLiteral("select file"), GroupBox2), {600, 14, 65, 25});
    CheckBox1 = Place(new QCheckBox(QStringLiteral("Main MCU:"), GroupBox2), {24, 58, 89, 17});
    CheckBox1->setChecked(true);
    CheckBox1->setVisible(false);

    GroupBox3 = MakeGroup(QStringLiteral("Energy Meter"), this, {16, 112, 321, 81});
    Label6 = new TLabel(QStringLiteral("IP address:"), GroupBox3, {99, 27, 65, 13}, true);
    EditIPaddr = Place(new QLineEdit(GroupBox3), {176, 24, 121, 21});
    Label7 = new TLabel(QStringLiteral("admin password:"), GroupBox3, {69, 51, 95, 13}, true);
    EditPass = Place(new QLineEdit(GroupBox3), {176, 48, 121, 21});
    EditPass->setEchoMode(QLineEdit::Password);
    EditPass->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // "*"

    Button2 = Place(new QPushButton(QStringLiteral("FIRMWARE UPDATE"), this), {360, 120, 337, 73}, true);

    Operation = MakeGroup(QStringLiteral("Operation"), this, {16, 208, 321, 81});
    Label5 = new TLabel(QStringLiteral("Action: "), Operation, {16, 28, 45, 13});
    Label1 = new TLabel(QStringLiteral("..."), Operation, {72, 28, 13, 13}, false, true);
    Label2 = new TLabel(QStringLiteral("IDN:"), Operation, {16, 52, 27, 13});
    Label4 = new TLabel(QStringLiteral("..."), Operation, {72, 52, 13, 13}, false, true);
    Label3 = new TLabel(QStringLiteral("Repeat: "), Operation, {16, 68, 50, 13});
    Label3->setVisible(false);
    LabelRepeat = new TLabel(QStringLiteral("0"), Operation, {72, 68, 8, 13}, false, true);
    LabelRepeat->setVisible(false);

    Button1 = Place(new QPushButton(QStringLiteral("2. Update Firmware"), this), {360, 240, 337, 25}, true);
    Button1->setVisible(false);
    CheckBoxGenerate = Place(new QCheckBox(QStringLiteral("Generate image file"), this), {352, 272, 185, 17});
    Edit2 = Place(new QLineEdit(QStringLiteral("Edit2"), this), {352, 288, 345, 21});
    Edit2->setVisible(false);

    GroupBox1 = MakeGroup(QStringLiteral("Update Process"), this, {16, 304, 681, 81});
    BLVmain = new TLabel(QStringLiteral("BLVmain"), GroupBox1, {464, 15, 42, 13});
    Perc1 = new TLabel(QStringLiteral("0%"), GroupBox1, {649, 15, 17, 13}, true, true);
    Perc1->setAutoFillBackground(true);
    ProgressBar1 = Place(new QProgressBar(GroupBox1), {16, 40, 649, 17});
    ProgressBar1->setTextVisible(false);
    // The bar paints its own background, so the group box behind it need not
    // be painted again with every step.
    ProgressBar1->setAutoFillBackground(true);
    ProgressBar1->setRange(14, 65000);
    ProgressBar1->setValue(14);

    MemoIni = Place(new QPlainTextEdit(QStringLiteral("MemoIni"), this), {16, 232, 1009, 33});
    MemoIni->setVisible(false);

    // Controls take the keyboard focus in design order.
    setTabOrder(EditIPaddr, EditPass);
    setTabOrder(EditPass, Button2);

    displayTimer_.setSingleShot(true);
    connect(&displayTimer_, &QTimer::timeout, this, [this] { ApplyDisplay(); });

    TimerIP = new TTimer(50, this);
    TimerDelay = new TTimer(1000, this);
    TimerRxTimeout = new TTimer(1000, this);
    TimerIP->OnTimer = [this] { TimerIP->SetEnabled(false); };
    TimerDelay->OnTimer = [this] { TimerDelay->SetEnabled(false); };
    TimerRxTimeout->OnTimer = [this] { TimerRxTimeout->SetEnabled(false); };

    pacer_ = std::make_unique<TWindowPacer>(*TimerIP, closing_);
    engine_ =
        std::make_unique<loader::UpdateEngine>(*pacer_, TcpClient, UdpSocket1, image::EmbeddedImage(), delay_, *this);

    connect(Button2, &QPushButton::clicked, this, [this] { Guarded([this] { Button2Click(); }); });
    connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
    connect(CheckBoxGenerate, &QCheckBox::toggled, this, [this] { Guarded([this] { CheckBoxGenerateClick(); }); });
    connect(CheckBox1, &QCheckBox::toggled, this, [this] { Guarded([this] { CheckBox1Click(); }); });
    connect(ButtonCPU1, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonCPU1Click(); }); });

    if (const QScreen* s = QGuiApplication::primaryScreen()) {
        const QRect a = s->availableGeometry();
        move(a.center() - rect().center());
    }

    Guarded([this] { FormCreate(); });
}

TForm1::~TForm1() = default;

template <typename F>
void TForm1::Guarded(F&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

void TForm1::ShowException(const std::exception& e) {
    ApplyDisplay();
    dialogs_.Message(this, ApplicationTitle, QString::fromLocal8Bit(WithFullStop(e.what())), QMessageBox::Critical);
}

void TForm1::FormCreate() {
    // File dialogs are given no directory of their own, so they open in the working directory.
    AppDir = QDir::currentPath();
    LoadSettings();
    LabelVersion->SetCaption(QString::fromLatin1(brand::ForStartUp(BrandVariant).versionText));
    FitVersionLabel();
    ApplicationTitle = QString::fromLatin1(brand::ForStartUp(BrandVariant).titlePrefix) + LabelVersion->text();
    setWindowTitle(ApplicationTitle);
    BLVmain->SetCaption(QString());
    // A developer build keeps the export's controls, "Main MCU:" included,
    // which the design hides.
    CheckBox1->setVisible(DeveloperControls);
    CheckBoxGenerate->setVisible(DeveloperControls);
    Edit1->setVisible(DeveloperControls);
    ButtonCPU1->setVisible(DeveloperControls);
    Edit2->setVisible(false);
}

void TForm1::FitVersionLabel() {
    // The design font is narrower than the monospaced faces that stand in
    // for it here; the version must still be readable to its last digit.
    QFont f = LabelVersion->font();
    const int room = GroupBox2->width() - LabelVersion->x() - 8;
    while (f.pixelSize() > 12 && QFontMetrics(f).horizontalAdvance(LabelVersion->text()) > room)
        f.setPixelSize(f.pixelSize() - 1);
    LabelVersion->setFont(f);
}

void TForm1::LoadSettings() {
    // Built from AppDir on each use, so a later change of the working directory does not move the file.
    const std::string fileName =
        settings::SettingsFileName(QFile::encodeName(QDir::toNativeSeparators(AppDir)).toStdString(), BrandVariant);
    const settings::LoadedSettings loaded = settings::LoadSettings(fileName);
    QStringList lines;
    for (const std::string& line : loaded.lines) lines << QString::fromStdString(line);
    MemoIni->setPlainText(lines.join(QLatin1Char('\n')));
    EditIPaddr->setText(QString::fromStdString(loaded.address));
}

void TForm1::SaveSettings() {
    const std::string fileName =
        settings::SettingsFileName(QFile::encodeName(QDir::toNativeSeparators(AppDir)).toStdString(), BrandVariant);
    settings::SaveSettings(fileName, EditIPaddr->text().toStdString());
}

void TForm1::FormActivate() {
    Label1->SetCaption(QString());
    Label4->SetCaption(QString());
    EditPass->setFocus();
}

bool TForm1::event(QEvent* e) {
    // Only the first activation counts: closing a message box gives the focus
    // back without clearing the action and identity lines.
    if (e->type() == QEvent::WindowActivate && !activated_) {
        activated_ = true;
        Guarded([this] { FormActivate(); });
    }
    return QWidget::event(e);
}

void TForm1::FormCloseQuery(bool& canClose) {
    closing_ = true;
    canClose = true;
}

void TForm1::FormClose() { SaveSettings(); }

void TForm1::closeEvent(QCloseEvent* e) {
    bool canClose = true;
    FormCloseQuery(canClose);
    if (!canClose) {
        e->ignore();
        return;
    }
    // A failed save is shown and the window closes all the same: keeping it
    // open would trap the operator for as long as the file stays unwritable.
    Guarded([this] { FormClose(); });
    e->accept();
}

void TForm1::ResetProgressDisplay() {
    // The bar's minimum is the first block of the last run's range, or its
    // design value before any run: either way the bar is empty.
    SetProgressPosition(ProgressBar1->minimum());
    ShowText(Perc1, "0%");
    SetPerc1Color(clBtnFace);
    ShowText(Label1, "");
    ShowText(Label4, "");
}

void TForm1::Button2Click() {
    ResetProgressDisplay();
    if (CheckBoxGenerate->isChecked()) {
        if (CheckBox1->isChecked())
            image::ExportImage("Code_Image_Main_MCU.pas", Edit1->text().toStdString(), image::EmbeddedImage());
        return;
    }
    // A character without a Latin-1 byte could not reach the meter as typed.
    const QString typed = EditPass->text();
    loader::UpdateRequest request;
    request.address = EditIPaddr->text().toStdString();
    if (std::all_of(typed.begin(), typed.end(), [](QChar ch) { return ch.unicode() < 256; }))
        request.password = typed.toLatin1().toStdString();
    request.program = CheckBox1->isChecked();
    engine_->Run(request);
}

void TForm1::Button1Click() { engine_->RunProcedure(EditIPaddr->text().toStdString(), CheckBox1->isChecked()); }

void TForm1::CheckBoxGenerateClick() {
    Button2->setText(CheckBoxGenerate->isChecked() ? QStringLiteral("Generate Image File")
                                                   : QStringLiteral("FIRMWARE UPDATE"));
}

void TForm1::CheckBox1Click() {
    Edit1->setVisible(CheckBox1->isChecked());
    ButtonCPU1->setVisible(CheckBox1->isChecked());
}

void TForm1::ButtonCPU1Click() {
    const QString chosen = dialogs_.OpenFile(this, OpenDialog1Filter);
    if (chosen.isEmpty()) return;
    ImageFileName = chosen;
    Edit1->setText(ImageFileName);
}

// --- What the update shows ------------------------------------------------

void TForm1::RequestStarted() { Button2->setEnabled(false); }
void TForm1::RequestEnded() {
    ApplyDisplay();  // the verdict shows at once, even when the window is closing
    Button2->setEnabled(true);
}

void TForm1::ProcedureStarted(const loader::Progress& p) {
    ButtonCPU1->setEnabled(false);
    Edit1->setEnabled(false);
    CheckBox1->setEnabled(false);
    ProgressBar1->setMinimum(p.minimum);
    ProgressBar1->setMaximum(p.maximum);
    SetProgressPosition(p.position);
    ShowText(Perc1, p.percent);
    SetPerc1Color(clBtnFace);
    ShowText(BLVmain, "");
}

void TForm1::ProcedureEnded() {
    ApplyDisplay();
    ButtonCPU1->setEnabled(true);
    Edit1->setEnabled(true);
    CheckBox1->setEnabled(true);
}

void TForm1::ActionChanged(std::string_view text) { ShowText(Label1, text); }
void TForm1::IdentityChanged(std::string_view text) { ShowText(Label4, text); }
void TForm1::RetriesChanged(int count) { ShowText(LabelRepeat, std::to_string(count)); }

void TForm1::ProgressChanged(const loader::Progress& p) {
    SetProgressPosition(p.position);
    ShowText(Perc1, p.percent);
}

void TForm1::Notify(loader::Notice n) { ShowMessage(FromLatin1(loader::NoticeText(n))); }

void TForm1::Succeeded() {
    ShowText(Perc1, "Successfully updated.");
    SetPerc1Color(clLime);
}

void TForm1::ShowText(TLabel* label, std::string_view latin1) {
    // A label's text ends at its first zero byte.
    const QString t = FromLatin1(latin1.substr(0, latin1.find('\0')));
    auto pending =
        std::find_if(pendingTexts_.begin(), pendingTexts_.end(), [label](const auto& p) { return p.first == label; });
    if (pending != pendingTexts_.end())
        pending->second = t;
    else
        pendingTexts_.emplace_back(label, t);
    ScheduleDisplay();
}

void TForm1::SetPerc1Color(uint32_t color) {
    perc1Color_ = color;
    colorPending_ = true;  // shown together with the verdict's text
    ScheduleDisplay();
}

void TForm1::SetProgressPosition(int64_t v) {
    // The bar holds its position within its range (a plain QProgressBar would ignore the value).
    barPosition_ = static_cast<int32_t>(std::clamp<int64_t>(v, ProgressBar1->minimum(), ProgressBar1->maximum()));
    barPending_ = true;
    ScheduleDisplay();
}

// The update code rewrites the progress display for every block, 480 steps
// in a few seconds, faster than anyone can read. The display takes the newest
// texts, bar position and colour at most ten times a second, from the event
// loop while the update waits. Measuring and repainting labels then never
// delays the next frame, and a whole update repaints a few dozen times
// instead of several hundred. A change after a quiet spell shows at once.
void TForm1::ScheduleDisplay() {
    if (displayTimer_.isActive()) return;
    constexpr qint64 kDisplayPeriodMs = 100;
    const qint64 since = sinceDisplay_.isValid() ? sinceDisplay_.elapsed() : kDisplayPeriodMs;
    displayTimer_.start(static_cast<int>(std::clamp<qint64>(kDisplayPeriodMs - since, 0, kDisplayPeriodMs)));
}

void TForm1::ApplyDisplay() {
    displayTimer_.stop();
    sinceDisplay_.start();
    for (auto& [label, text] : std::exchange(pendingTexts_, {})) label->SetCaption(text);
    if (std::exchange(barPending_, false))
        ProgressBar1->setValue(std::clamp(barPosition_, ProgressBar1->minimum(), ProgressBar1->maximum()));
    if (std::exchange(colorPending_, false)) {
        QPalette p = Perc1->palette();
        // A value with the high byte 0xFF names a system colour; the only one used is the button face.
        p.setColor(QPalette::Window, (perc1Color_ >> 24) == 0xFF ? palette().color(QPalette::Button)
                                                                 : QColor(perc1Color_ & 0xFF, (perc1Color_ >> 8) & 0xFF,
                                                                          (perc1Color_ >> 16) & 0xFF));
        Perc1->setPalette(p);
    }
}

// A box shows in front of the newest display, so the window behind it says what led to it.
void TForm1::ShowMessage(const QString& text) {
    ApplyDisplay();
    dialogs_.Message(this, ApplicationTitle, text, QMessageBox::NoIcon);
}
