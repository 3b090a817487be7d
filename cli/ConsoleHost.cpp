#include "cli/ConsoleHost.h"

#include <algorithm>
#include <atomic>
#include <csignal>

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

// Ctrl+C, SIGTERM and SIGHUP stop the run: with a dialog open they press its Stop button, and
// every later wait of the run ends at once, so no further block goes out; the command then
// ends through its failure path with the port closed. Outside a dialog the program ends as the
// signal would end it, after removing any file half written.
#ifndef _WIN32
extern "C" void OnStopSignal(int signal) {
    if (g_dialogOpen) {
        g_stopSignal = signal;
        return;
    }
    RemovePendingFiles();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}
#endif

#ifdef _WIN32
// The console's Ctrl+C, Ctrl+Break and close: with a dialog open the run stops as on a signal
// elsewhere; otherwise the program ends as usual, after removing any file half written.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    if (g_dialogOpen) {
        g_stopSignal = SIGINT;
        return TRUE;
    }
    RemovePendingFiles();
    return FALSE;
}
#endif

#ifndef _WIN32
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#endif

}  // namespace

ConsoleHost::ConsoleHost(std::FILE* out)
    : Host(m_realClock), m_out(out), m_terminal(isatty(fileno(out)) != 0) {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // The live line redraws itself with terminal sequences, which a console takes once asked.
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (m_terminal && GetConsoleMode(console, &mode)) {
        SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
#else
    for (const int signal : kStopSignals) {
        std::signal(signal, OnStopSignal);
    }
#endif
}

ConsoleHost::~ConsoleHost() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
#else
    for (const int signal : kStopSignals) {
        std::signal(signal, SIG_DFL);
    }
#endif
}

int ConsoleHost::StopSignal() {
    return g_stopSignal;
}

bool ConsoleHost::RunStopped() {
    return g_stopSignal != 0;
}

int ConsoleHost::MessageBox(const std::string& text, unsigned type) {
    EndLiveLine();
    if (m_onMessage) {
        m_onMessage(text);
    }
    return StderrMessageBox(text, type);
}

void ConsoleHost::Show(const CDialog& dlg) {
    const std::string text = dlg.Title() + " " + dlg.StatusText();
    if (!m_terminal) {
        if (text != m_lastPlain) {
            std::fprintf(m_out, "%s\n", text.c_str());
            std::fflush(m_out);
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
    std::fprintf(m_out, "\r\033[K%s%s", text.c_str(), bar.c_str());
    std::fflush(m_out);
    m_lineOpen = true;
}

void ConsoleHost::DrawText(int, int, const std::string& text) {
    // Blank strings only wipe the status line of the window.
    if (text.find_first_not_of(' ') != std::string::npos) {
        EndLiveLine();
        std::fprintf(m_out, "%s\n", text.c_str());
        std::fflush(m_out);
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
        std::fprintf(m_out, "\n");
        std::fflush(m_out);
        m_lineOpen = false;
    }
}
