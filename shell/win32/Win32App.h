#pragma once

#include "shell/win32/Win32Api.h"

#include <memory>
#include <string>
#include <vector>

#include "framework/Clock.h"
#include "framework/Edition.h"
#include "framework/WorkFolder.h"

class CMSComm;
class ScopedHost;
class SimUnit;
class RegistrySettings;
class Win32Frame;
class Win32Host;

// The Win32 program: the host, the port (the system's, or the built-in simulated unit with
// --simulate or FLASHTOOL_SIMULATE=1), the working folder in the per-user data folder under the
// lock, the registry settings and file type, and the main window with the file named on the
// command line.
class Win32App {
public:
    // `resources`: the module holding the edition's resources (the program itself).
    Win32App(Edition edition, HINSTANCE code, HINSTANCE resources);
    ~Win32App();
    Win32App(const Win32App&) = delete;
    Win32App& operator=(const Win32App&) = delete;

    // Start-up; false when the program is to end (a second copy, a refused file). `arguments`
    // exclude the program's name.
    bool InitInstance(const std::vector<std::string>& arguments, int show = SW_SHOW);
    // The message loop, until the window is closed; the exit status.
    int Run();

    Win32Frame& Frame() { return *m_frame; }
    Win32Host& Host() { return *m_host; }

private:
    Edition m_edition;
    HINSTANCE m_code;
    HINSTANCE m_resources;
    RealClock m_clock;
    std::unique_ptr<SimUnit> m_unit;
    std::unique_ptr<CMSComm> m_comm;
    std::unique_ptr<Win32Host> m_host;
    std::unique_ptr<ScopedHost> m_installed;
    std::unique_ptr<RegistrySettings> m_settings;
    std::unique_ptr<Win32Frame> m_frame;
    WorkFolderLock m_lock;
};

// The per-user data folder of the program (%LOCALAPPDATA%\<application name>), created if
// missing; empty when it cannot be made.
std::string UserDataFolder(const std::string& applicationName);
