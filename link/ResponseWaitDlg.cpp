#include "link/ResponseWaitDlg.h"

#include <cstdio>

#include "framework/Host.h"

namespace {
constexpr const char* kTitle = "Waiting for System Response ...";
constexpr const char* kBootResponseError = "Boot Mode Response Error !";
constexpr const char* kResponseError = "Response Error(A) !";
constexpr const char* kTimeOut = "Time out !";
constexpr uint8_t kSync = 0x00;
constexpr uint8_t kBootAnswer = 0xAA;
constexpr uint8_t kNext = 0x11;
constexpr uint8_t kAck = 0x06;

std::string TickText(int ticks) {
    char text[32];
    std::snprintf(text, sizeof text, "Parsing... %02d", ticks);
    return text;
}
}  // namespace

CResponseWaitDlg::CResponseWaitDlg() : CTransferDlg(kTitle, {.stopButton = true}) {}

bool CResponseWaitDlg::OnInitDialog() {
    SetTimer(kWorkTimer, kTickMs);
    m_nTicks = 0;
    m_strText = TickText(0);
    UpdateData(false);
    return true;
}

void CResponseWaitDlg::OnTimer(int id) {
    if (id == kWorkTimer) {
        Guarded([this] { Poll(); });
    }
}

void CResponseWaitDlg::Poll() {
    CMSComm& comm = m_pView->m_comm;
    const bool waiting = comm.GetInBufferCount() > 0;
    if (m_pView->m_bBootHandshake == 1) {
        if (waiting) {
            KillTimer(kWorkTimer);
            const CByteArray reply = comm.GetInput();
            if (ReplyEquals(reply, {kSync})) {
                m_pView->m_bSyncReceived = 1;
                OnOK();
            } else if (ReplyEquals(reply, {kBootAnswer})) {
                OnOK();
            } else {
                AfxMessageBox(kBootResponseError, MB_OK | MB_ICONSTOP);
                OnCancel();
            }
            return;
        }
        if (m_pView->m_bSyncReceived == 0) {
            CByteArray sync;
            FillByteArray(sync, &kSync, 1);
            comm.Output(sync);
        }
    } else if (waiting) {
        KillTimer(kWorkTimer);
        const CByteArray reply = comm.GetInput();
        if (ReplyEquals(reply, {kAck}) || ReplyEquals(reply, {kNext})) {
            OnOK();
        } else {
            AfxMessageBox(kResponseError, MB_OK | MB_ICONSTOP);
            OnCancel();
        }
        return;
    }
    if (++m_nTicks >= kMaxTicks) {
        KillTimer(kWorkTimer);
        AfxMessageBox(kTimeOut);
        OnCancel();
        return;
    }
    m_strText = TickText(m_nTicks);
    UpdateData(false);
}
