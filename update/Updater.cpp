#include "Updater.h"

#include <cstring>
#include <string>

#include "Frames.h"
#include "ImageExport.h"

namespace loader {
namespace {

constexpr char kIncorrectPassword[] = "Incorrect password. Please enter correct password.";
constexpr int kAttemptsPerBlock = 10;

// Runs its action when the scope is left, also by an exception (a wait whose
// timer cannot start): the window must never be left with its button disabled.
template <typename F>
class Finally {
public:
    explicit Finally(F f) : f_(std::move(f)) {}
    ~Finally() { f_(); }
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;

private:
    F f_;
};

}  // namespace

TUpdater::TUpdater(IUpdateForm& form, TUdpSocket& udp, TTcpClient& tcp, image::ImageView firmware)
    : form_(form), udp_(udp), tcp_(tcp), firmware_(firmware) {}

void TUpdater::Wait(WaitTimer t) { WaitUntilStopped(form_, t); }

bool TUpdater::BootTransact(int32_t sendCount, int32_t expectedCount, int32_t waitMs) {
    udp_.SendBytes(TxBuffer, sendCount, 0);
    // Enable first, then the interval: a different interval restarts the
    // countdown, the same one leaves it running, so the wait is waitMs either way.
    form_.SetTimerEnabled(WaitTimer::TimerIP, true);
    form_.SetTimerInterval(WaitTimer::TimerIP, static_cast<uint32_t>(waitMs));
    Wait(WaitTimer::TimerIP);
    // One receive only: an answer that came too late stays queued and is
    // taken by the next exchange, which slow meters rely on.
    const int32_t n = udp_.ReceiveBytes(RxBuffer, expectedCount, 0);
    return (static_cast<uint32_t>(n) & 0xFFFF) == static_cast<uint32_t>(expectedCount);
}

void TUpdater::ProgramMainMcu() {
    int32_t repeat = 0;
    form_.SetText(Control::LabelRepeat, "0");
    UpdateError = false;

    form_.SetText(Control::Label1, "erase sector 0x08000 - 0x7FFFF");
    BuildEraseFrame(TxBuffer);
    std::memset(RxBuffer, 0, 10);  // no answer must read as zero bytes
    BootTransact(4, 4, 500);
    const std::string eraseAnswer(reinterpret_cast<const char*>(RxBuffer), 2);
    form_.SetText(Control::Label1, "erase sectors " + eraseAnswer);
    // The writes go ahead anyway: an erase whose answer was lost has still erased.
    if (eraseAnswer != "OK") form_.ShowMessage("Erase error!");

    int64_t current = FlashStart;
    while (current < static_cast<int64_t>(FlashEnd)) {
        if (form_.Closing()) break;
        const int64_t target = NextBlock(current, FlashStart, FlashEnd);
        for (int attempt = 1;; ++attempt) {
            if (form_.Closing()) break;
            BuildWriteFrame(TxBuffer, static_cast<uint32_t>(target), firmware_.data() + target);
            form_.SetText(Control::Label1, WritingSectorText(static_cast<uint32_t>(target)));
            if (IsBlank(TxBuffer + 4, kBlockSize)) break;  // erased flash already holds it
            RxBuffer[0] = RxBuffer[1] = 0;
            if (BootTransact(static_cast<int32_t>(kWriteFrameSize), 4, 50) && RxBuffer[0] == 'O') break;

            form_.SetText(Control::Label1,
                          form_.Text(Control::Label1) + " : " + std::string(reinterpret_cast<const char*>(RxBuffer), 2));
            form_.SetTimerEnabled(WaitTimer::TimerDelay, true);  // back-off with the interval it has
            Wait(WaitTimer::TimerDelay);
            ++repeat;
            form_.SetText(Control::LabelRepeat, std::to_string(repeat));
            if (attempt == kAttemptsPerBlock) {
                UpdateError = true;
                break;
            }
        }
        if (UpdateError) {
            form_.ShowMessage("Communication error !");
            break;
        }
        current += static_cast<int64_t>(kBlockSize);
        form_.SetProgressPosition(current);
        form_.SetText(Control::Perc1,
                      PercentText(form_.ProgressPosition(), form_.ProgressMin(), form_.ProgressMax()) + "%");
    }

    if (form_.Closing()) UpdateError = true;
    form_.SetText(Control::Label1, UpdateError ? "Communication error!" : "Finished.");
}

void TUpdater::Button1Click() {
    UpdateError = false;
    FlashStart = 0x8000;
    FlashEnd = 0x7FFFF;
    form_.SetEnabled(Control::ButtonCPU1, false);
    form_.SetEnabled(Control::Edit1, false);
    form_.SetEnabled(Control::CheckBox1, false);
    Finally enableAgain([this] {
        form_.SetEnabled(Control::ButtonCPU1, true);
        form_.SetEnabled(Control::Edit1, true);
        form_.SetEnabled(Control::CheckBox1, true);
    });

    form_.SetProgressMin(FlashStart);
    form_.SetProgressMax(static_cast<int32_t>(FlashEnd));
    form_.SetProgressPosition(FlashStart);
    form_.SetText(Control::Perc1, "0%");
    form_.SetPerc1Color(clBtnFace);
    form_.SetText(Control::BLVmain, "");
    bool identified = false;
    form_.SetText(Control::Label4, "...");

    // The endpoint stays open between runs; the same address keeps its queue.
    udp_.SetRemoteHost(form_.Text(Control::EditIPaddr));
    udp_.SetActive(true);
    form_.SetText(Control::Edit2, "");
    form_.SetTimerInterval(WaitTimer::TimerIP, 500);
    form_.SetTimerEnabled(WaitTimer::TimerIP, true);
    Wait(WaitTimer::TimerIP);

    for (int attempt = 1; attempt <= 2 && !identified; ++attempt) {
        uint8_t buffer[256];
        std::memcpy(buffer, "VER?", 4);
        udp_.SendBytes(buffer, 4, 0);
        form_.SetTimerEnabled(WaitTimer::TimerIP, true);
        Wait(WaitTimer::TimerIP);
        // A longer datagram is not taken at all, so an identity with a line end counts as none.
        const int32_t n = udp_.ReceiveBytes(buffer, static_cast<int32_t>(kIdentityLength), 0);
        // The reply collects in Edit2 one character per byte; a zero byte ends
        // the text it is appended to and so adds nothing. The second answer is
        // appended to the first: only a first attempt that added nothing can be
        // followed by a successful second one.
        for (int32_t i = 0; i < n; ++i)
            form_.SetText(Control::Edit2, form_.Text(Control::Edit2) + static_cast<char>(buffer[i]));
        identified = !IdentityLabel(form_.Text(Control::Edit2)).empty();
    }

    if (!identified) {
        form_.SetText(Control::Label4, "not found");
        form_.SetText(Control::Label1, "");
        return;
    }
    form_.SetText(Control::Label4, IdentityLabel(form_.Text(Control::Edit2)));
    if (form_.Checked(Control::CheckBox1)) {
        ProgramMainMcu();
        if (!UpdateError && form_.Text(Control::Perc1) == "100%") {
            form_.SetText(Control::Perc1, "Successfully updated.");
            form_.SetPerc1Color(clLime);
        }
    }
    // The meter leaves its bootloader only when nothing went wrong; after a
    // failure it waits in the bootloader for the next attempt.
    if (!UpdateError) {
        std::memcpy(TxBuffer, "RESET", 5);
        BootTransact(5, 0, 50);
    }
    form_.SetTimerEnabled(WaitTimer::TimerDelay, true);
    Wait(WaitTimer::TimerDelay);
}

void TUpdater::ResetProgressDisplay() {
    form_.SetProgressPosition(FlashStart);
    form_.SetText(Control::Perc1, "0%");
    form_.SetPerc1Color(clBtnFace);
    form_.SetText(Control::Label1, "");
    form_.SetText(Control::Label4, "");
}

void TUpdater::Button2Click() {
    ResetProgressDisplay();
    if (form_.Checked(Control::CheckBoxGenerate)) {
        if (form_.Checked(Control::CheckBox1))
            image::ExportImage(kExportFileName, form_.ChosenFileText(), firmware_);
        return;
    }

    // The frame is built from exactly the text that passed the rule: the
    // field stays editable during the first wait. A character without a
    // Latin-1 byte could not reach the meter as typed, so it fails the rule.
    const std::string password = form_.Text(Control::EditPass);
    if (!form_.TextIsLatin1(Control::EditPass) || !PasswordLengthOk(password)) {
        form_.ShowMessage(kIncorrectPassword);
        return;
    }

    form_.SetEnabled(Control::Button2, false);
    Finally done([this] {
        tcp_.SetActive(false);
        form_.SetEnabled(Control::Button2, true);
    });
    tcp_.SetRemoteHost(form_.Text(Control::EditIPaddr));
    tcp_.SetActive(true);
    // The connection comes up in the background meanwhile.
    form_.SetTimerInterval(WaitTimer::TimerIP, 500);
    form_.SetTimerEnabled(WaitTimer::TimerIP, true);
    Wait(WaitTimer::TimerIP);

    auto frame = BuildBootModeRequest(password);
    tcp_.SendBytes(frame.data(), static_cast<int32_t>(frame.size()), 0);
    form_.SetTimerInterval(WaitTimer::TimerIP, 500);
    form_.SetTimerEnabled(WaitTimer::TimerIP, true);
    Wait(WaitTimer::TimerIP);
    const int32_t n = tcp_.ReceiveBytes(frame.data(), 12, 0);

    switch (ClassifyBootModeAnswer(n, frame.data())) {
        case BootModeAnswer::Accepted:
            form_.SetText(Control::Label1, "Bootloader mode. Please wait ...");
            // The meter needs time to start its bootloader. The interval stays
            // 2000 ms from now on, for every later back-off too.
            form_.SetTimerInterval(WaitTimer::TimerDelay, 2000);
            form_.SetTimerEnabled(WaitTimer::TimerDelay, true);
            Wait(WaitTimer::TimerDelay);
            Button1Click();
            break;
        case BootModeAnswer::PasswordRejected:
            form_.ShowMessage(kIncorrectPassword);
            break;
        case BootModeAnswer::Unusable:
            // A meter may already sit in its bootloader: let the bootloader link decide.
            Button1Click();
            break;
    }
}

}  // namespace loader
