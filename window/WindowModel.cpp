#include "window/WindowModel.h"

#include "window/Address.h"
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <exception>
#include <utility>

#include "brand/Brand.h"
#include "protocol/Constants.h"
#include "protocol/Frames.h"
#include "image/ImageExport.h"
#include "brand/LoaderVersion.h"
#include "history/Log.h"
#include "platform/Process.h"
#include "core/MeterRun.h"
#include "protocol/PasswordText.h"
#include "history/Record.h"
#include "settings/Settings.h"
#include "net/SocketAddress.h"
#include "window/Texts.h"

namespace window {
namespace {

// An update rewrites the action line and the bar for every block, 480 steps
// in half a minute, faster than anyone can read. While a run lasts the window
// shows the newest block this often; every other change (a stage, the
// identity, a failed attempt, the end) shows at once.
constexpr int kBlockDrawPeriodMs = 250;

// The position within the bar's range nearest to `v`.
int32_t ClampedToBar(int64_t v, int32_t lo, int32_t hi) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, lo, std::max(lo, hi)));
}

}  // namespace

// What the GUI thread and the engine's thread share.
struct WindowModel::Shared {
    std::mutex mutex;
    std::condition_variable boxAnswered;
    WindowState next;         // the newest state, drawn or not
    bool drawQueued = false;  // a draw is posted
    bool changed = false;     // something is not drawn yet
    // The newest block attempt and step, worded only when drawn (or when
    // another change follows), so that the engine's thread does little per block.
    std::optional<uint32_t> block;
    std::optional<update::Progress> step;
    // On a long update, the time left follows the percentage.
    std::optional<std::chrono::seconds> timeLeft;
    bool timeLeftChanged = false;
    std::string percent;

    // Words the pending block and step into `next`.
    void ApplyPendingProgress() {
        if (block) next.action = WritingSectorText(*std::exchange(block, std::nullopt));
        if (!step && !std::exchange(timeLeftChanged, false)) return;
        if (step) {
            const update::Progress p = *std::exchange(step, std::nullopt);
            next.bar.position = ClampedToBar(p.position, next.bar.minimum, next.bar.maximum);
            percent = PercentText(p);
        }
        next.verdict = percent;
        if (timeLeft) next.verdict += "  " + update::TimeLeftText(*timeLeft);
    }
    int boxesAsked = 0;      // boxes the engine asked for ...
    int boxesAnswered = 0;   // ... and those dismissed
    bool closing = false;    // no box is waited for any more
    bool resetSent = false;  // this run has sent "RESET": nothing is left to protect
    bool alive = true;       // GUI thread only: calls posted after the model's end do nothing
};

// The engine's listener: runs on the engine's thread and hands everything
// to the GUI thread.
class WindowModel::Relay final : public update::UpdateListener {
public:
    Relay(WindowModel& model, std::shared_ptr<Shared> shared) : model_(model), shared_(std::move(shared)) {}

