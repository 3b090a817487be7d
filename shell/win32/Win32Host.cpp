#include "shell/win32/Win32Host.h"

#include <algorithm>

#include "framework/Dialog.h"
#include "shell/win32/Win32Dialogs.h"
#include "view/ShellDialogs.h"

namespace {

// The longest a wait on a port without a system event (the simulated unit) goes without
// looking at the window messages.
constexpr int64_t kPaintSliceNs = 20 * kNsPerMs;
// What wakes a wait that only paints: paint requests, timers, messages sent by other windows.
constexpr ULONGLONG kIdleRefreshMs = 100;
constexpr ULONGLONG kPumpIntervalMs = 15;
constexpr DWORD kPaintWake = QS_PAINT | QS_TIMER | QS_SENDMESSAGE;

DWORD WaitMsOf(int64_t ns) {
    return static_cast<DWORD>(std::clamp<int64_t>((ns + kNsPerMs - 1) / kNsPerMs, 0, INFINITE - 1));
}

}  // namespace

Win32Host::Win32Host(Clock& clock, bool virtualTime, std::string applicationName,
                     HINSTANCE resources)
    : Host(clock),
      m_virtualTime(virtualTime),
      m_applicationName(std::move(applicationName)),
      m_resources(resources) {}

Win32Host::~Win32Host() {
    if (m_transfer != nullptr) {
        DestroyWindow(m_transfer);
    }
}

HWND Win32Host::Owner() const {
    if (m_transfer != nullptr) {
        return m_transfer;
    }
    return m_window != nullptr && IsWindow(m_window) ? m_window : nullptr;
}

int Win32Host::MessageBox(const std::string& text, unsigned type) {
    return ::MessageBoxA(Owner(), text.c_str(), m_applicationName.c_str(), type | MB_SETFOREGROUND);
}

int Win32Host::RunModal(CDialog& dlg) {
    if (auto* password = dynamic_cast<CPasswordDlg*>(&dlg)) {
        return RunPasswordDialog(m_resources, Owner(), *password);
    }
    if (auto* port = dynamic_cast<CPortSettingDlg*>(&dlg)) {
        return RunPortDialog(m_resources, Owner(), *port, m_portNamer);
    }
    if (auto* about = dynamic_cast<CAboutDlg*>(&dlg)) {
        return RunAboutDialog(m_resources, Owner(), *about);
    }
    return Host::RunModal(dlg);
}

void Win32Host::OpenDialog(CDialog& dlg) {
    m_stop = TransferStop{};
    m_stop.caption = m_applicationName;
    HWND owner = Owner();
    m_transfer = CreateTransferDialog(m_resources, owner, dlg, &m_stop);
    if (owner != nullptr) {
        EnableWindow(owner, FALSE);  // modal: the frame takes no input meanwhile
    }
    Pump(true);
}

void Win32Host::CloseDialog(CDialog&) {
    if (m_transfer == nullptr) {
        return;
    }
    // The owner first, so that activation goes back to it.
    if (HWND owner = GetWindow(m_transfer, GW_OWNER)) {
        EnableWindow(owner, TRUE);
    }
    DestroyWindow(m_transfer);
    m_transfer = nullptr;
}

void Win32Host::Show(const CDialog& dlg) {
    if (m_transfer != nullptr) {
        ShowTransferState(m_transfer, dlg);
    }
    Pump(true);
}

void Win32Host::DrawText(int x, int y, const std::string& text) {
    if (m_drawer) {
        m_drawer(x, y, text);
    }
}

