// The tool's one window, drawn with Qt: it places the controls, draws what
// the window model decides and forwards what the technician does.
#pragma once

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <optional>

#include "net/MeterConnections.h"
#include "qt/Dialogs.h"
#include "window/Layout.h"
#include "window/WindowModel.h"

// A label that grows with its text, away from its aligned edge.
class GrowingLabel : public QLabel {
public:
    GrowingLabel(const QString& text, QWidget* parent, window::layout::Rect design, bool rightAligned = false,
                 bool bold = false);
    void SetCaption(const QString& text);

private:
    int anchorRight_;
    bool right_;
};

// The engine's ports over the network, as the program and the tests that
// point them at a simulated meter give them to the window.
window::EnginePorts PortsOver(net::MeterConnections& network);

class MainWindow : public QWidget, public window::View {
    Q_OBJECT
public:
    MainWindow(Dialogs& dialogs, window::EnginePorts ports, QWidget* parent = nullptr);
    ~MainWindow() override;

    window::WindowModel& Model() { return *model_; }
    bool Closing() const { return model_->Closing(); }
    QString Title() const { return windowTitle(); }
    // The verdict's background as shown.
    QColor VerdictBackground() const { return verdictLabel_->palette().color(QPalette::Window); }

    // The controls by their role in the model, for tests and benches that
    // drive the window as a technician would; nothing else reaches them.
    QLineEdit* Field(window::Control control) const;         // address, password, export path
    QAbstractButton* Button(window::Control control) const;  // the two buttons and the two check boxes
    QLabel* Label(window::Text place) const;                 // every label whose text the model sets
    QProgressBar* Bar() const { return progress_; }

    // window::View
    void Post(std::function<void()> call) override;
    void PostAfter(int ms, std::function<void()> call) override;
    void ShowText(window::Text place, const std::string& utf8) override;
    void ShowBar(const window::Bar& bar) override;
    void ShowVerdictBackground(std::optional<window::Rgb> colour) override;
    void SetEnabled(window::Control control, bool enabled) override;
    void SetVisible(window::Control control, bool visible) override;
    void SetReadOnly(window::Control control, bool readOnly) override;
    void SetChecked(window::Control control, bool checked) override;
    void Focus(window::Control control) override;
    void ShowBox(const window::Box& box) override;
    void ChooseFile(const std::vector<window::FileFilter>& filters) override;
    void EndProgram() override;

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    static window::Options StartOptions();
    void MakeFirmwareGroup();
    void MakeMeterGroup();
    void MakeRunControls();
    void ForwardToModel();
    QWidget* ControlWidget(window::Control control) const;
    void FitVersionLabel();

    GrowingLabel* versionLabel_;
    QLineEdit* exportPathEdit_;
    QPushButton* chooseFileButton_;
    QCheckBox* mainMcuCheck_;
    QLineEdit* addressEdit_;
    QLineEdit* passwordEdit_;
    QPushButton* updateButton_;
    GrowingLabel* actionLabel_;
    GrowingLabel* identityLabel_;
    GrowingLabel* repeatCaption_;
    GrowingLabel* repeatLabel_;
    QCheckBox* exportCheck_;
    GrowingLabel* verdictLabel_;
    QProgressBar* progress_;

    Dialogs& dialogs_;
    std::optional<window::WindowModel> model_;
    bool ending_ = false;  // the model has let the program end
    bool inCloseEvent_ = false;
};