    void ProcedureStarted(const update::Progress& p) override {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->timeLeft.reset();
        }
        Change([&p](WindowState& s) {
            s.procedureControlsEnabled = false;
            s.bar = {p.minimum, p.maximum, ClampedToBar(p.position, p.minimum, p.maximum)};
            s.verdict = PercentText(p);
            s.verdictBackground.reset();
            s.identity = kAsking;
        });
    }
    void ProcedureEnded() override {
        Change([](WindowState& s) { s.procedureControlsEnabled = true; });
    }
    void StageChanged(update::Stage stage) override {
        if (stage == update::Stage::StartingBootloader) Change([](WindowState& s) { s.action = kBootloaderStarting; });
        if (stage == update::Stage::Resetting) {
            std::lock_guard lock(shared_->mutex);
            shared_->resetSent = true;
        }
    }
    void Awaiting(std::chrono::seconds sinceReset) override {
        Change([sinceReset](WindowState& s) { s.verdict = AwaitingReturnText(sinceReset); });
    }
    void Identified(std::string_view identity) override {
        Change([identity](WindowState& s) {
            if (identity.empty()) {
                s.identity = kNotFound;
                s.action.clear();
            } else {
                s.identity = FromLatin1(identity);
            }
        });
    }
    void EraseSent() override {
        Change([](WindowState& s) { s.action = EraseSentText(); });
    }
    void EraseAnswered(const update::AnswerBytes& a) override {
        Change([&a](WindowState& s) { s.action = EraseAnsweredText(a); });
    }
    void BlockStarted(uint32_t address) override {
        std::lock_guard lock(shared_->mutex);
        shared_->block = address;
        shared_->changed = true;
    }
    void BlockFailed(uint32_t address, const update::AnswerBytes& a) override {
        Change([&](WindowState& s) { s.action = BlockFailedText(address, a); });
    }
    void ProgressChanged(const update::Progress& p) override {
        std::lock_guard lock(shared_->mutex);
        shared_->step = p;
        shared_->changed = true;
    }
    void RetriesChanged(int repeat) override {
        Change([repeat](WindowState& s) {
            s.repeat = std::to_string(repeat);
            s.repeatVisible = true;
        });
    }
    void TimeLeft(std::chrono::seconds left) override {
        std::lock_guard lock(shared_->mutex);
        shared_->timeLeft = left;
        shared_->timeLeftChanged = true;
        shared_->changed = true;
    }
    void LeftInBootloader() override {
        Change([](WindowState& s) { s.action = kLeftInBootloader; });
    }
    void ProgrammingEnded(update::ProgrammingEnd end) override {
        Change([end](WindowState& s) {
            s.action = ProgrammingEndText(end);
            if (end == update::ProgrammingEnd::Complete) {
                s.verdict = kSucceeded;
                s.verdictBackground = kSuccessColour;
            } else if (end == update::ProgrammingEnd::EraseUnconfirmed) {
                // The bar is full, but nothing may read like success.
                s.verdict = kNotUpdated;
            }
        });
    }
    // The engine waits until the technician has dismissed the box; the
    // window stays live meanwhile. A close releases it.
    void Notify(update::Notice n, const update::UpdateResult& soFar) override {
        std::unique_lock lock(shared_->mutex);
        if (shared_->closing) return;
        const int ticket = ++shared_->boxesAsked;
        model_.view_.Post([model = &model_, shared = shared_, text = NoticeBoxText(n, soFar)] {
            if (!shared->alive) return;
            model->DrawNow();  // the box shows in front of what led to it
            model->ShowBox(BoxIcon::None, text, [shared] {
                std::lock_guard l(shared->mutex);
                ++shared->boxesAnswered;
                shared->boxAnswered.notify_all();
            });
        });
        shared_->boxAnswered.wait(lock, [&] { return shared_->boxesAnswered >= ticket || shared_->closing; });
    }

private:
    // The designed line, then what the update history will say of this run
    // if it ends here, as the engine decides it so far.
    std::string NoticeBoxText(update::Notice n, const update::UpdateResult& soFar) const {
        history::MeterRun run;
        run.contacted = true;
        // Its outcome and failed block; why the link failed is told with the
        // verdict, once the run has ended.
        run.result.outcome = soFar.outcome;
        run.result.failedBlock = soFar.failedBlock;
        switch (n) {
            case update::Notice::IncorrectPassword:
                return model_.Explained(NoticeText(n), PasswordRuleText({}, true), TypeAgainAdvice("admin password"));
            case update::Notice::EraseError:
                return model_.Explained(NoticeText(n), history::ResultMessage(run, model_.ShownBrand()), EraseAdvice());
            case update::Notice::CommunicationError:
                return model_.Explained(NoticeText(n), history::ResultMessage(run, model_.ShownBrand()),
                                        RepeatAdvice());
        }
        return NoticeText(n);
    }

    // Drawn at once; a block's changes wait for the next periodic draw.
    template <typename F>
    void Change(F&& f) {
        std::lock_guard lock(shared_->mutex);
        shared_->ApplyPendingProgress();
        f(shared_->next);
        shared_->changed = true;
        if (shared_->drawQueued) return;
        shared_->drawQueued = true;
        model_.view_.Post([model = &model_, shared = shared_] {
            if (shared->alive) model->DrawNow();
        });
    }

    WindowModel& model_;
    std::shared_ptr<Shared> shared_;
};