void Win32Host::Pump(bool paintOnly) {
    MSG msg;
    const ULONGLONG nowMs = GetTickCount64();
    // A transfer shows its progress at every frame, and in virtual time its ticks come without
    // waits: painting a few dozen times a second is enough, and spares the system the rest.
    if ((paintOnly || m_virtualTime) && nowMs - m_lastPumpMs < kPumpIntervalMs) {
        return;
    }
    m_lastPumpMs = nowMs;
    if (paintOnly) {
        // Sent messages are delivered by any peek; paint and timers are taken, input stays.
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | PM_QS_PAINT) ||
               PeekMessageA(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
    } else {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));  // for the main loop
                m_stop.stopped = true;
                break;
            }
            if (m_stop.question != nullptr && IsDialogMessageA(m_stop.question, &msg)) {
                continue;
            }
            if (m_transfer != nullptr && msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE &&
                (msg.hwnd == m_transfer || IsChild(m_transfer, msg.hwnd))) {
                CloseTransfer(m_transfer, m_stop);  // Escape is a close, not a Stop press
                continue;
            }
            if (m_transfer != nullptr && IsDialogMessageA(m_transfer, &msg)) {
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    // The toolbar follows the flags a few times a second, not at every step of a transfer.
    if (m_idle && nowMs - m_lastIdleMs >= kIdleRefreshMs) {
        m_lastIdleMs = nowMs;
        m_idle();
    }
}

bool Win32Host::WaitForSomething(int64_t ns, bool paintOnly, bool watchPort) {
    const int64_t now = m_clock.NowNs();
    if (now >= ns) {
        return false;
    }
    HANDLE event = nullptr;
    if (watchPort) {
        event = m_inputEvent ? static_cast<HANDLE>(m_inputEvent()) : nullptr;
        if (event == nullptr && m_inputWatch) {
            // No system event to wait on: the port's own wait, in slices, messages between.
            return WatchInputUntil(std::min(ns, now + kPaintSliceNs));
        }
        if (event != nullptr && WatchInputUntil(now)) {
            return true;  // arrived before the wait was armed
        }
    }
    DWORD wake = paintOnly ? kPaintWake : QS_ALLINPUT;
    DWORD waitMs = WaitMsOf(ns - now);
    const ULONGLONG sinceMs = GetTickCount64() - m_lastPumpMs;
    if (paintOnly && sinceMs < kPumpIntervalMs) {
        // Painting is not due yet: a pending paint or timer must not end the wait at once, or
        // the wait would spin until the next pump.
        wake = QS_SENDMESSAGE;
        waitMs = std::min(waitMs, static_cast<DWORD>(kPumpIntervalMs - sinceMs));
    }
    const DWORD result =
        MsgWaitForMultipleObjectsEx(event != nullptr ? 1 : 0, &event, waitMs, wake, 0);
    return result == WAIT_OBJECT_0 && event != nullptr && WatchInputUntil(m_clock.NowNs());
}

bool Win32Host::WaitUntil(CDialog& dlg, int64_t ns) {
    for (;;) {
        Pump(false);
        if (m_stop.stopped) {
            m_stop.stopped = false;
            return false;
        }
        const int64_t now = m_clock.NowNs();
        if (ns != kForever && now >= ns) {
            // A tick with nothing to do before input comes waits on the port.
            const int64_t idle = dlg.IdleUntilNs();
            if (m_virtualTime || idle <= now || WaitForSomething(idle, false, true)) {
                return true;
            }
            continue;
        }
        if (m_virtualTime) {
            if (ns == kForever) {
                return false;  // nobody will press anything in virtual time
            }
            m_clock.SleepUntilNs(ns);
            continue;
        }
        // Until the tick (or for ever: until a person stops the dialog), waking for messages.
        const int64_t until =
            ns == kForever ? now + static_cast<int64_t>(INFINITE - 1) * kNsPerMs : ns;
        WaitForSomething(until, false, false);
    }
}

void Win32Host::Sleep(int ms) {
    PauseUntil(m_clock.NowNs() + static_cast<int64_t>(ms) * kNsPerMs);
}

void Win32Host::PauseUntil(int64_t ns) {
    // The thread is held, but the windows keep painting.
    if (m_virtualTime) {
        m_clock.SleepUntilNs(ns);
        Pump(true);
        return;
    }
    for (int64_t now = m_clock.NowNs(); now < ns; now = m_clock.NowNs()) {
        WaitForSomething(ns, true, false);
        Pump(true);
    }
}

void Win32Host::WaitForInputUntil(int64_t ns) {
    if (m_virtualTime) {
        return;  // a busy poll in virtual time moves the clock by its own reads
    }
    WaitForSomething(ns, true, true);
    Pump(true);
}
