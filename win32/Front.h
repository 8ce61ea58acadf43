// The window model's view on Windows: draws what the model decides into the
// native window and forwards the operator's actions to the model.
#pragma once

#include <memory>

#include "win32/MainWindow.h"
#include "window/WindowModel.h"

namespace win32 {

class Front final : public window::View {
public:
    Front(HINSTANCE instance, window::Options options, window::EnginePorts ports);
    ~Front() override;

    // Shows the window and runs its messages until the program ends.
    int Run(int showCommand);

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

private:
    void Clicked(ControlId id);
    void Edited(ControlId id);

    MainWindow window_;
    // Last: destroyed first, so a run still going ends while the window
    // it reports to still exists.
    std::unique_ptr<window::WindowModel> model_;
};

}  // namespace win32