WindowModel::WindowModel(View& view, Options options, EnginePorts ports)
    : view_(view),
      options_(std::move(options)),
      ports_(std::move(ports)),
      shared_(std::make_shared<Shared>()),
      relay_(std::make_unique<Relay>(*this, shared_)),
      engine_(std::make_unique<update::UpdateEngine>(ports_.pacer, ports_.modbus, ports_.boot, options_.firmware,
                                                     delay_, *relay_)) {}

EnginePorts PortsOver(net::MeterConnections& network) {
    return {
        network.pacer,
        network.modbus,
        network.boot,
        [&network] { network.cancel.Cancel(); },
        [&network](const std::string& address, const update::UpdateResult& run, std::chrono::seconds limit,
                   update::UpdateListener& listener, const update::CancelToken& stop, const std::string& traceFile) {
            // The meter's own ports, which a rehearsal may have moved.
            const core::MeterPorts ports{network.modbus.RemotePort(), network.boot.RemotePort()};
            return core::WatchReturnOnOwnLinks(address, run, limit, ports, listener, stop, traceFile);
        },
        [&network](net::LinkTap* tap) {
            network.modbus.SetTap(tap);
            network.boot.SetTap(tap);
        }};
}

WindowModel::~WindowModel() {
    shared_->alive = false;
    if (watchStop_) watchStop_->Cancel();
    if (thread_.joinable()) ports_.cancel();  // before a box's waiter is released
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closing = true;
    }
    shared_->boxAnswered.notify_all();
    if (thread_.joinable()) thread_.join();
}

const brand::Brand& WindowModel::ShownBrand() const { return brand::ForStartUp(options_.brandVariant); }

std::string WindowModel::SettingsFileName() const {
    // Built from the start directory on each use, so a later change of the
    // working directory does not move the file.
    return settings::SettingsFileName(options_.appDir, options_.brandVariant);
}

void WindowModel::Start() {
    const brand::Brand& b = ShownBrand();
    const settings::LoadedSettings loaded = settings::LoadSettings(SettingsFileName());
    const std::string address = loaded.address;
    traceFolder_ = ports_.tap ? loaded.traceFolder : std::string();
    lastAddress_ = address;
    interrupted_ = InterruptedLine(address);
    Change([&](WindowState& s) {
        s.address = address;
        s.repeat = "0";
        s.version = FromLatin1(b.versionText);
        s.caption = FromLatin1(b.titlePrefix) + s.version;
        s.action = kAsking;
        s.identity = kAsking;
        s.verdict = "0%";
        // An update of this meter that died with its window is told in the
        // verdict's place until the next run begins.
        if (!interrupted_.empty()) {
            s.verdict = interrupted_;
            s.verdictBackground = kFailureColour;
        }
        s.updateButton = kFirmwareUpdate;
        // A developer build keeps the image export's controls.
        s.exportVisible = options_.developerControls;
        s.exportPathVisible = options_.developerControls && s.mainMcuChecked;
    });
}

void WindowModel::Activated() {
    // Only the first activation counts: a box closing gives the focus back
    // without clearing the lines.
    if (std::exchange(activated_, true)) return;
    Change([this](WindowState& s) {
        s.action = interrupted_.empty() ? "" : kFinishInterrupted;
        s.identity.clear();
    });
    view_.Focus(Control::PasswordField);
}

void WindowModel::AddressEdited(std::string utf8) {
    // The fields are read-only while a run lasts.
    if (running_) return;
    // The field shows it already.
    std::lock_guard lock(shared_->mutex);
    shared_->next.address = utf8;
    state_.address = std::move(utf8);
}

void WindowModel::PasswordEdited(std::string utf8) {
    if (!running_) password_ = std::move(utf8);
}

update::UpdateRequest WindowModel::BuildRequest() const {
    update::UpdateRequest r;
    r.address = state_.address;
    r.password = protocol::PasswordBytes(password_);
    r.program = state_.mainMcuChecked;
    return r;
}

void WindowModel::ResetProgressDisplay() {
    Change([](WindowState& s) {
        // The bar keeps its range (the last run's, or its design before any): either way it is empty.
        s.bar.position = s.bar.minimum;
        s.verdict = "0%";
        s.verdictBackground.reset();
        s.action.clear();
        s.identity.clear();
        s.repeat = "0";
        s.repeatVisible = false;
    });
}

