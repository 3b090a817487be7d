#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "framework/Dialog.h"
#include "framework/Host.h"

// An output for progress that a failed write does not stop: after the first failure nothing
// more is written to it, and the reason is kept for the end of the run.
class ProgressOutput {
public:
    explicit ProgressOutput(std::FILE* file) : m_file(file) {}

#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void
    Print(const char* format, ...);
    std::FILE* File() const {
        return m_file;
    }
    bool Lost() const {
        return !m_lost.empty();
    }
    // Why the output was lost: the system's reason for the failed write.
    const std::string& LostReason() const {
        return m_lost;
    }

private:
    std::FILE* m_file;
    std::string m_lost;
};

// Thrown by a wait outside a dialog once the run was asked to stop: the run unwinds to the
// command line, which closes the port and writes the run's record.
struct RunStop {};

// The command line's host, in real time. Message boxes go to stderr, one line each; a question
// is answered with Cancel, since nobody is there to answer it. A dialog shows as one live line
// with its title, text and a bar on a terminal, and as plain lines (one per change of text)
// otherwise. Ctrl+C, SIGTERM and SIGHUP stand for the Stop button (or Escape) of the dialog
// that is open, and stop the rest of the run; outside a dialog the next wait throws RunStop.
class ConsoleHost : public Host {
public:
    explicit ConsoleHost(ProgressOutput& out);
    ~ConsoleHost() override;

    // Takes Ctrl+C, SIGTERM and SIGHUP for the rest of the process. With `unwind` a stop lets
    // the run end through its own path (a second signal, or a run that has not ended within
    // kUnwindSeconds, ends it at once after writing the prepared stop record); without it a stop
    // ends the program at once, as for a command that touches no unit.
    static void InstallStopHandlers(bool unwind);
    // Throws RunStop when the run was asked to stop and no dialog is open to take it.
    static void ThrowIfStopped();
    static constexpr unsigned kUnwindSeconds = 5;

    int MessageBox(const std::string& text, unsigned type) override;
    void Show(const CDialog& dlg) override;
    void DrawText(int x, int y, const std::string& text) override;
    bool RunStopped() override;
    void Sleep(int ms) override;
    void WaitForInputUntil(int64_t ns) override;
    void PauseUntil(int64_t ns) override;

    // The signal that stopped the run, or 0.
    static int StopSignal();

    // Called with the text and type of every message box shown.
    std::function<void(const std::string&, unsigned)> m_onMessage;

protected:
    void OpenDialog(CDialog& dlg) override;
    void CloseDialog(CDialog& dlg) override;
    bool WaitUntil(CDialog& dlg, int64_t ns) override;

private:
    void EndLiveLine();

    RealClock m_realClock;
    ProgressOutput& m_out;
    bool m_terminal;
    bool m_lineOpen = false;
    std::string m_lastPlain;
};
