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
#include "Constants.h"
#include "SocketLink.h"
#include "Timer.h"
#include "UpdateEngine.h"
#include "WindowPacer.h"

// Background colours of Perc1, as the window toolkit's colour values.
inline constexpr uint32_t clBtnFace = 0xFF00000F;  // system colour of button faces
inline constexpr uint32_t clLime = 0x0000FF00;

// A label that sizes itself to its text, growing away from its aligned edge.
class TLabel : public QLabel {
public:
    TLabel(const QString& text, QWidget* parent, QRect design, bool rightAligned = false, bool bold = false);
    void SetCaption(const QString& text);

private:
    int anchorRight_;
    bool right_;
};

class TForm1 : public QWidget, public loader::UpdateListener {
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

    net::SocketLink UdpSocket1{net::Transport::Udp, protocol::kBootloaderPort};
    net::SocketLink TcpClient{net::Transport::Tcp, protocol::kModbusPort};

    QString ApplicationTitle = QString::fromLatin1(brand::kApplicationName);
    QString AppDir;
    QString ImageFileName;
    static inline const QString OpenDialog1Filter = QStringLiteral("Intel Hex (*.hex)|*.hex");
    static inline const QString OpenDialog2Filter = QStringLiteral("Motorola S-record (*.s19)|*.s19");

    uint32_t Perc1Color() const { return perc1Color_; }
    // The bar's position as the update last gave it, shown or not yet.
    int32_t ProgressPosition() const { return barPending_ ? barPosition_ : ProgressBar1->value(); }
    bool Closing() const { return closing_; }
    TWindowPacer& Pacer() { return *pacer_; }

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

    // What the update shows, as it happens (loader::UpdateListener).
    void RequestStarted() override;
    void RequestEnded() override;
    void ProcedureStarted(const loader::Progress& p) override;
    void ProcedureEnded() override;
    void ActionChanged(std::string_view text) override;
    void IdentityChanged(std::string_view text) override;
    void ProgressChanged(const loader::Progress& p) override;
    void RetriesChanged(int count) override;
    void Notify(loader::Notice n) override;
    void Succeeded() override;

    // A modal message box with an OK button, titled with the application title.
    void ShowMessage(const QString& text);

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void ShowText(TLabel* label, std::string_view latin1);
    void SetPerc1Color(uint32_t color);
    void SetProgressPosition(int64_t v);
    void ResetProgressDisplay();
    void FitVersionLabel();
    void ScheduleDisplay();
    void ApplyDisplay();
    // Runs a handler; an exception that escapes it is shown, and the program goes on.
    template <typename F>
    void Guarded(F&& handler);

    Dialogs& dialogs_;
    uint32_t perc1Color_ = clBtnFace;
    bool closing_ = false;
    std::unique_ptr<TWindowPacer> pacer_;
    // TimerDelay's interval: longer once a meter has accepted a boot-mode request.
    loader::DelayInterval delay_;
    std::unique_ptr<loader::UpdateEngine> engine_;
    bool activated_ = false;

    // What the update code last gave the progress display, not yet shown.
    std::vector<std::pair<TLabel*, QString>> pendingTexts_;
    int32_t barPosition_ = 0;
    bool barPending_ = false;
    bool colorPending_ = false;
    QTimer displayTimer_;
    QElapsedTimer sinceDisplay_;
};
