#pragma once

#include "shell/win32/Win32Api.h"

#include <functional>
#include <string>

#include "framework/Host.h"
#include "shell/win32/Win32Dialogs.h"

// The Win32 programs' host: message boxes with the edition's application name as caption, the
// transfer dialogs as real dialogs driven by the modal loop here, and the dialogs a person
// drives (password, port, about). Every wait sleeps in MsgWaitForMultipleObjectsEx on the port's
// input event and the window messages, so the windows keep painting and an idle wait costs no
// processor time. With a virtual clock (tests) waits take no time.
class Win32Host : public Host {
public:
    // `resources` is the module holding the dialog templates and icons.
    Win32Host(Clock& clock, bool virtualTime, std::string applicationName, HINSTANCE resources);
    ~Win32Host() override;

    // The owner of every dialog and message box.
    void SetWindow(HWND window) { m_window = window; }
    // The port behind the input watch: its system event (nullptr when it has none).
    void SetInputEvent(std::function<void*()> inputEvent) { m_inputEvent = std::move(inputEvent); }
    // Names the system port behind a port number, for the port dialog's tooltips.
    void SetPortNamer(std::function<std::string(short)> namer) { m_portNamer = std::move(namer); }
    // The status words of the view, and what keeps the toolbar current while a command runs.
    void SetStatusDrawer(std::function<void(int, int, const std::string&)> drawer) {
        m_drawer = std::move(drawer);
    }
    void SetIdle(std::function<void()> idle) { m_idle = std::move(idle); }

    int MessageBox(const std::string& text, unsigned type) override;
    int RunModal(CDialog& dlg) override;
    void Show(const CDialog& dlg) override;
    void DrawText(int x, int y, const std::string& text) override;
    void Sleep(int ms) override;
    void WaitForInputUntil(int64_t ns) override;
    void PauseUntil(int64_t ns) override;

    const std::string& ApplicationName() const { return m_applicationName; }
    // The open transfer dialog, or nullptr.
    HWND TransferWindow() const { return m_transfer; }
    // The question asked before the open transfer dialog stops, while it is open.
    HWND StopQuestion() const { return m_stop.question; }

protected:
    void OpenDialog(CDialog& dlg) override;
    void CloseDialog(CDialog& dlg) override;
    bool WaitUntil(CDialog& dlg, int64_t ns) override;

private:
    // Handles the messages waiting; `paintOnly` leaves what a person does (and posted
    // commands) queued until the logic is ready for it.
    void Pump(bool paintOnly);
    // Sleeps until `ns`, a message, or (with `watchPort`) input on the port; true for input.
    bool WaitForSomething(int64_t ns, bool paintOnly, bool watchPort);
    // The owner of a new dialog: the transfer dialog while one is open, else the window.
    HWND Owner() const;

    bool m_virtualTime;
    std::string m_applicationName;
    HINSTANCE m_resources;
    HWND m_window = nullptr;
    HWND m_transfer = nullptr;
    TransferStop m_stop;  // of the open transfer dialog
    std::function<void*()> m_inputEvent;
    std::function<std::string(short)> m_portNamer;
    std::function<void(int, int, const std::string&)> m_drawer;
    std::function<void()> m_idle;
    ULONGLONG m_lastIdleMs = 0;
    ULONGLONG m_lastPumpMs = 0;
};
