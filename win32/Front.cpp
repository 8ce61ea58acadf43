#include "win32/Front.h"

namespace win32 {

namespace {

COLORREF ToColorRef(window::Rgb c) { return RGB(c.red, c.green, c.blue); }

ControlId ControlOf(window::Control c) {
    switch (c) {
        case window::Control::UpdateButton: return ControlId::UpdateButton;
        case window::Control::ExportCheck: return ControlId::ExportCheck;
        case window::Control::MainMcuCheck: return ControlId::MainMcuCheck;
        case window::Control::ExportPath: return ControlId::ExportPathField;
        case window::Control::AddressField: return ControlId::AddressField;
        case window::Control::PasswordField: return ControlId::PasswordField;
        case window::Control::RepeatCount: return ControlId::RepeatLabel;
        case window::Control::ChooseFileButton: break;
    }
    return ControlId::ChooseFileButton;
}

}  // namespace

Front::Front(HINSTANCE instance, window::Options options, window::EnginePorts ports)
    // The model exists once the window does; nothing the operator does can
    // reach it before, as the window is not shown yet.
    : window_(instance, MainWindow::Events{
                            [this](ControlId id) { Clicked(id); },
                            [this](ControlId id) { Edited(id); },
                            [this] {
                                if (model_) model_->Activated();
                            },
                            [this] {
                                if (model_) model_->CloseRequested();
                            },
                        }) {
    window_.SetTextColour(ControlId::VersionLabel, ToColorRef(window::kVersionColour));
    window_.SetBackground(ControlId::ExportPathField, ToColorRef(window::kExportPathColour));
    model_ = std::make_unique<window::WindowModel>(*this, std::move(options), std::move(ports));
    model_->Start();
}

Front::~Front() = default;

int Front::Run(int showCommand) {
    window_.Show(showCommand);
    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // Tab moves between the controls, as in a dialog.
        if (window_.Handle() != nullptr && IsDialogMessageW(window_.Handle(), &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void Front::Clicked(ControlId id) {
    if (!model_) return;
    switch (id) {
        case ControlId::UpdateButton: model_->UpdateClicked(); break;
        case ControlId::ExportCheck: model_->ExportToggled(window_.Checked(id)); break;
        case ControlId::MainMcuCheck: model_->MainMcuToggled(window_.Checked(id)); break;
        case ControlId::ChooseFileButton: model_->ChooseFileClicked(); break;
        default: break;
    }
}

void Front::Edited(ControlId id) {
    if (!model_) return;
    if (id == ControlId::AddressField) model_->AddressEdited(Narrow(window_.Text(id)));
    if (id == ControlId::PasswordField) model_->PasswordEdited(Narrow(window_.Text(id)));
}

void Front::Post(std::function<void()> call) { window_.Post(std::move(call)); }

void Front::PostAfter(int ms, std::function<void()> call) { window_.PostAfter(ms, std::move(call)); }

void Front::ShowText(window::Text place, const std::string& utf8) {
    const std::wstring text = Widen(utf8);
    switch (place) {
        case window::Text::Caption: window_.SetCaption(text); return;
        case window::Text::Version: window_.SetText(ControlId::VersionLabel, text); return;
        case window::Text::Address: window_.SetText(ControlId::AddressField, text); return;
        case window::Text::Action: window_.SetText(ControlId::ActionLabel, text); return;
        case window::Text::Identity: window_.SetText(ControlId::IdentityLabel, text); return;
        case window::Text::Verdict: window_.SetText(ControlId::VerdictLabel, text); return;
        case window::Text::UpdateButton: window_.SetText(ControlId::UpdateButton, text); return;
        case window::Text::ExportPath: window_.SetText(ControlId::ExportPathField, text); return;
        case window::Text::Repeat: window_.SetText(ControlId::RepeatLabel, text); return;
    }
}

void Front::ShowBar(const window::Bar& bar) { window_.SetBar(bar.minimum, bar.maximum, bar.position); }

void Front::ShowVerdictBackground(std::optional<window::Rgb> colour) {
    window_.SetBackground(ControlId::VerdictLabel,
                          colour ? std::optional<COLORREF>(ToColorRef(*colour)) : std::optional<COLORREF>());
}

void Front::SetEnabled(window::Control control, bool enabled) { window_.SetEnabled(ControlOf(control), enabled); }

void Front::SetVisible(window::Control control, bool visible) {
    window_.SetVisible(ControlOf(control), visible);
    if (control == window::Control::RepeatCount) window_.SetVisible(ControlId::RepeatCaption, visible);
}

void Front::SetReadOnly(window::Control control, bool readOnly) { window_.SetReadOnly(ControlOf(control), readOnly); }

void Front::SetChecked(window::Control control, bool checked) { window_.SetChecked(ControlOf(control), checked); }

void Front::Focus(window::Control control) { window_.Focus(ControlOf(control)); }

void Front::ShowBox(const window::Box& box) {
    // The box runs its own message loop; it opens from the window's queue,
    // not inside the model's call.
    window_.Post([this, box] {
        if (box.buttons == window::BoxButtons::YesNo) {
            model_->BoxClosed(box.id, window_.Ask(Widen(box.title), Widen(box.text)));
            return;
        }
        window_.Message(Widen(box.title), Widen(box.text), box.icon == window::BoxIcon::Error);
        model_->BoxClosed(box.id);
    });
}

void Front::ChooseFile(const std::vector<window::FileFilter>& filters) {
    // The system's syntax: "Intel Hex (*.hex)\0*.hex\0", patterns apart by ";",
    // the list ended by one more "\0".
    std::wstring list;
    for (const window::FileFilter& f : filters) {
        std::wstring patterns;
        for (const std::string& p : f.patterns) patterns += (patterns.empty() ? L"" : L";") + Widen(p);
        list += Widen(f.name) + L" (" + patterns + L")" + L'\0' + patterns + L'\0';
    }
    list += L'\0';
    window_.Post([this, list] { model_->FileChosen(Narrow(window_.OpenFile(list))); });
}

void Front::EndProgram() { window_.Destroy(); }

}  // namespace win32
