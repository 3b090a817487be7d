#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A modal dialog whose work happens in window-timer ticks. Its host runs it (DoModal), shows
// its title, status text, progress bar and Stop button, and delivers the ticks.
class CDialog {
public:
    struct Timer {
        int id;
        int64_t periodNs;
        int64_t dueNs;
    };

    // The controls a dialog template carries besides its status text.
    struct Controls {
        bool progressBar = false;
        bool stopButton = false;
    };

    CDialog(std::string title, Controls controls);
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    int DoModal();

    virtual bool OnInitDialog() { return true; }
    virtual void OnTimer(int /*id*/) {}
    // The standard OK path: controls read back, then IDOK.
    virtual void OnOK();
    // The standard cancel path (Escape, the close box, a Stop button): IDCANCEL.
    virtual void OnCancel();

    // Window timers: periodic until killed. Setting an armed timer again restarts it.
    void SetTimer(int id, int ms);
    void KillTimer(int id);
    void EndDialog(int result);
    // false: show the members in the controls; true: read the controls back (nothing to read).
    void UpdateData(bool saveAndValidate = true);

    // What a host shows.
    const std::string& Title() const { return m_strTitle; }
    virtual std::string StatusText() const { return {}; }
    bool HasStopButton() const { return m_controls.stopButton; }
    bool HasProgress() const { return m_controls.progressBar; }
    int ProgressLow() const { return m_nProgressLow; }
    int ProgressHigh() const { return m_nProgressHigh; }
    int ProgressPos() const { return m_nProgressPos; }

    // For hosts running the modal loop.
    bool IsEnded() const { return m_bEnded; }
    int Result() const { return m_nResult; }
    void BeginModal();
    // The armed timer due first, or nullptr when none is armed.
    const Timer* NextTimer() const;
    // Marks timer `id` as fired at `nowNs` and works out when it is due again.
    void TimerFired(int id, int64_t nowNs);
    // Until this time a tick finds nothing to do unless input came (0: no such time). A host
    // that can wait on the port holds the next tick back until input arrives or this time
    // comes; a host that cannot ticks as usual. Each tick clears it.
    int64_t IdleUntilNs() const { return m_idleUntilNs; }

protected:
    void SetProgressRange(int low, int high);
    // Says that ticks before `ns` are of no use unless input is waiting.
    void IdleUntilInputOr(int64_t ns) { m_idleUntilNs = ns; }
    void SetProgressPos(int pos);

private:
    std::string m_strTitle;
    Controls m_controls;
    int m_nProgressLow = 0;
    int m_nProgressHigh = 0;
    int m_nProgressPos = 0;
    std::vector<Timer> m_timers;
    bool m_bEnded = false;
    int m_nResult = 0;
    int64_t m_idleUntilNs = 0;
};
