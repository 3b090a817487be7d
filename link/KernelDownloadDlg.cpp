#include "link/KernelDownloadDlg.h"

#include <cstdio>

#include "framework/Globals.h"
#include "framework/Host.h"
#include "framework/InstallPaths.h"

namespace {
constexpr const char* kTitle = "Boot mode Download .....";
constexpr const char* kTimeOut = "Time out !";
constexpr const char* kReceiveError = "Receive Error(A)!";
constexpr uint8_t kKernelDone = 0xAA;
}  // namespace

CKernelDownloadDlg::CKernelDownloadDlg() : CTransferDlg(kTitle, {.progressBar = true}) {}

bool CKernelDownloadDlg::KernelUsable() {
    return FileLengthWithin(KernelPath(), kMaxKernelLength);
}

bool CKernelDownloadDlg::OnInitDialog() {
    m_nLength = LoadFile(KernelPath());
    if (m_nLength < 0 || m_nLength > kMaxKernelLength) {
        AfxMessageBox(kReadError);
        EndTransfer(false);
        return false;
    }
    m_nState = 0;
    m_nRetry = 0;
    m_nPhase = 0;
    m_nCur = 0;
    SetProgressRange(0, m_nLength);
    SetProgressPos(0);
    m_strText = "0 %";
    UpdateData(false);
    SetTimer(kWorkTimer, kStartDelayMs);
    return true;
}

void CKernelDownloadDlg::OnTimer(int id) {
    if (id == kWorkTimer) {
        Guarded([this] { Download(); });
    }
}

void CKernelDownloadDlg::Download() {
    CMSComm& comm = m_pView->m_comm;
    const CByteArray done = {kKernelDone};
    Clock& clock = GetHost().GetClock();
    CByteArray lastSent;
    int64_t waitStartNs = clock.NowNs();
    while (g_bKernelLoaded == 0) {
        KillTimer(kWorkTimer);
        const bool allSent = m_nPhase == 2 && m_nCur >= static_cast<size_t>(m_nLength);
        if (m_nState == 0) {
            waitStartNs = clock.NowNs();
            m_nState = 1;
            if (!allSent) {
                uint8_t byte;
                if (m_nPhase == 0) {
                    byte = static_cast<uint8_t>(m_nLength >> 8);
                } else if (m_nPhase == 1) {
                    byte = static_cast<uint8_t>(m_nLength);
                } else {
                    byte = m_buffer[m_nCur];
                }
                FillByteArray(lastSent, &byte, 1);
                comm.Output(lastSent);
            }
        }
        // Awaiting the echo, or the closing answer once every byte is echoed.
        const int limitMs = allSent ? kDoneTimeoutMs : kEchoTimeoutMs;
        if (clock.NowNs() - waitStartNs > limitMs * kNsPerMs) {
            KillTimer(kWorkTimer);
            AfxMessageBox(kTimeOut);
            EndTransfer(false);
            return;
        }
        if (GetHost().RunStopped()) {  // the command line's stop signal
            EndTransfer(false);
            return;
        }
        if (comm.GetInBufferCount() == 0) {
            GetHost().WaitForInputUntil(waitStartNs + limitMs * kNsPerMs + 1);
            continue;
        }
        const CByteArray reply = comm.GetInput();
        waitStartNs = clock.NowNs();
        if (allSent && ReplyEquals(reply, done)) {
            g_bKernelLoaded = 1;
            EndTransfer(true);
            return;
        }
        if (!allSent && ReplyEquals(reply, lastSent)) {
            if (m_nPhase < 2) {
                ++m_nPhase;
            } else {
                ++m_nCur;
                SetProgressPos(static_cast<int>(m_nCur));
                m_strText = std::to_string(static_cast<int>(m_nCur) * 100 / m_nLength) + " %";
                UpdateData(false);
            }
            m_nRetry = 0;
            m_nState = 0;
            continue;
        }
        // A wrong reply: the same byte goes again, and only an echo counts as progress.
        m_nState = 0;
        if (++m_nRetry >= kMaxBadEchoes) {
            AfxMessageBox(kReceiveError);
            EndTransfer(false);
            return;
        }
    }
}