void WindowModel::UpdateClicked() {
    if (running_ || closing_) return;
    // Waiting for the last meter's return holds up nothing the technician does next.
    StopWatch();
    ResetProgressDisplay();
    if (state_.exportChecked) {
        if (state_.mainMcuChecked) Export();
        return;
    }
    update::UpdateRequest request = BuildRequest();
    // Refused before anything is sent; the button stays enabled.
    if (!request.password || !protocol::PasswordLengthOk(*request.password)) {
        ShowBox(BoxIcon::None, std::string(NoticeText(update::Notice::IncorrectPassword)) + "\n\n" +
                                   PasswordRuleText(password_, false));
        FocusAfterBoxes(Control::PasswordField);
        return;
    }
    const CheckedAddress address = CheckAddress(state_.address);
    if (!address.problem.empty()) {
        ShowBox(BoxIcon::None, address.problem);
        FocusAfterBoxes(Control::AddressField);
        return;
    }
    request.address = address.address;
    StartRun(request);
}

void WindowModel::StartRun(const update::UpdateRequest& request) {
    // The field shows the address as the run uses it.
    Change([&request](WindowState& s) {
        s.address = request.address;
        s.updateEnabled = false;
        s.fieldsReadOnly = true;
    });
    lastAddress_ = request.address;
    traceFile_.clear();
    running_ = true;
    lastResult_.reset();
    {
        std::lock_guard lock(shared_->mutex);
        shared_->resetSent = false;
    }
    DrawBlocksWhileRunning();
    try {
        watchStop_ = std::make_shared<update::CancelToken>();
        thread_ = std::thread([this, request, shared = shared_, stop = watchStop_] {
            // The start's record is written before anything is sent: a window
            // that dies leaves its trace. Its failure shows with the end's.
            const core::TraceSetup trace{
                traceFolder_, "ethernet-loader",
                traceFolder_.empty() ? std::string() : image::ImageSha256Hex(options_.firmware)};
            history::MeterRun run = core::RunMeter(
                *engine_, request, options_.meterLocks,
                [this](const auto& begun) {
                    Record([&begun](const history::Origin& o) { return history::StartLine(o, begun); });
                },
                trace, ports_.tap);
            run.fault = LocalToUtf8(run.fault);
            // Here rather than on the GUI thread: a run that a close ends is
            // recorded too, before the program waits for this thread and ends.
            // A meter another run holds heard nothing: nothing to record. A
            // watched run is recorded once its meter's return is known.
            const bool watch = WatchFollows(run);
            const std::string historyProblem = run.contacted && !watch ? Record(run) : std::string();
            view_.Post([this, shared, run, historyProblem, watch] {
                if (shared->alive) RunFinished(run, historyProblem, watch);
            });
            if (!watch) return;
            WatchReturn(run, *stop);
            const std::string problem = Record(run);
            view_.Post([this, shared, run, problem] {
                if (shared->alive) WatchEnded(run, problem);
            });
        });
    } catch (const std::system_error& e) {
        // No thread for the run: nothing was sent.
        running_ = false;
        Change([](WindowState& s) {
            s.updateEnabled = true;
            s.fieldsReadOnly = false;
        });
        ShowError(e);
    }
}

