#include "device/DrovaneView.h"
#include "device/Messages.h"
#include "framework/FileIo.h"
#include "framework/FileSeal.h"
#include "framework/Globals.h"
#include "framework/Host.h"
#include "framework/InstallPaths.h"
#include "framework/WorkFolder.h"
#include "image/DrovaneDoc.h"

namespace {

constexpr const char* kSystemNotReady = "System not ready. Please repeat the flash action again !";
constexpr const char* kImageReadError = CProgramDlg::kImageReadError;
constexpr const char* kPreLoaderReadError = CProgramDlg::kPreLoaderReadError;
constexpr const char* kTableNotAcknowledged = "System not Ready !";
constexpr const char* kLengthNotAcknowledged = "System not Ready(B) !";
constexpr const char* kProgrammingError =
    "Programming Process Error.\nPlease try again after 40 seconds!\nPlease press the red arrow "
    "button for restart!";
constexpr const char* kProgrammed = "Programming successfully !";

// The start addresses of the eight flash blocks of the unit's controller, as the loader expects
// them: 'W', the count, then each address high byte first.
const CByteArray kBlockTable = {0x57, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04,
                                0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x0C, 0x00,
                                0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00,
                                0x01, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00};
constexpr uint8_t kAbort = 0x06;
constexpr int kBeforeTableMs = 500;

CByteArray LengthFrame(uint32_t length) {
    return {0x00,
            0x00,
            0x00,
            0x00,
            static_cast<uint8_t>(length >> 24),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length)};
}

}  // namespace

int CDrovaneView::GetImageFileSize(const std::string& path, bool sealed) {
    std::string content;
    std::string reason;
    if (!ReadWholeFile(path, content, reason) || content.empty() ||
        (sealed && !MatchesSeal(path, content))) {
        return -1;
    }
    return static_cast<int>(content.size());
}

void CDrovaneView::OnWriteData() {
    Guarded([this] {
        if (m_bUserMode == 0 && g_bBootMode == 0) {
            AfxMessageBox(kSystemNotReady);
            return;
        }
        if (g_bDataReady == 0 && m_bUserMode != 0) {
            AfxMessageBox(kDataNotReady);
            return;
        }
        const bool preLoader = g_bKernelLoaded != 0;
        m_nImageSize = preLoader ? GetImageFileSize(PreLoaderPath())
                                 : GetImageFileSize(WorkFile(kImageFile), true);
        if (m_nImageSize < 0) {
            // Nothing is announced for an image that is not there.
            AfxMessageBox(preLoader ? kPreLoaderReadError : kImageReadError);
            ResetPort();
            return;
        }
        Sleep(kBeforeTableMs);
        if (!SendAndWait(kBlockTable)) {
            m_bSendFailed = true;
            AfxMessageBox(kTableNotAcknowledged);
            SendBytes(&kAbort, 1);
            ResetPort();
            return;
        }
        if (!SendAndWait(LengthFrame(static_cast<uint32_t>(m_nImageSize)))) {
            m_bSendFailed = true;
            AfxMessageBox(kLengthNotAcknowledged);
            SendBytes(&kAbort, 1);
            ResetPort();
            return;
        }
        m_bProgramming = 1;
        if (g_bBootMode != 0 || m_bUserMode != 0) {
            OnSendProgram();
        }
    });
}

void CDrovaneView::OnSendProgram() {
    Guarded([this] {
        m_comm.SetInputMode(1);
        m_dlgProgram.SetView(this);
        const int result = m_dlgProgram.DoModal();
        // Only an application image completes a command; the pre-loader is a step on the way.
        m_bLastTransferDone = result == IDOK && g_bKernelLoaded == 0;
        if (g_bKernelLoaded == 0 && !m_blockTries.empty()) {
            m_blockTries.back().done = m_bLastTransferDone;
        }
        m_bSendFailed = result != IDOK && !GetHost().RunStopped();
        if (m_onTransferEnd) {
            m_onTransferEnd(m_dlgProgram);
        }
        if (result != IDOK) {
            AfxMessageBox(kProgrammingError);
            m_bProgramming = 0;
            ResetPort();
            return;
        }
        if (g_bKernelLoaded == 0) {
            if (++g_nStepIndex == g_nStepCount) {
                AfxMessageBox(kProgrammed, MB_OK | MB_ICONINFORMATION);
            }
            ResetPort();
        }
        m_bProgramming = 0;
    });
}
