#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "framework/Dialog.h"
#include "framework/Host.h"

// A host in virtual time: sleeps and timer waits move the clock, and so does every busy poll,
// so a run with 20-second countdowns takes milliseconds and always goes the same way. It records
// what a person would have seen and answers message boxes from a script.
class VirtualHost : public Host {
public:
    struct Message {
        int64_t atNs;
        std::string text;
        unsigned type;
    };
    struct Shown {
        int64_t atNs;
        std::string title;
        std::string text;
        int progressPos;
        int progressHigh;
    };
    struct Drawn {
        int x;
        int y;
        std::string text;
    };

    VirtualHost() : Host(m_virtualClock) {}

    int MessageBox(const std::string& text, unsigned type) override;
    void Show(const CDialog& dlg) override;
    void DrawText(int x, int y, const std::string& text) override;
    // A busy poll moves virtual time by what its own clock reads and port polls cost, as it
    // always did; nothing is skipped.
    void WaitForInputUntil(int64_t) override {}

    // The run is stopped (a stop signal) from virtual time `ns` on.
    void StopRunAt(int64_t ns) { m_stopRunAtNs = ns; }
    bool RunStopped() override { return m_virtualClock.NowNs() >= m_stopRunAtNs; }
    // A person presses Stop (or Escape) on the dialog open at virtual time `ns`.
    void CancelAt(int64_t ns) { m_cancelAtNs = ns; }
    VirtualClock& Clock() { return m_virtualClock; }
    std::vector<std::string> Texts() const;

    // Answers to message boxes in turn; once they run out, IDOK, or a question's default button.
    std::deque<int> m_answers;
    std::vector<Message> m_messages;
    std::vector<Shown> m_shown;
    std::vector<Drawn> m_drawn;
    std::vector<std::string> m_opened;  // titles of the dialogs run, in order

protected:
    void OpenDialog(CDialog& dlg) override;
    bool WaitUntil(CDialog& dlg, int64_t ns) override;

private:
    VirtualClock m_virtualClock;
    std::optional<int64_t> m_cancelAtNs;
    int64_t m_stopRunAtNs = INT64_MAX;
};
