#include "shell/win32/Win32App.h"

#include <shlobj.h>

#include <cstdlib>

#include "framework/Globals.h"
#include "framework/Host.h"
#include "link/PortList.h"
#include "link/SelectableComm.h"
#include "shell/win32/Win32Frame.h"
#include "shell/win32/Win32Host.h"
#include "shell/win32/Win32Settings.h"
#include "sim/SimComm.h"
#include "view/FrameLogic.h"

std::string UserDataFolder(const std::string& applicationName) {
    char base[MAX_PATH] = {};
    if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                         SHGFP_TYPE_CURRENT, base) != S_OK) {
        return {};
    }
    const std::string folder = std::string(base) + "\\" + applicationName;
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return {};
    }
    return folder;
}

Win32App::Win32App(Edition edition, HINSTANCE code, HINSTANCE resources)
    : m_edition(edition), m_code(code), m_resources(resources) {}

Win32App::~Win32App() {
    m_frame.reset();
    m_installed.reset();
}

bool Win32App::InitInstance(const std::vector<std::string>& arguments, int show) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const std::string applicationName = TextsOf(m_edition).applicationName;
    const StartOptions options = ParseStartArguments(arguments, std::getenv(kSimulateSetting));
    m_host = std::make_unique<Win32Host>(m_clock, false, applicationName, m_resources);
    m_settings = std::make_unique<RegistrySettings>(applicationName);
    if (options.simulate) {
        m_unit = std::make_unique<SimUnit>(SimUnit::Options{});
        m_comm = std::make_unique<SimComm>(*m_unit, m_clock);
    } else {
        LoadPortChoice(*m_settings);  // the port chosen by name last time
        m_comm = std::make_unique<SelectableComm>(MakePortByName);
    }
    const bool simulated = options.simulate;
    m_host->SetPortNamer([simulated](short port) {
        return PortTip(port, simulated, simulated ? std::string() : PortNameOfNumber(port));
    });
    m_host->SetInputWatch(
        [port = m_comm.get()](int64_t timeoutNs) { return port->WaitForInput(timeoutNs); });
    m_host->SetInputEvent([port = m_comm.get()] { return port->InputEvent(); });
    m_installed = std::make_unique<ScopedHost>(*m_host);

    // The working files live in the user's own folder and belong to one run at a time.
    const std::string folder = UserDataFolder(applicationName);
    if (folder.empty()) {
        AfxMessageBox("Cannot create the working folder for " + applicationName,
                      MB_OK | MB_ICONSTOP);
        return false;
    }
    SetWorkFolder(folder);
    std::string reason;
    if (!m_lock.Acquire(folder, reason)) {
        if (m_lock.HeldElsewhere()) {
            // The first copy comes to the front; this one says why it ends.
            if (HWND first = FindWindowA(FrameTextsOf(m_edition).windowClass, nullptr)) {
                if (IsIconic(first)) {
                    ShowWindow(first, SW_RESTORE);
                }
                SetForegroundWindow(first);
            }
            reason = SecondCopyMessage(m_edition, m_lock.HolderId());
        }
        AfxMessageBox(reason, MB_OK | MB_ICONSTOP);
        return false;
    }
    char program[MAX_PATH] = {};
    if (GetModuleFileNameA(nullptr, program, MAX_PATH) > 0) {
        RegisterFileType(m_edition, program);
    }
    m_frame =
        std::make_unique<Win32Frame>(m_code, m_resources, m_edition, *m_host, *m_comm, *m_settings);
    if (!m_frame->Create()) {
        AfxMessageBox("Cannot create the main window", MB_OK | MB_ICONSTOP);
        return false;
    }
    m_frame->QuitOnDestroy(true);
    if (!options.file.empty() && !m_frame->Core().OpenFile(options.file)) {
        return false;
    }
    ShowWindow(m_frame->Handle(), show == SW_HIDE ? SW_HIDE : SW_SHOW);
    UpdateWindow(m_frame->Handle());
    // Windows since Vista asks no more before it sleeps when idle: stay awake while running.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    return true;
}

int Win32App::Run() {
    MSG msg;
    for (;;) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                SetThreadExecutionState(ES_CONTINUOUS);
                return static_cast<int>(msg.wParam);
            }
            if (!m_frame->TranslateAccelerator(msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        m_frame->OnIdle();
        WaitMessage();
    }
}