std::string WindowModel::Record(const std::function<std::string(const history::Origin&)>& line) const {
    if (options_.historyLog.empty()) return {};
    try {
        const history::Origin origin{LOADER_VERSION,
                                     ShownBrand(),
                                     "window",
                                     image::ImageSha256Hex(options_.firmware),
                                     history::kCompiledIn,
                                     platform::CurrentProcessId()};
        if (auto why = history::AppendLine(options_.historyLog, line(origin))) return *why;
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

std::string WindowModel::Record(const history::MeterRun& run) {
    return Record([&run](const history::Origin& o) { return history::RecordLine(o, run); });
}

std::string WindowModel::InterruptedLine(const std::string& address) const {
    if (options_.historyLog.empty() || address.empty()) return {};
    try {
        const history::LogContent content = history::ReadLog(options_.historyLog);
        const auto run = history::Interrupted(history::Runs(content.records, platform::ProcessRunning), address);
        if (!run) return {};
        std::string begun = (*run)["started"].is_string() ? (*run)["started"].get<std::string>() : "";
        if (begun.size() >= 16) begun = begun.substr(0, 10) + " " + begun.substr(11, 5) + " UTC";
        return InterruptedUpdateText(address, begun);
    } catch (const std::exception&) {
        // A history that cannot be read tells nothing here; the next run's record says why.
        return {};
    }
}

bool WindowModel::WatchFollows(const history::MeterRun& run) const {
    const update::UpdateResult& r = run.result;
    if (!ports_.watch || !run.contacted || !run.fault.empty() || !r.resetSent) return false;
    if (r.outcome != update::Outcome::Updated && r.outcome != update::Outcome::Identified) return false;
    std::lock_guard lock(shared_->mutex);
    return !shared_->closing;
}

void WindowModel::WatchReturn(history::MeterRun& run, const update::CancelToken& stop) {
    try {
        run.result.back = ports_.watch(run.address, run.result, update::kReturnLimit, *relay_, stop, run.trace);
    } catch (const std::exception&) {
        // This computer could not watch (no socket): the return stays unknown
        // and the update's verdict stands.
        run.result.back = {};
        run.result.back.stopped = true;
    }
    run.result.outcome = update::DecideReturnOutcome(run.result.outcome, run.result.back, run.result.expectedRevision);
    run.finished = std::chrono::system_clock::now();
}

void WindowModel::StopWatch() {
    if (!std::exchange(watching_, false)) return;
    watchStop_->Cancel();
    // At once: the watch ends on its stop and only writes the run's record.
    thread_.join();
}

void WindowModel::WatchEnded(const history::MeterRun& run, const std::string& historyProblem) {
    // A watch stopped for the next run or a close has nothing more to show.
    if (!std::exchange(watching_, false)) return;
    thread_.join();
    lastResult_ = run.result;
    if (closing_ || run.result.back.stopped) return;
    const update::Outcome outcome = run.result.outcome;
    if (outcome == update::Outcome::Updated || outcome == update::Outcome::Identified) {
        Change([&run](WindowState& s) { s.verdict = BackInServiceText(run.result.back); });
    } else {
        Change([](WindowState& s) {
            s.verdict = kNotBack;
            s.verdictBackground = kFailureColour;
        });
        ShowBox(BoxIcon::None, Explained(kNotBackLine, history::ResultMessage(run, ShownBrand()), {}));
    }
    if (!historyProblem.empty()) ShowBox(BoxIcon::None, HistoryWarningText(LocalToUtf8(historyProblem)));
}

void WindowModel::RunFinished(const history::MeterRun& run, const std::string& historyProblem, bool watchFollows) {
    // A watched run's thread goes on with the watch.
    if (!watchFollows) thread_.join();
    running_ = false;
    watching_ = watchFollows;
    const bool busy = !run.contacted, brokenOff = run.contacted && !run.fault.empty();
    lastResult_.reset();
    if (!busy && !brokenOff) lastResult_ = run.result;
    traceFile_ = LocalToUtf8(run.trace);
    // A meter another run holds was not touched: its verdict is that run's to give.
    const std::string verdict = lastResult_ ? FailureVerdictText(run.result) : busy ? "" : kNotUpdatedUnknownState;
    Change([&verdict](WindowState& s) {
        s.updateEnabled = true;
        s.fieldsReadOnly = false;
        if (verdict.empty()) return;
        s.verdict = verdict;
        s.verdictBackground = kFailureColour;
    });
    // A warning only: the verdict stands.
    if (!run.traceProblem.empty()) ShowBox(BoxIcon::None, WithFullStop("Warning: " + LocalToUtf8(run.traceProblem)));
    if (!lastResult_) {
        ShowBox(BoxIcon::Error, WithFullStop(busy ? BusyText(run.busyWith) : run.fault));
        FocusAfterBoxes(Control::UpdateButton);
        return;
    }
    const update::UpdateResult& result = run.result;
    // A window that is closing says nothing more.
    if (closing_) return;
    if (const std::string text = RunEndBoxText(result, state_.address, ShownBrand()); !text.empty())
        ShowBox(BoxIcon::None, Explained(text, {}, {}));
    // A warning only: the verdict stands.
    if (!historyProblem.empty()) ShowBox(BoxIcon::None, HistoryWarningText(LocalToUtf8(historyProblem)));
    // Where the next action is.
    switch (result.outcome) {
        case update::Outcome::NotFound: FocusAfterBoxes(Control::AddressField); break;
        case update::Outcome::PasswordRejected: FocusAfterBoxes(Control::PasswordField); break;
        default: FocusAfterBoxes(Control::UpdateButton); break;
    }
}

std::string WindowModel::Explained(const std::string& firstLine, const std::string& sentence,
                                   const std::string& next) const {
    std::string text = firstLine;
    for (const std::string* part : {&sentence, &next})
        if (!part->empty()) text += "\n\n" + *part;
    if (!options_.historyLog.empty()) {
        const auto place = options_.historyLog.u8string();
        text += "\n\nThe update history keeps the record of this run: " + std::string(place.begin(), place.end());
    }
    if (!traceFile_.empty()) text += "\n\nSupport trace: " + traceFile_;
    return text;
}

void WindowModel::ExportToggled(bool checked) {
    Change([checked](WindowState& s) {
        s.exportChecked = checked;
        s.updateButton = checked ? kGenerateImageFile : kFirmwareUpdate;
    });
}

void WindowModel::MainMcuToggled(bool checked) {
    Change([this, checked](WindowState& s) {
        s.mainMcuChecked = checked;
        s.exportPathVisible = options_.developerControls && checked;
    });
}

void WindowModel::ChooseFileClicked() { view_.ChooseFile({{kHexFilesName, {kHexFilesPattern}}}); }

void WindowModel::FileChosen(std::string utf8Path) {
    // A cancelled choice keeps the last one.
    if (utf8Path.empty()) return;
    Change([&utf8Path](WindowState& s) { s.exportPath = std::move(utf8Path); });
}

void WindowModel::Export() {
    try {
        // The header names the chosen file; the image is the compiled-in one,
        // written to the working directory current now.
        image::ExportImage(kExportFileName, state_.exportPath, options_.firmware);
    } catch (const std::exception& e) {
        ShowError(e);
    }
}

void WindowModel::ShowBox(BoxIcon icon, std::string text, std::function<void()> closed) {
    Box box{nextBox_++, icon, state_.caption, std::move(text)};
    openBoxes_.emplace_back(box.id, [closed = std::move(closed)](bool) {
        if (closed) closed();
    });
    view_.ShowBox(box);
}

void WindowModel::Ask(std::string text, std::function<void(bool yes)> answered) {
    Box box{nextBox_++, BoxIcon::None, state_.caption, std::move(text), BoxButtons::YesNo};
    openBoxes_.emplace_back(box.id, std::move(answered));
    view_.ShowBox(box);
}

void WindowModel::FocusAfterBoxes(Control control) {
    if (openBoxes_.empty())
        view_.Focus(control);
    else
        focusAfterBoxes_ = control;
}

void WindowModel::ShowError(const std::exception& e, std::function<void()> closed) {
    ShowBox(BoxIcon::Error, WithFullStop(LocalToUtf8(e.what())), std::move(closed));
}

void WindowModel::BoxClosed(int id, bool yes) {
    const auto it = std::find_if(openBoxes_.begin(), openBoxes_.end(), [id](const auto& b) { return b.first == id; });
    if (it == openBoxes_.end()) return;
    std::function<void(bool)> answered = std::move(it->second);
    openBoxes_.erase(it);
    if (answered) answered(yes);
    if (openBoxes_.empty() && focusAfterBoxes_ && !closing_)
        view_.Focus(*std::exchange(focusAfterBoxes_, std::nullopt));
}

void WindowModel::CloseRequested() {
    if (closing_ || asking_) return;  // the first close is on its way, or asked about
    bool resetSent = false;
    {
        std::lock_guard lock(shared_->mutex);
        resetSent = shared_->resetSent;
    }
    // Once "RESET" has gone, a stop leaves nothing unfinished on the meter.
    if (!running_ || resetSent) {
        Close();
        return;
    }
    // The run goes on while the technician decides.
    asking_ = true;
    Ask(kCloseQuestion, [this](bool yes) {
        asking_ = false;
        if (yes) Close();
    });
}

void WindowModel::Close() {
    if (std::exchange(closing_, true)) return;
    // The stop request comes first: an engine released from a box below must
    // already see it, or it would go on to the next block.
    ports_.cancel();
    if (watchStop_) watchStop_->Cancel();
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closing = true;
    }
    shared_->boxAnswered.notify_all();
    // The run stops by its close rules; the program does not wait for it here.
    // A usable address as the field holds it, cleaned; otherwise the last one
    // a run used, or the one loaded: never a text that would be refused.
    const CheckedAddress typed = CheckAddress(state_.address);
    try {
        settings::SaveSettings(SettingsFileName(), typed.problem.empty() ? typed.address : lastAddress_);
    } catch (const std::exception& e) {
        // Shown, and the program ends all the same: staying open would trap
        // the technician for as long as the file stays unwritable.
        ShowError(e, [this] { EndProgram(); });
        return;
    }
    EndProgram();
}

void WindowModel::EndProgram() {
    DrawNow();
    view_.EndProgram();
}

template <typename F>
void WindowModel::Change(F&& f) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->ApplyPendingProgress();
        f(shared_->next);
    }
    DrawNow();
}

