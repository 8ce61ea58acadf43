#include "qt/MainWindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>

#include "window/BuildConfig.h"
#include "history/Log.h"
#include "platform/MeterLock.h"

namespace layout = window::layout;

namespace {

// The design's fonts come from another desktop; name what stands in for them here.
void RegisterFontFallbacks() {
    QFont::insertSubstitutions(
        QString::fromLatin1(layout::kFontFace),
        {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    QFont::insertSubstitutions(
        QString::fromLatin1(layout::kVersionFontFace),
        {QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Monospace")});
}

QFont WindowFont(bool bold) {
    QFont f(QString::fromLatin1(layout::kFontFace));
    f.setPixelSize(layout::kFontPixels);
    f.setBold(bold);
    return f;
}

QRect ToQt(layout::Rect r) { return {r.left, r.top, r.width, r.height}; }

QString Text(const char* latin1) { return QString::fromLatin1(latin1); }

QGroupBox* MakeGroup(const QString& caption, QWidget* parent, layout::Rect r) {
    auto* g = new QGroupBox(caption, parent);
    g->setGeometry(ToQt(r));
    g->setFont(WindowFont(true));  // the caption is bold; children set their own font
    return g;
}

template <typename W>
W* Place(W* w, layout::Rect r, bool bold = false) {
    w->setGeometry(ToQt(r));
    w->setFont(WindowFont(bold));
    return w;
}

QColor ToQt(window::Rgb c) { return {c.red, c.green, c.blue}; }

}  // namespace

GrowingLabel::GrowingLabel(const QString& text, QWidget* parent, layout::Rect design, bool rightAligned, bool bold)
    : QLabel(parent), anchorRight_(design.left + design.width), right_(rightAligned) {
    setFont(WindowFont(bold));
    setAlignment((rightAligned ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
    // A left-aligned label is given the room up to its parent's edge at once,
    // so that a new text costs no measuring; a right-aligned one (the verdict
    // on its coloured background) is fitted to each text.
    if (!rightAligned) design.width = std::max(design.width, parent->width() - design.left - layout::kLabelMargin);
    setGeometry(ToQt(design));
    SetCaption(text);
}

void GrowingLabel::SetCaption(const QString& text) {
    if (text == this->text()) return;
    setText(text);
    if (!right_) return;
    const int w = std::max(fontMetrics().horizontalAdvance(text) + 1, 1);
    setGeometry(anchorRight_ - w, geometry().y(), w, geometry().height());
}

window::EnginePorts PortsOver(net::MeterConnections& network) { return window::PortsOver(network); }

MainWindow::MainWindow(Dialogs& dialogs, window::EnginePorts ports, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      dialogs_(dialogs) {
    RegisterFontFallbacks();
    setFont(WindowFont(false));
    setFixedSize(layout::kClientWidth, layout::kClientHeight);
    MakeFirmwareGroup();
    MakeMeterGroup();
    MakeRunControls();
    // Controls take the keyboard focus in design order.
    setTabOrder(addressEdit_, passwordEdit_);
    setTabOrder(passwordEdit_, updateButton_);
    if (const QScreen* s = QGuiApplication::primaryScreen()) {
        const QRect a = s->availableGeometry();
        move(a.center() - rect().center());
    }
    model_.emplace(*this, StartOptions(), std::move(ports));
    ForwardToModel();
    model_->Start();
}

window::Options MainWindow::StartOptions() {
    window::Options options;
    options.brandVariant = window::BrandVariant;
    options.developerControls = window::DeveloperControls;
    // The settings file stays where the program was started, whatever the
    // working directory later becomes.
    options.appDir = QFile::encodeName(QDir::toNativeSeparators(QDir::currentPath())).toStdString();
    options.historyLog = history::LogPath();
    options.meterLocks = platform::MeterLockScope();
    return options;
}

void MainWindow::MakeFirmwareGroup() {
    QGroupBox* group = MakeGroup(Text(layout::kFirmwareGroupText), this, layout::kFirmwareGroup);
    versionLabel_ = new GrowingLabel(QString(), group, layout::kVersionLabel);
    QFont f(QString::fromLatin1(layout::kVersionFontFace));
    f.setPixelSize(layout::kVersionFontPixels);
    f.setBold(true);
    versionLabel_->setFont(f);
    QPalette version = versionLabel_->palette();
    version.setColor(QPalette::WindowText, ToQt(window::kVersionColour));
    versionLabel_->setPalette(version);

    exportPathEdit_ = Place(new QLineEdit(group), layout::kExportPathField, true);
    exportPathEdit_->setReadOnly(true);
    QPalette path = exportPathEdit_->palette();
    path.setColor(QPalette::Base, ToQt(window::kExportPathColour));
    exportPathEdit_->setPalette(path);
    chooseFileButton_ = Place(new QPushButton(Text(layout::kChooseFileText), group), layout::kChooseFileButton);
    mainMcuCheck_ = Place(new QCheckBox(Text(layout::kMainMcuText), group), layout::kMainMcuCheck);
}

void MainWindow::MakeMeterGroup() {
    QGroupBox* group = MakeGroup(Text(layout::kMeterGroupText), this, layout::kMeterGroup);
    new GrowingLabel(Text(layout::kAddressCaptionText), group, layout::kAddressCaption, true);
    addressEdit_ = Place(new QLineEdit(group), layout::kAddressField);
    new GrowingLabel(Text(layout::kPasswordCaptionText), group, layout::kPasswordCaption, true);
    passwordEdit_ = Place(new QLineEdit(group), layout::kPasswordField);
    passwordEdit_->setEchoMode(QLineEdit::Password);
    passwordEdit_->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // "*"
    passwordEdit_->setMaxLength(window::layout::kPasswordMaxCharacters);
}

// The update button, the operation's lines, the export's check box and the progress.
void MainWindow::MakeRunControls() {
    updateButton_ = Place(new QPushButton(this), layout::kUpdateButton, true);
    // The default button: Enter starts the update from either field, and
    // from the button itself.
    updateButton_->setDefault(true);
    updateButton_->setAutoDefault(true);

    QGroupBox* operation = MakeGroup(Text(layout::kOperationGroupText), this, layout::kOperationGroup);
    new GrowingLabel(Text(layout::kActionCaptionText), operation, layout::kActionCaption);
    actionLabel_ = new GrowingLabel(QString(), operation, layout::kActionLabel, false, true);
    new GrowingLabel(Text(layout::kIdentityCaptionText), operation, layout::kIdentityCaption);
    identityLabel_ = new GrowingLabel(QString(), operation, layout::kIdentityLabel, false, true);
    repeatCaption_ = new GrowingLabel(Text(layout::kRepeatCaptionText), operation, layout::kRepeatCaption);
    repeatLabel_ = new GrowingLabel(QString(), operation, layout::kRepeatLabel, false, true);

    exportCheck_ = Place(new QCheckBox(Text(layout::kExportCheckText), this), layout::kExportCheck);

    QGroupBox* process = MakeGroup(Text(layout::kProcessGroupText), this, layout::kProcessGroup);
    verdictLabel_ = new GrowingLabel(QString(), process, layout::kVerdictLabel, true, true);
    verdictLabel_->setAutoFillBackground(true);
    progress_ = Place(new QProgressBar(process), layout::kProgressBar);
    progress_->setTextVisible(false);
    // The bar paints its own background, so the group box behind it need not
    // be painted again with every step.
    progress_->setAutoFillBackground(true);
}

void MainWindow::ForwardToModel() {
    connect(addressEdit_, &QLineEdit::textChanged, this,
            [this](const QString& t) { model_->AddressEdited(t.toStdString()); });
    connect(passwordEdit_, &QLineEdit::textChanged, this,
            [this](const QString& t) { model_->PasswordEdited(t.toStdString()); });
    connect(updateButton_, &QPushButton::clicked, this, [this] { model_->UpdateClicked(); });
    for (QLineEdit* field : {addressEdit_, passwordEdit_})
        connect(field, &QLineEdit::returnPressed, this, [this] { model_->UpdateClicked(); });
    connect(exportCheck_, &QCheckBox::toggled, this, [this](bool on) { model_->ExportToggled(on); });
    connect(mainMcuCheck_, &QCheckBox::toggled, this, [this](bool on) { model_->MainMcuToggled(on); });
    connect(chooseFileButton_, &QPushButton::clicked, this, [this] { model_->ChooseFileClicked(); });
}

// The model goes first: it waits for a run still stopping, while the
// controls it draws on still exist.
MainWindow::~MainWindow() { model_.reset(); }

void MainWindow::Post(std::function<void()> call) {
    QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void MainWindow::PostAfter(int ms, std::function<void()> call) { QTimer::singleShot(ms, this, std::move(call)); }

void MainWindow::ShowText(window::Text place, const std::string& utf8) {
    const QString text = QString::fromStdString(utf8);
    switch (place) {
        case window::Text::Caption: setWindowTitle(text); break;
        case window::Text::Version:
            versionLabel_->SetCaption(text);
            FitVersionLabel();
            break;
        case window::Text::Address: addressEdit_->setText(text); break;
        case window::Text::Action: actionLabel_->SetCaption(text); break;
        case window::Text::Identity: identityLabel_->SetCaption(text); break;
        case window::Text::Verdict: verdictLabel_->SetCaption(text); break;
        case window::Text::UpdateButton: updateButton_->setText(text); break;
        case window::Text::ExportPath: exportPathEdit_->setText(text); break;
        case window::Text::Repeat: repeatLabel_->SetCaption(text); break;
    }
}

void MainWindow::FitVersionLabel() {
    QFont f = versionLabel_->font();
    while (f.pixelSize() > layout::kVersionFontMinPixels &&
           QFontMetrics(f).horizontalAdvance(versionLabel_->text()) > layout::kVersionRoom)
        f.setPixelSize(f.pixelSize() - 1);
    versionLabel_->setFont(f);
}

void MainWindow::ShowBar(const window::Bar& bar) {
    progress_->setRange(bar.minimum, bar.maximum);
    progress_->setValue(bar.position);
}

void MainWindow::ShowVerdictBackground(std::optional<window::Rgb> colour) {
    QPalette p = verdictLabel_->palette();
    p.setColor(QPalette::Window, colour ? ToQt(*colour) : palette().color(QPalette::Button));
    verdictLabel_->setPalette(p);
}

QWidget* MainWindow::ControlWidget(window::Control control) const {
    switch (control) {
        case window::Control::UpdateButton: return updateButton_;
        case window::Control::ExportCheck: return exportCheck_;
        case window::Control::MainMcuCheck: return mainMcuCheck_;
        case window::Control::ExportPath: return exportPathEdit_;
        case window::Control::ChooseFileButton: return chooseFileButton_;
        case window::Control::AddressField: return addressEdit_;
        case window::Control::PasswordField: return passwordEdit_;
        case window::Control::RepeatCount: return repeatLabel_;
    }
    return nullptr;
}

QLineEdit* MainWindow::Field(window::Control control) const { return qobject_cast<QLineEdit*>(ControlWidget(control)); }

QAbstractButton* MainWindow::Button(window::Control control) const {
    return qobject_cast<QAbstractButton*>(ControlWidget(control));
}

QLabel* MainWindow::Label(window::Text place) const {
    switch (place) {
        case window::Text::Version: return versionLabel_;
        case window::Text::Action: return actionLabel_;
        case window::Text::Identity: return identityLabel_;
        case window::Text::Verdict: return verdictLabel_;
        case window::Text::Repeat: return repeatLabel_;
        default: return nullptr;  // not a label
    }
}

void MainWindow::SetEnabled(window::Control control, bool enabled) { ControlWidget(control)->setEnabled(enabled); }

void MainWindow::SetVisible(window::Control control, bool visible) {
    ControlWidget(control)->setVisible(visible);
    if (control == window::Control::RepeatCount) repeatCaption_->setVisible(visible);
}

void MainWindow::SetReadOnly(window::Control control, bool readOnly) {
    if (auto* field = qobject_cast<QLineEdit*>(ControlWidget(control))) field->setReadOnly(readOnly);
}

void MainWindow::SetChecked(window::Control control, bool checked) {
    if (auto* box = qobject_cast<QCheckBox*>(ControlWidget(control))) {
        // The model's own decision, not the technician's click.
        const QSignalBlocker quiet(box);
        box->setChecked(checked);
    }
}

void MainWindow::Focus(window::Control control) { ControlWidget(control)->setFocus(); }

void MainWindow::ShowBox(const window::Box& box) {
    if (box.buttons == window::BoxButtons::YesNo) {
        dialogs_.Question(this, QString::fromStdString(box.title), QString::fromStdString(box.text),
                          [this, id = box.id](bool yes) { model_->BoxClosed(id, yes); });
        return;
    }
    const QMessageBox::Icon icon = box.icon == window::BoxIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon;
    dialogs_.Message(this, QString::fromStdString(box.title), QString::fromStdString(box.text), icon,
                     [this, id = box.id] { model_->BoxClosed(id); });
}

void MainWindow::ChooseFile(const std::vector<window::FileFilter>& filters) {
    // Qt's syntax: "Intel Hex (*.hex);;Other (*.a *.b)".
    QStringList entries;
    for (const window::FileFilter& f : filters) {
        QStringList patterns;
        for (const std::string& p : f.patterns) patterns << QString::fromStdString(p);
        entries << QStringLiteral("%1 (%2)").arg(QString::fromStdString(f.name), patterns.join(' '));
    }
    dialogs_.OpenFile(this, entries.join(QStringLiteral(";;")),
                      [this](const QString& path) { model_->FileChosen(path.toStdString()); });
}

void MainWindow::EndProgram() {
    ending_ = true;
    if (!inCloseEvent_) close();
}

bool MainWindow::event(QEvent* e) {
    if (e->type() == QEvent::WindowActivate) model_->Activated();
    return QWidget::event(e);
}

void MainWindow::closeEvent(QCloseEvent* e) {
    // The model decides when the window may go: at once, or once the error
    // of a failed save has been dismissed.
    inCloseEvent_ = true;
    model_->CloseRequested();
    inCloseEvent_ = false;
    if (ending_)
        e->accept();
    else
        e->ignore();
}
