#include <string>

#include "device/DrovaneView.h"
#include "framework/Globals.h"
#include "framework/Host.h"

namespace {

// The failure message asks a person to wait this long: by then the loader has given the
// failed transfer up and waits for a new block table.
constexpr int kLoaderGiveUpMs = 40000;
// A unit is given this long after its restart to answer the identification again.
constexpr int kComeBackLimitMs = 60000;
constexpr int kPauseStepMs = 100;

constexpr const char* kNotBack = "The unit did not come back after programming";

}  // namespace

void CDrovaneView::BeginBlock(const std::string& name) {
    m_blockTries.push_back({name, 1, false});
    m_bSendFailed = false;
}

bool CDrovaneView::PauseUnlessStopped(int ms) {
    for (int waited = 0; waited < ms; waited += kPauseStepMs) {
        if (GetHost().RunStopped()) {
            return false;
        }
        Sleep(std::min(kPauseStepMs, ms - waited));
    }
    return !GetHost().RunStopped();
}

bool CDrovaneView::RetryFailedBlock() {
    while (m_bSendFailed && !m_blockTries.empty() && m_blockTries.back().tries <= m_nRetries) {
        BlockTry& block = m_blockTries.back();
        ++block.tries;
        if (m_onNote) {
            m_onNote("Retrying the " + block.name + " block (" + std::to_string(block.tries) +
                     " of " + std::to_string(m_nRetries + 1) + ") in " +
                     std::to_string(kLoaderGiveUpMs / 1000) + " s");
        }
        if (!PauseUnlessStopped(kLoaderGiveUpMs)) {
            return false;
        }
        // The restart road: the unit waits in its loader for the block table.
        m_bSendFailed = false;
        m_bLastTransferDone = false;
        if (!m_comm.GetPortOpen()) {
            m_comm.SetCommPort(static_cast<short>(g_nCommPort));
        }
        m_comm.SetPortOpen(true);
        m_comm.SetInputMode(1);
        OnBaud9600();
        OnUserMode();
        OnWriteData();
        m_bFlashBusy = 0;
        if (m_bLastTransferDone) {
            return true;
        }
    }
    return false;
}

bool CDrovaneView::ConfirmUnit() {
    if (m_onNote) {
        m_onNote("Waiting for the unit to restart");
    }
    if (!PauseUnlessStopped(CProgramDlg::kRestartSeconds * 1000)) {
        return false;
    }
    Clock& clock = GetHost().GetClock();
    const int64_t deadlineNs = clock.NowNs() + int64_t{kComeBackLimitMs} * kNsPerMs;
    OpenPort();
    do {
        IdentifyUnit();
    } while (!m_lastUnit.answered && clock.NowNs() < deadlineNs && !GetHost().RunStopped());
    ResetPort();
    if (!m_lastUnit.answered) {
        if (!GetHost().RunStopped()) {
            AfxMessageBox(kNotBack);
        }
        return false;
    }
    if (m_runUnit && m_runUnit->answered &&
        (m_lastUnit.model != m_runUnit->model || m_lastUnit.id != m_runUnit->id)) {
        AfxMessageBox(std::string(kNotBack) + ": " + m_lastUnit.Describe() +
                      " answered instead of " + m_runUnit->Describe());
        return false;
    }
    return true;
}
