// The update of one meter: the boot-mode request over Modbus TCP, then the
// bootloader link over UDP (identify, erase, write, reset).
#pragma once

#include <cstdint>

#include "FlashImage.h"
#include "Sockets.h"
#include "UpdateForm.h"

namespace loader {

inline constexpr char kExportFileName[] = "Code_Image_Main_MCU.pas";

class TUpdater {
public:
    TUpdater(IUpdateForm& form, TUdpSocket& udp, TTcpClient& tcp, image::ImageView firmware);

    // The "FIRMWARE UPDATE" button: boot-mode request, then the update procedure
    // (or the image export when the developer box is checked).
    void Button2Click();
    // The update procedure: identify the bootloader, program, reset.
    void Button1Click();
    // Erase and write the application area.
    void ProgramMainMcu();
    // One bootloader exchange: send, wait the full time, one receive. True
    // when the number of bytes taken (modulo 65536) is the expected count.
    bool BootTransact(int32_t sendCount, int32_t expectedCount, int32_t waitMs);

    // Frames are built in place; a receive never clears what it does not overwrite.
    uint8_t TxBuffer[2000] = {};
    uint8_t RxBuffer[2000] = {};
    bool UpdateError = false;
    int32_t FlashStart = 0;  // 0 until the first update procedure
    uint32_t FlashEnd = 0;

private:
    void Wait(WaitTimer t);
    void ResetProgressDisplay();

    IUpdateForm& form_;
    TUdpSocket& udp_;
    TTcpClient& tcp_;
    image::ImageView firmware_;
};

}  // namespace loader
