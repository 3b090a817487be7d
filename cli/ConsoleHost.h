#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "framework/Dialog.h"
#include "framework/Host.h"

// The command line's host, in real time. Message boxes go to stderr, one line each; a question
// is answered with Cancel, since nobody is there to answer it. A dialog shows as one live line
// with its title, text and a bar on a terminal, and as plain lines (one per change of text)
// otherwise. Ctrl+C, SIGTERM and SIGHUP stand for the Stop button (or Escape) of the dialog
// that is open, and stop the rest of the run; outside a dialog they end the program.
class ConsoleHost : public Host {
public:
    explicit ConsoleHost(std::FILE* out = stderr);
    ~ConsoleHost() override;

    int MessageBox(const std::string& text, unsigned type) override;
    void Show(const CDialog& dlg) override;
    void DrawText(int x, int y, const std::string& text) override;
    bool RunStopped() override;

    // The signal that stopped the run, or 0.
    static int StopSignal();

    // Called with the text of every message box shown.
    std::function<void(const std::string&)> m_onMessage;

protected:
    void OpenDialog(CDialog& dlg) override;
    void CloseDialog(CDialog& dlg) override;
    bool WaitUntil(CDialog& dlg, int64_t ns) override;

private:
    void EndLiveLine();

    RealClock m_realClock;
    std::FILE* m_out;
    bool m_terminal;
    bool m_lineOpen = false;
    std::string m_lastPlain;
};
