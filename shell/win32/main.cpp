// The Win32 desktop program; the edition is chosen when it is built.
#include "shell/win32/Win32Api.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "shell/win32/Win32App.h"

#ifndef FLASHTOOL_EDITION_B
constexpr Edition kEdition = Edition::A;
#else
constexpr Edition kEdition = Edition::B;
#endif

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    const std::vector<std::string> arguments(__argv + 1, __argv + __argc);
    Win32App app(kEdition, instance, instance);
    if (!app.InitInstance(arguments, show)) {
        return 1;
    }
    return app.Run();
}
