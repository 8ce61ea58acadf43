// The tool's window without a toolkit: everything the window shows and
// decides, for any front end that only draws and forwards.
//
// Threads. Every member function is called on the front end's GUI thread,
// and every View call but Post comes on it. During a run the update engine
// works on a thread of its own; what it reports reaches the model as calls
// the engine thread hands to View::Post, so the model's state is only ever
// touched on the GUI thread.
//
// Texts handed to the view are UTF-8. Texts that come from the meter are
// Latin-1 bytes; the model converts them and ends them at their first zero
// byte, as a label would.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "brand/Brand.h"
#include "core/MeterRun.h"
#include "history/Record.h"
#include "image/FlashImage.h"
#include "net/MeterConnections.h"
#include "update/Pacer.h"
#include "update/PlainPacer.h"
#include "update/UpdateEngine.h"
#include "update/UpdateEvents.h"

namespace window {

// A colour as red, green and blue.
struct Rgb {
    uint8_t red = 0, green = 0, blue = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The design's colours. The verdict's background is otherwise the system's
// colour of button faces, which only the front end knows.
inline constexpr Rgb kVersionColour{0, 128, 0};       // the version text
inline constexpr Rgb kExportPathColour{255, 255, 0};  // background of the export's file field
inline constexpr Rgb kSuccessColour{0, 255, 0};       // background of "Successfully updated."
inline constexpr Rgb kFailureColour{255, 0, 0};       // background of "Not updated." and the meter's state

// The places whose text the model sets.
enum class Text {
    Caption,       // the window's title; also the title of every box
    Version,       // the firmware's version
    Address,       // the meter's address field (set once, at start-up)
    Action,        // the action line
    Identity,      // the bootloader's identity
    Verdict,       // the percentage, then the verdict; right-aligned
    UpdateButton,  // "FIRMWARE UPDATE" or, set for the export, "Generate Image File"
    ExportPath,    // the file named in the export's header
    Repeat,        // the run's failed write attempts so far
};

// The controls whose state the model decides.
enum class Control {
    UpdateButton,      // disabled while a run lasts
    ExportCheck,       // "Generate image file" (developer build only)
    MainMcuCheck,      // "Main MCU:" (developer build only)
    ExportPath,        // the export's file field
    ChooseFileButton,  // "select file"
    AddressField,      // read-only while a run lasts
    PasswordField,     // read-only while a run lasts
    RepeatCount,       // "Repeat: " and the count; shown once a run programs
};

// The progress bar: a position held within its range.
struct Bar {
    int32_t minimum = 14;
    int32_t maximum = 65000;
    int32_t position = 14;
    friend bool operator==(const Bar&, const Bar&) = default;
};

enum class BoxIcon { None, Error };

// Ok: one OK button. YesNo: a question; Yes is the default button (Enter),
// No answers Esc and the box's own close.
enum class BoxButtons { Ok, YesNo };

// A modal box, titled with the caption. The view shows it and calls
// WindowModel::BoxClosed(id, yes) once the technician has answered it.
struct Box {
    int id = 0;
    BoxIcon icon = BoxIcon::None;
    std::string title;
    std::string text;
    BoxButtons buttons = BoxButtons::Ok;
};

// One entry of a file dialog's filter list: its name and the patterns of the
// files it shows. Each front end writes the list in its own syntax.
struct FileFilter {
    std::string name;                   // "Intel Hex"
    std::vector<std::string> patterns;  // "*.hex"
    friend bool operator==(const FileFilter&, const FileFilter&) = default;
};

// What a front end implements.
class View {
public:
    virtual ~View() = default;
    // Any thread: runs `call` on the GUI thread soon, calls in the order posted
    // (Qt: a queued invocation; Win32: PostMessage to the window).
    virtual void Post(std::function<void()> call) = 0;
    // GUI thread: runs `call` on the GUI thread after `ms` milliseconds.
    virtual void PostAfter(int ms, std::function<void()> call) = 0;

