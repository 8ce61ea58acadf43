// The program entry on Windows: the window over the window model.
#include <windows.h>

#include <commctrl.h>

#include <exception>
#include <filesystem>

#include "win32/Front.h"
#include "history/Log.h"
#include "platform/MeterLock.h"
#include "net/MeterConnections.h"
#include "platform/Socket.h"
#include "window/BuildConfig.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    try {
        // Before any endpoint exists; where it fails the program cannot work at all.
        platform::StartSocketLibrary();
        window::Options options;
        options.brandVariant = window::BrandVariant;
        options.developerControls = window::DeveloperControls;
        // The settings file belongs to the directory the program was started
        // in, not to the program's own folder.
        options.appDir = std::filesystem::current_path().string();
        options.historyLog = history::LogPath();
        options.meterLocks = platform::MeterLockScope();
        int rc = 0;
        {
            // Outlive the window, whose run may still be stopping as it goes.
            net::MeterConnections network;
            win32::Front front(instance, std::move(options), window::PortsOver(network));
            rc = front.Run(showCommand);
        }
        // Releases the library with the update endpoint closed.
        platform::StopSocketLibrary();
        return rc;
    } catch (const std::exception& e) {
        MessageBoxA(nullptr, e.what(), nullptr, MB_OK | MB_ICONERROR);
        return 1;
    }
}
