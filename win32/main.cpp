// The program entry on Windows: the window and its message loop.
#include <windows.h>

#include <commctrl.h>

#include "Brand.h"
#include "MainWindow.h"
#include "Sockets.h"

#ifndef LOADER_BRAND_VARIANT
#error "LOADER_BRAND_VARIANT must be 0 or 1"
#endif

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    SocketLibraryStartup();
    int rc = 0;
    {
        win32::MainWindow window(instance, LOADER_DEVELOPER_CONTROLS != 0, {});
        const brand::Brand& b = brand::ForStartUp(LOADER_BRAND_VARIANT);
        window.SetText(win32::Control::LabelVersion, b.versionText);
        window.SetCaption(std::string(b.titlePrefix) + b.versionText);
        window.Show(showCommand);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (window.Handle() != nullptr && IsDialogMessageW(window.Handle(), &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        rc = static_cast<int>(msg.wParam);
    }
    SocketLibraryCleanup();
    return rc;
}