    virtual void ShowText(Text place, const std::string& utf8) = 0;
    virtual void ShowBar(const Bar& bar) = 0;
    // Empty: the system's colour of button faces.
    virtual void ShowVerdictBackground(std::optional<Rgb> colour) = 0;
    virtual void SetEnabled(Control control, bool enabled) = 0;
    virtual void SetVisible(Control control, bool visible) = 0;
    // The two check boxes only.
    virtual void SetChecked(Control control, bool checked) = 0;
    // The address and password fields only.
    virtual void SetReadOnly(Control control, bool readOnly) = 0;
    // The keyboard focus to the address field, the password field or the update button.
    virtual void Focus(Control control) = 0;
    virtual void ShowBox(const Box& box) = 0;
    // A file-open dialog showing the files `filters` name, starting in the
    // working directory; answered by WindowModel::FileChosen.
    virtual void ChooseFile(const std::vector<FileFilter>& filters) = 0;
    // The program may end now: the settings are saved (or their error was
    // shown and dismissed). The front end closes the window and leaves its
    // event loop; a run still going ends when the model is destroyed.
    virtual void EndProgram() = 0;
};

// What the engine is given for a run, made by the front end's entry (over the
// network: net::MeterConnections). The model calls `cancel` once, on the
// GUI thread, when the window is closed; it must wake the pacer's
// cancellable waits (PlainPacer: CancelToken::Cancel).
struct EnginePorts {
    update::Pacer& pacer;
    update::Link& modbus;
    update::Link& boot;
    std::function<void()> cancel;
    // The watch after a run's "RESET" (core::WatchReturnOnOwnLinks): on links
    // and a pacer of its own, so that a new run need not wait for it, and
    // stopped by `stop`. Empty: the meter's return is not watched.
    std::function<update::ReturnFacts(const std::string& address, const update::UpdateResult& run,
                                      std::chrono::seconds limit, update::UpdateListener& listener,
                                      const update::CancelToken& stop, const std::string& traceFile)>
        watch{};
    // Puts a support trace's tap on the links modbus and boot are (or takes
    // it off); empty: the window writes no traces.
    core::TapLinks tap{};
};

// The ports over the network, the watch included.
EnginePorts PortsOver(net::MeterConnections& network);

// What is fixed when the program starts.
struct Options {
    int brandVariant = 0;            // brand/Brand.h
    bool developerControls = false;  // the image export's controls stay visible
    // The working directory at start-up, as the system's narrow file name;
    // the settings file lives there.
    std::string appDir;
    image::ImageView firmware = image::EmbeddedImage();
    // The update history, where every run leaves its record; empty: none.
    std::filesystem::path historyLog;
    // The scope a run locks its meter in against other runs on this computer
    // (platform::MeterLock); empty: not locked.
    std::string meterLocks;
};

// All the window shows, as last drawn.
struct WindowState {
    std::string caption, version, address, action, identity, verdict, updateButton, exportPath, repeat;
    std::optional<Rgb> verdictBackground;
    Bar bar;
    bool updateEnabled = true;
    bool fieldsReadOnly = false;  // address and password, while a run lasts
    bool repeatVisible = false;
    bool procedureControlsEnabled = true;  // export path, file button, "Main MCU:"
    bool exportChecked = false;
    bool mainMcuChecked = true;
    bool exportVisible = false;      // "Generate image file" and "Main MCU:"
    bool exportPathVisible = false;  // export path and file button
};

class WindowModel {
public:
    WindowModel(View& view, Options options, EnginePorts ports);
    // Cancels a run still going and waits for its end.
    ~WindowModel();
    WindowModel(const WindowModel&) = delete;
    WindowModel& operator=(const WindowModel&) = delete;

    // Start-up: loads the settings and draws the whole window once.
    void Start();

    // The view's actions.
    void Activated();  // the window became active; only the first time counts
    void AddressEdited(std::string utf8);
    void PasswordEdited(std::string utf8);
    void UpdateClicked();  // also Enter in either field: the update button is the default one
    void ExportToggled(bool checked);
    void MainMcuToggled(bool checked);
    void ChooseFileClicked();
    void FileChosen(std::string utf8Path);  // empty: the dialog was cancelled
    // `yes`: the default button (Enter); false: the other one, Esc or the box's close.
    void BoxClosed(int id, bool yes = true);
    // While a run lasts, first asks whether to stop it; the run goes on
    // meanwhile. Otherwise, and once the technician says yes: cancels a run
    // (its close rules apply), saves the settings, and ends the program
    // through View::EndProgram.
    void CloseRequested();

