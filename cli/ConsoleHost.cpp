#include "cli/ConsoleHost.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>

#include "cli/RunRecord.h"
#include "framework/FileIo.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#undef MessageBox  // the host's own names, not the system's character-set macros
#undef DrawText
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

constexpr int kBarWidth = 30;
constexpr int64_t kCancelCheckNs = 20 * kNsPerMs;

std::atomic<int> g_stopSignal{0};
std::atomic<bool> g_dialogOpen{false};
std::atomic<bool> g_unwind{false};

// Ctrl+C, SIGTERM and SIGHUP stop the run: with a dialog open they press its Stop button; every
// later wait of the run ends at once, and outside a dialog it unwinds the run, so no further
// block goes out and the command ends through its own path with the port closed and its record
// written. A second signal, or a run that does not end in time, ends the program at once: the
// record prepared for a stop is written, any file half written removed, and the signal ends it.
#ifndef _WIN32
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void EndNow(int signal) {
    StopRecord::WriteNow(signal);
    RemovePendingFiles();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

extern "C" void OnStopSignal(int signal) {
    int none = 0;
    if ((g_unwind || g_dialogOpen) && g_stopSignal.compare_exchange_strong(none, signal)) {
        if (g_unwind) {
            alarm(ConsoleHost::kUnwindSeconds);
        }
        return;
    }
    EndNow(g_stopSignal != 0 ? g_stopSignal.load() : signal);
}

extern "C" void OnUnwindTimeout(int) {
    EndNow(g_stopSignal);
}
#else
// The console's Ctrl+C, Ctrl+Break and close stop the run as a signal does elsewhere; a second
// one, or the console closing, lets the program end (no unwinding bound: a second Ctrl+C is
// the way out).
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    int none = 0;
    if ((g_unwind || g_dialogOpen) && event != CTRL_CLOSE_EVENT &&
        g_stopSignal.compare_exchange_strong(none, SIGINT)) {
        return TRUE;
    }
    StopRecord::WriteNow(SIGINT);
    RemovePendingFiles();
    return FALSE;
}
#endif

}  // namespace

void ProgressOutput::Print(const char* format, ...) {
    if (Lost()) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    std::vfprintf(m_file, format, args);
    va_end(args);
    if (std::fflush(m_file) != 0 || std::ferror(m_file)) {
        m_lost = std::strerror(errno);
    }
}

void ConsoleHost::InstallStopHandlers(bool unwind) {
    g_unwind = unwind;
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : kStopSignals) {
        sigaction(signal, &action, nullptr);
        sigaddset(&stops, signal);
    }
    action.sa_handler = OnUnwindTimeout;
    sigaction(SIGALRM, &action, nullptr);
    // A run started by another may be handed stop signals held back until now.
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
#endif
}

void ConsoleHost::ThrowIfStopped() {
    if (g_stopSignal != 0 && !g_dialogOpen) {
        throw RunStop{};
    }
}

ConsoleHost::ConsoleHost(ProgressOutput& out)
    : Host(m_realClock), m_out(out), m_terminal(isatty(fileno(out.File())) != 0) {
#ifdef _WIN32
    // The live line redraws itself with terminal sequences, which a console takes once asked.
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (m_terminal && GetConsoleMode(console, &mode)) {
        SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
#endif
}

ConsoleHost::~ConsoleHost() = default;

int ConsoleHost::StopSignal() {
    return g_stopSignal;
}

bool ConsoleHost::RunStopped() {
    return g_stopSignal != 0;
}

void ConsoleHost::Sleep(int ms) {
    PauseUntil(m_realClock.NowNs() + static_cast<int64_t>(ms) * kNsPerMs);
}

void ConsoleHost::PauseUntil(int64_t ns) {
    for (;;) {
        ThrowIfStopped();
        const int64_t now = m_realClock.NowNs();
        if (now >= ns) {
            return;
        }
        m_realClock.SleepUntilNs(std::min(ns, now + kCancelCheckNs));
    }
}

void ConsoleHost::WaitForInputUntil(int64_t ns) {
    for (;;) {
        ThrowIfStopped();
        const int64_t slice = std::min(ns, m_realClock.NowNs() + kCancelCheckNs);
        if (WatchInputUntil(slice) || slice >= ns) {
            return;
        }
    }
}

int ConsoleHost::MessageBox(const std::string& text, unsigned type) {
    EndLiveLine();
    if (m_onMessage) {
        m_onMessage(text, type);
    }
    return StderrMessageBox(text, type);
}

void ConsoleHost::Show(const CDialog& dlg) {
    const std::string text = dlg.Title() + " " + dlg.StatusText();
    if (!m_terminal) {
        if (text != m_lastPlain) {
            m_out.Print("%s\n", text.c_str());
            m_lastPlain = text;
        }
        return;
    }
    std::string bar;
    if (dlg.HasProgress()) {
        const int span = std::max(1, dlg.ProgressHigh() - dlg.ProgressLow());
        const int filled =
            std::clamp((dlg.ProgressPos() - dlg.ProgressLow()) * kBarWidth / span, 0, kBarWidth);
        bar = " [" + std::string(static_cast<size_t>(filled), '#') +
              std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]";
    }
    m_out.Print("\r\033[K%s%s", text.c_str(), bar.c_str());
    m_lineOpen = true;
}

void ConsoleHost::DrawText(int, int, const std::string& text) {
    // Blank strings only wipe the status line of the window.
    if (text.find_first_not_of(' ') != std::string::npos) {
        EndLiveLine();
        m_out.Print("%s\n", text.c_str());
    }
}

void ConsoleHost::OpenDialog(CDialog&) {
    g_dialogOpen = true;
    m_lastPlain.clear();
}

void ConsoleHost::CloseDialog(CDialog&) {
    g_dialogOpen = false;
    EndLiveLine();
    m_lastPlain.clear();
}

bool ConsoleHost::WaitUntil(CDialog& dlg, int64_t ns) {
    if (ns == kForever) {
        return false;
    }
    // Sleep in short slices so a stop signal is noticed; once the tick is due but has nothing
    // to do before input comes, sleep on the port instead.
    for (;;) {
        if (g_stopSignal != 0) {
            return false;
        }
        const int64_t now = m_realClock.NowNs();
        if (now >= ns) {
            const int64_t idle = dlg.IdleUntilNs();
            if (idle <= now || WatchInputUntil(std::min(idle, now + kCancelCheckNs))) {
                return true;
            }
            continue;
        }
        m_realClock.SleepUntilNs(std::min(ns, now + kCancelCheckNs));
    }
}

void ConsoleHost::EndLiveLine() {
    if (m_lineOpen) {
        m_out.Print("\n");
        m_lineOpen = false;
    }
}
