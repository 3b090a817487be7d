#include "link/ProgramDlg.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "framework/FileSeal.h"
#include "framework/Globals.h"
#include "framework/Host.h"
#include "framework/InstallPaths.h"
#include "framework/WorkFolder.h"
#include "image/DrovaneDoc.h"

namespace {
constexpr const char* kTitle = "Programming .....";
constexpr const char* kTimeOut = "Time out !";
constexpr const char* kReceiveError = "Receive Error !";
constexpr uint8_t kFrameStart = 0x11;  // leads every frame; also the answer "send the next"
constexpr uint8_t kDone = 0x06;
constexpr uint8_t kPadding = 0xFF;
constexpr int kCountdownPauses = 10;
constexpr int kCountdownPauseMs = 100;
}  // namespace

CProgramDlg::CProgramDlg() : CTransferDlg(kTitle, {.progressBar = true}) {}

bool CProgramDlg::PreLoaderUsable() {
    return FileLengthWithin(PreLoaderPath(), kMaxPreLoaderBytes);
}

bool CProgramDlg::OnInitDialog() {
    // A transfer that cannot start reports nothing sent, not the figures of the one before.
    m_nBytesSent = 0;
    m_startNs = m_endNs = m_lineFreeNs = GetHost().GetClock().NowNs();
    if (g_bKernelLoaded != 0) {
        m_nLength = LoadFile(PreLoaderPath());
        if (m_nLength < 0 || m_nLength > kMaxPreLoaderBytes) {
            AfxMessageBox(kPreLoaderReadError);
            EndTransfer(false);
            return false;
        }
    } else {
        // Only the image this run built goes to the unit.
        const std::string path = WorkFile(kImageFile);
        m_nLength = LoadFile(path);
        if (m_nLength >= 0 &&
            !MatchesSeal(path, std::string_view(reinterpret_cast<const char*>(m_buffer.data()),
                                                m_buffer.size()))) {
            m_nLength = -1;
        }
        if (m_nLength < 0) {
            AfxMessageBox(kImageReadError);
            EndTransfer(false);
            return false;
        }
    }
    // The last block is padded to a whole frame, and the padding is summed like any data.
    m_buffer.resize((m_buffer.size() + kBlockBytes - 1) / kBlockBytes * kBlockBytes, kPadding);
    m_nState = 0;
    m_nOffset = 0;
    m_byChecksum = 0;
    g_nAckPolls = 0;
    m_bAnswered = false;
    SetProgressRange(0, m_nLength);
    SetProgressPos(0);
    m_strText = "0 %";
    UpdateData(false);
    SetTimer(kWorkTimer, kStartDelayMs);
    return false;
}

void CProgramDlg::OnTimer(int id) {
    if (id != kWorkTimer) {
        return;
    }
    KillTimer(kWorkTimer);
    Guarded([this] {
        // An answer that lets the next frame go is acted on at once, in the same tick.
        while (Step() && m_nState == 0) {
        }
        if (!IsEnded()) {
            SetTimer(kWorkTimer, kPollMs);
        }
    });
    if (!m_bAnswered) {
        m_endNs = std::max(GetHost().GetClock().NowNs(), m_lineFreeNs);
    }
}

bool CProgramDlg::Step() {
    CMSComm& comm = m_pView->m_comm;
    Clock& clock = GetHost().GetClock();
    if (m_nState == 0) {
        m_nOffset += kBlockBytes;
        CByteArray frame;
        if (m_nOffset > static_cast<int>(m_buffer.size())) {
            const uint8_t closing[] = {kFrameStart, static_cast<uint8_t>(0xFF - m_byChecksum)};
            FillByteArray(frame, closing, sizeof closing);
        } else {
            const int shown = std::min(m_nOffset, m_nLength);
            char text[64];
            std::snprintf(text, sizeof text, "Step%d/%d: %d%%", g_nStepIndex + 1, g_nStepCount,
                          static_cast<int>(static_cast<int64_t>(shown) * 100 / m_nLength));
            m_strText = text;
            SetProgressPos(shown);
            UpdateData(false);
            const uint8_t* block = m_buffer.data() + (m_nOffset - kBlockBytes);
            FillByteArray(frame, &kFrameStart, 1);
            frame.insert(frame.end(), block, block + kBlockBytes);
            for (int i = 0; i < kBlockBytes; ++i) {
                m_byChecksum = static_cast<uint8_t>(m_byChecksum + block[i]);
            }
        }
        SendFrame(frame);
        m_nState = 1;
        m_waitStartNs = clock.NowNs();
    }
    if (clock.NowNs() - m_waitStartNs >= kAnswerTimeoutMs * kNsPerMs) {
        g_nAckPolls = 0;
        AfxMessageBox(kTimeOut);
        EndTransfer(false);
        return false;
    }
    if (comm.GetInBufferCount() == 0) {
        ++g_nAckPolls;
        // Until the answer comes or its time is up, further polls find nothing either.
        IdleUntilInputOr(m_waitStartNs + kAnswerTimeoutMs * kNsPerMs);
        return true;
    }
    g_nAckPolls = 0;
    const CByteArray answer = comm.GetInput();
    if (ReplyEquals(answer, {kFrameStart})) {
        // After the closing frame the offset stays past the end, so the closing frame goes again.
        m_nState = 0;
        return true;
    }
    // Completion while frames of the image remain unsent means the unit did not take it all. A
    // loader that counts the announced length may answer after the last data frame.
    if (ReplyEquals(answer, {kDone}) && m_nOffset >= static_cast<int>(m_buffer.size())) {
        // The countdown is the unit's restart, not the transfer. A frame sent again on a
        // doubled answer may still be on the line; the transfer lasts until it is out.
        m_endNs = std::max(clock.NowNs(), m_lineFreeNs);
        m_bAnswered = true;
        if (g_nStepIndex + 1 < g_nStepCount && !CountDownRestart()) {
            EndTransfer(false);
            return false;
        }
        EndTransfer(true);
        return false;
    }
    AfxMessageBox(kReceiveError);
    EndTransfer(false);
    return false;
}

double CProgramDlg::LineShare(int64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) * kBitsPerByte / kLineBaud / seconds : 0;
}

void CProgramDlg::SendFrame(const CByteArray& frame) {
    m_pView->m_comm.Output(frame);
    m_nBytesSent += static_cast<int64_t>(frame.size());
    // When the last byte sent leaves the line at the port's rate.
    const int64_t byteNs = kNsPerSecond * kBitsPerByte / m_pView->m_comm.GetSettings().baud;
    m_lineFreeNs = std::max(m_lineFreeNs, GetHost().GetClock().NowNs()) +
                   static_cast<int64_t>(frame.size()) * byteNs;
}

bool CProgramDlg::CountDownRestart() {
    for (int n = kRestartSeconds; n >= 1; --n) {
        char text[32];
        std::snprintf(text, sizeof text, "Restart %.2d Sec.", n - 1);
        m_strText = text;
        for (int pause = 0; pause < kCountdownPauses; ++pause) {
            Sleep(kCountdownPauseMs);
            if (GetHost().RunStopped()) {
                return false;
            }
        }
        SetProgressPos(std::min(m_nOffset, m_nLength));
        UpdateData(false);
    }
    return true;
}
