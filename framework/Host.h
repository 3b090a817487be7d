#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <string>

#include "framework/Clock.h"

class CDialog;

// Message box buttons, icons and answers, with the platform's values.
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_OKCANCEL = 0x01;
constexpr unsigned MB_YESNO = 0x04;
constexpr unsigned MB_TYPEMASK = 0x0F;
constexpr unsigned MB_ICONSTOP = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr unsigned MB_ICONMASK = 0xF0;
// The second button (Cancel, No) is the default, the one Enter presses.
constexpr unsigned MB_DEFBUTTON2 = 0x100;
constexpr unsigned MB_DEFMASK = 0xF00;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// The only way the logic reaches the platform: message boxes, modal dialogs and their window
// timers, sleeps, clock reads and the view's status line. The desktop, the command line and the
// tests each install their own host; all waiting goes through the host's clock.
class Host {
public:
    // What one read of the C clock or the wall clock costs a busy loop.
    static constexpr int64_t kClockReadCostNs = 2 * kNsPerUs;

    explicit Host(Clock& clock) : m_clock(clock) {}
    // A host in real time, on the machine's clock.
    Host();
    virtual ~Host() = default;
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Shows a modal message box and returns the button pressed (IDOK, IDCANCEL, IDYES, IDNO).
    virtual int MessageBox(const std::string& text, unsigned type) = 0;

    // Runs a dialog modally: OnInitDialog, then its timer ticks in due order until it ends.
    // Returns the result it ended with.
    virtual int RunModal(CDialog& dlg);
    // UpdateData(FALSE): the dialog's texts and progress position are to be shown.
    virtual void Show(const CDialog& dlg);
    // Text drawn on the view's client area at (x, y), over what was there.
    virtual void DrawText(int x, int y, const std::string& text);

    // Blocks for `ms` milliseconds without handling any input.
    virtual void Sleep(int ms);
    // Waits until the clock reaches `ns` or input is waiting on the watched port, whichever
    // comes first; it may also return earlier, so callers check their condition in a loop.
    // Without a watched port it sleeps until `ns`. A busy poll of the logic calls it in place
    // of spinning.
    virtual void WaitForInputUntil(int64_t ns);
    // Waits until the clock reaches `ns` reading nothing, for the logic's busy waits on a clock.
    virtual void PauseUntil(int64_t ns);
    // The port whose input ends a WaitForInputUntil early: `watch(timeoutNs)` returns when input
    // is waiting (true) or the time has passed (false).
    void SetInputWatch(std::function<bool(int64_t timeoutNs)> watch) {
        m_inputWatch = std::move(watch);
    }
    // The time of the next whole second of the wall clock, on the host's clock.
    int64_t NextWallSecondNs();

    // The C library clock, in milliseconds.
    long ClockMs();
    // The wall clock, in whole seconds.
    long long WallSeconds();

    Clock& GetClock() { return m_clock; }

    // The whole run was asked to stop (the command line's Ctrl+C or a termination signal); a
    // wait that nothing else may end, such as the unit's restart countdown, ends then. A
    // window never asks it.
    virtual bool RunStopped() { return false; }

protected:
    // Hooks of the modal loop: the dialog appears, and goes away.
    virtual void OpenDialog(CDialog& dlg);
    virtual void CloseDialog(CDialog& dlg);
    // Waits until the clock reaches `ns` (kForever when the dialog has no timer armed, so only
    // a person can end it). Returns false when a person cancelled the dialog (Escape, the close
    // box or its Stop button) before then, and at once for kForever where nobody can.
    virtual bool WaitUntil(CDialog& dlg, int64_t ns);
    static constexpr int64_t kForever = INT64_MAX;

    Clock& m_clock;
    // Waits until `ns` or input, whichever is first; true when input is waiting. Without a
    // watched port it sleeps until `ns`.
    bool WatchInputUntil(int64_t ns);

    std::function<bool(int64_t)> m_inputWatch;
};

// A host for programs without a window, in real time: every message goes to stderr on its own
// line. Nobody can answer a question there, so a box with a Cancel button answers IDCANCEL and a
// Yes/No question IDNO.
class StderrHost : public Host {
public:
    int MessageBox(const std::string& text, unsigned type) override;
};

// A message box on stderr: the text on its own line; a question is answered with Cancel or No.
int StderrMessageBox(const std::string& text, unsigned type);

Host& GetHost();
// Installs a host; nullptr restores the default StderrHost. The caller keeps ownership.
void SetHost(Host* host);

// Installs a host for the lifetime of the guard and restores the previous one after.
class ScopedHost {
public:
    explicit ScopedHost(Host& host);
    ~ScopedHost();
    ScopedHost(const ScopedHost&) = delete;
    ScopedHost& operator=(const ScopedHost&) = delete;

private:
    Host* m_previous;
};

int AfxMessageBox(const std::string& text, unsigned type = MB_OK);
void Sleep(int ms);