void WindowModel::DrawBlocksWhileRunning() {
    view_.PostAfter(kBlockDrawPeriodMs, [this, shared = shared_] {
        if (!shared->alive || !running_) return;
        bool changed = false;
        {
            std::lock_guard lock(shared_->mutex);
            changed = shared_->changed;
        }
        if (changed) DrawNow();
        DrawBlocksWhileRunning();
    });
}

void WindowModel::DrawNow() {
    WindowState next;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->ApplyPendingProgress();
        next = shared_->next;
        shared_->drawQueued = false;
        shared_->changed = false;
    }
    Draw(next);
}

void WindowModel::Draw(const WindowState& next) {
    const bool all = !std::exchange(drawnOnce_, true);
    WindowState& was = state_;
    auto text = [&](Text place, const std::string WindowState::*field) {
        if (all || next.*field != was.*field) view_.ShowText(place, next.*field);
    };
    text(Text::Caption, &WindowState::caption);
    text(Text::Version, &WindowState::version);
    text(Text::Address, &WindowState::address);
    text(Text::UpdateButton, &WindowState::updateButton);
    text(Text::ExportPath, &WindowState::exportPath);
    text(Text::Action, &WindowState::action);
    text(Text::Identity, &WindowState::identity);
    if (all || next.bar != was.bar) view_.ShowBar(next.bar);
    // The verdict's colour shows together with its text.
    if (all || next.verdictBackground != was.verdictBackground) view_.ShowVerdictBackground(next.verdictBackground);
    text(Text::Verdict, &WindowState::verdict);
    text(Text::Repeat, &WindowState::repeat);
    if (all || next.repeatVisible != was.repeatVisible) view_.SetVisible(Control::RepeatCount, next.repeatVisible);
    if (all || next.updateEnabled != was.updateEnabled) view_.SetEnabled(Control::UpdateButton, next.updateEnabled);
    if (all || next.fieldsReadOnly != was.fieldsReadOnly) {
        view_.SetReadOnly(Control::AddressField, next.fieldsReadOnly);
        view_.SetReadOnly(Control::PasswordField, next.fieldsReadOnly);
    }
    if (all || next.procedureControlsEnabled != was.procedureControlsEnabled) {
        // In this order, as a run's start and end have always set them.
        view_.SetEnabled(Control::ChooseFileButton, next.procedureControlsEnabled);
        view_.SetEnabled(Control::ExportPath, next.procedureControlsEnabled);
        view_.SetEnabled(Control::MainMcuCheck, next.procedureControlsEnabled);
    }
    if (all || next.exportChecked != was.exportChecked) view_.SetChecked(Control::ExportCheck, next.exportChecked);
    if (all || next.mainMcuChecked != was.mainMcuChecked) view_.SetChecked(Control::MainMcuCheck, next.mainMcuChecked);
    if (all || next.exportVisible != was.exportVisible) {
        view_.SetVisible(Control::ExportCheck, next.exportVisible);
        view_.SetVisible(Control::MainMcuCheck, next.exportVisible);
    }
    if (all || next.exportPathVisible != was.exportPathVisible) {
        view_.SetVisible(Control::ExportPath, next.exportPathVisible);
        view_.SetVisible(Control::ChooseFileButton, next.exportPathVisible);
    }
    state_ = next;
}

}  // namespace window