    const std::string& Title() const { return state_.caption; }
    bool Closing() const { return closing_; }
    bool Running() const { return running_; }
    // The last run's meter is being watched for its return after "RESET".
    bool Watching() const { return watching_; }
    // The last run's result, once its end has reached the GUI thread; once
    // more when the watch of the meter's return has ended.
    const std::optional<update::UpdateResult>& LastResult() const { return lastResult_; }

    // The engine's inputs, made from the fields as they are now.
    update::UpdateRequest BuildRequest() const;

private:
    class Relay;
    struct Shared;

    template <typename F>
    void Change(F&& f);  // GUI thread: changes the state and draws it at once
    void DrawBlocksWhileRunning();
    void DrawNow();
    void Draw(const WindowState& next);
    void ResetProgressDisplay();
    void StartRun(const update::UpdateRequest& request);
    // Where every run ends, as the core recorded it: not contacted when
    // another run held the meter, broken off when its fault is set.
    // `historyProblem` says why the run's record was not written.
    void RunFinished(const history::MeterRun& run, const std::string& historyProblem, bool watchFollows);
    // The engine's thread, after a run that reset the meter: whether its
    // return is watched, and the watch.
    bool WatchFollows(const history::MeterRun& run) const;
    void WatchReturn(history::MeterRun& run, const update::CancelToken& stop);
    // Where a watched run ends, once its record is written.
    void WatchEnded(const history::MeterRun& run, const std::string& historyProblem);
    // Stops the watch of the last run, if one lasts, and waits for its record.
    void StopWatch();
    // The engine's thread, after a run: appends its record to the update
    // history; returns why not, or an empty text.
    std::string Record(const history::MeterRun& run);
    // Appends the line made with this window's origin; returns why not.
    std::string Record(const std::function<std::string(const history::Origin&)>& line) const;
    // The line for an update of `address` that the history shows begun and
    // never ended, its process gone; empty when there is none.
    std::string InterruptedLine(const std::string& address) const;
    void ShowBox(BoxIcon icon, std::string text, std::function<void()> closed = {});
    void Ask(std::string text, std::function<void(bool yes)> answered);
    // Where the keyboard goes once every open box is closed.
    void FocusAfterBoxes(Control control);
    void Close();
    // Under a failure box's first line: what happened and the meter's state
    // (as the update history words it), what to do next, and where the record is.
    std::string Explained(const std::string& firstLine, const std::string& sentence, const std::string& next) const;
    void ShowError(const std::exception& e, std::function<void()> closed = {});
    void EndProgram();
    void Export();
    std::string SettingsFileName() const;
    // The brand of the title and the texts, and of the update history's records.
    const brand::Brand& ShownBrand() const;

    View& view_;
    Options options_;
    EnginePorts ports_;
    // The delay between failed writes: longer once a meter has accepted a
    // boot-mode request, for the program's life.
    update::DelayInterval delay_;

    WindowState state_;  // as drawn
    bool drawnOnce_ = false;
    std::string password_;
    bool activated_ = false;
    bool closing_ = false;
    bool running_ = false;
    bool watching_ = false;  // the last run's meter is watched for its return
    int nextBox_ = 1;
    std::vector<std::pair<int, std::function<void(bool)>>> openBoxes_;  // id, what follows its answer
    std::optional<Control> focusAfterBoxes_;
    bool asking_ = false;      // the close question is open
    std::string lastAddress_;  // loaded, or the last one a run used; what a close saves
    std::string interrupted_;  // at start-up: the line for an update of its address that died
    std::string traceFolder_;  // from the settings file; empty: no support traces
    std::string traceFile_;    // the last run's support trace, named in its boxes
    std::optional<update::UpdateResult> lastResult_;

    std::shared_ptr<Shared> shared_;  // with the engine's thread
    std::unique_ptr<Relay> relay_;
    std::unique_ptr<update::UpdateEngine> engine_;
    // The last run's thread: its engine run, then the watch of its meter's
    // return, which `watchStop_` ends.
    std::thread thread_;
    std::shared_ptr<update::CancelToken> watchStop_;
};

}  // namespace window
