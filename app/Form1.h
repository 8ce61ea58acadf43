// The tool's one window.
#pragma once

#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "Brand.h"
#include "Dialogs.h"
#include "Sockets.h"
#include "Timer.h"
#include "UpdateForm.h"

namespace loader {
class TUpdater;
}

// A label that sizes itself to its text, growing away from its aligned edge.
class TLabel : public QLabel {
public:
    TLabel(const QString& text, QWidget* parent, QRect design, bool rightAligned = false, bool bold = false);
    void SetCaption(const QString& text);

private:
    int anchorRight_;
    bool right_;
};

class TForm1 : public QWidget, public loader::IUpdateForm {
    Q_OBJECT
public:
    explicit TForm1(Dialogs& dialogs, QWidget* parent = nullptr);
    ~TForm1() override;

    // Controls, by their design names.
    QGroupBox* GroupBox2;
    TLabel* LabelVersion;
    QLineEdit* Edit1;
    QPushButton* ButtonCPU1;
    QCheckBox* CheckBox1;
    QGroupBox* GroupBox3;
    TLabel* Label6;
    QLineEdit* EditIPaddr;
    TLabel* Label7;
    QLineEdit* EditPass;
    QPushButton* Button2;
    QGroupBox* Operation;
    TLabel* Label5;
    TLabel* Label1;
    TLabel* Label2;
    TLabel* Label4;
    TLabel* Label3;
    TLabel* LabelRepeat;
    QPushButton* Button1;
    QCheckBox* CheckBoxGenerate;
    QLineEdit* Edit2;
    QGroupBox* GroupBox1;
    TLabel* BLVmain;
    TLabel* Perc1;
    QProgressBar* ProgressBar1;
    QPlainTextEdit* MemoIni;

    TTimer* TimerIP;
    TTimer* TimerDelay;
    TTimer* TimerRxTimeout;

    TUdpSocket UdpSocket1;
    TTcpClient TcpClient;

    QString ApplicationTitle = QString::fromLatin1(brand::kApplicationName);
    QString AppDir;
    QString ImageFileName;
    static inline const QString OpenDialog1Filter = QStringLiteral("Intel Hex (*.hex)|*.hex");
    static inline const QString OpenDialog2Filter = QStringLiteral("Motorola S-record (*.s19)|*.s19");

    loader::TUpdater& Updater() { return *updater_; }
    uint32_t Perc1Color() const { return perc1Color_; }

    // Window event handlers.
    void FormCreate();
    void LoadSettings();
    void SaveSettings();
    void FormActivate();
    void FormCloseQuery(bool& canClose);
    void FormClose();
    void Button2Click();
    void Button1Click();
    void CheckBoxGenerateClick();
    void CheckBox1Click();
    void ButtonCPU1Click();

    // The application's default error display.
    void ShowException(const std::exception& e);

    // loader::IUpdateForm
    bool TextIsLatin1(loader::Control c) const override;
    void SetEnabled(loader::Control c, bool enabled) override;
    bool Checked(loader::Control c) const override;
    void SetPerc1Color(uint32_t color) override;
    void SetProgressMin(int32_t v) override;
    void SetProgressMax(int32_t v) override;
    void SetProgressPosition(int64_t v) override;
    int32_t ProgressMin() const override;
    int32_t ProgressMax() const override;
    int32_t ProgressPosition() const override;
    void ShowMessage(std::string_view text) override;
    void SetTimerEnabled(loader::WaitTimer t, bool enabled) override;
    void SetTimerInterval(loader::WaitTimer t, uint32_t ms) override;
    bool TimerEnabled(loader::WaitTimer t) const override;
    void ProcessMessages() override;
    std::string ChosenFileText() const override { return Edit1->text().toStdString(); }
    bool Closing() const override { return closing_; }

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    std::string GetText(loader::Control c) const override;
    QString CurrentText(loader::Control c) const;  // a label's text not yet shown counts
    void PutText(loader::Control c, std::string_view text) override;

    QWidget* Widget(loader::Control c) const;
    void FitVersionLabel();
    void ScheduleDisplay();
    void ApplyDisplay();
    TTimer* Timer(loader::WaitTimer t) const { return t == loader::WaitTimer::TimerIP ? TimerIP : TimerDelay; }
    // Runs a handler; an exception that escapes it is shown, and the program goes on.
    template <typename F>
    void Guarded(F&& handler);

    Dialogs& dialogs_;
    std::unique_ptr<loader::TUpdater> updater_;
    uint32_t perc1Color_ = loader::clBtnFace;
    bool closing_ = false;
    bool activated_ = false;

    // What the update code last gave the progress display, not yet shown.
    std::vector<std::pair<TLabel*, QString>> pendingTexts_;
    int32_t barPosition_ = 0;
    bool barPending_ = false;
    bool colorPending_ = false;
    QTimer displayTimer_;
    QElapsedTimer sinceDisplay_;
};
