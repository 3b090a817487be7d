#include "framework/Dialog.h"

#include <algorithm>

#include "framework/Host.h"

CDialog::CDialog(std::string title, Controls controls)
    : m_strTitle(std::move(title)), m_controls(controls) {}

int CDialog::DoModal() {
    return GetHost().RunModal(*this);
}

void CDialog::OnOK() {
    UpdateData(true);
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::SetTimer(int id, int ms) {
    KillTimer(id);
    const int64_t periodNs = static_cast<int64_t>(ms) * kNsPerMs;
    m_timers.push_back({id, periodNs, GetHost().GetClock().NowNs() + periodNs});
}

void CDialog::KillTimer(int id) {
    std::erase_if(m_timers, [id](const Timer& timer) { return timer.id == id; });
}

void CDialog::EndDialog(int result) {
    m_timers.clear();
    m_bEnded = true;
    m_nResult = result;
}

void CDialog::UpdateData(bool saveAndValidate) {
    if (!saveAndValidate) {
        GetHost().Show(*this);
    }
}

void CDialog::BeginModal() {
    m_timers.clear();
    m_bEnded = false;
    m_nResult = 0;
}

const CDialog::Timer* CDialog::NextTimer() const {
    const auto next =
        std::min_element(m_timers.begin(), m_timers.end(),
                         [](const Timer& a, const Timer& b) { return a.dueNs < b.dueNs; });
    return next == m_timers.end() ? nullptr : &*next;
}

void CDialog::TimerFired(int id, int64_t nowNs) {
    m_idleUntilNs = 0;
    for (Timer& timer : m_timers) {
        if (timer.id == id) {
            // A tick that ran late is not made up for: the next one follows a period later.
            timer.dueNs = std::max(timer.dueNs + timer.periodNs, nowNs);
        }
    }
}

void CDialog::SetProgressRange(int low, int high) {
    m_nProgressLow = low;
    m_nProgressHigh = high;
}

void CDialog::SetProgressPos(int pos) {
    m_nProgressPos = pos;
}
