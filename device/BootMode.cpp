#include "device/DrovaneView.h"
#include "device/Messages.h"
#include "framework/Globals.h"
#include "framework/Host.h"
#include "framework/WorkFolder.h"
#include "image/DrovaneDoc.h"

namespace {

constexpr const char* kResetSystemA = "Reset System(A) !";
constexpr const char* kResetSystemB = "Reset System(B) !";
constexpr const char* kNotReadyA = "Boot mode System not Ready (A)!";
constexpr const char* kNotReadyB = "Boot Mode System not Ready(B) !";
constexpr const char* kSettingFailed = "Boot Mode Setting Failed";
constexpr const char* kBootEnabled = "Boot Mode has been Enabled !";
constexpr const char* kUserModeDisabled = "User Mode Disabled !";

// The boot program's handshake: 0x00 until 0x00 comes back, then 0x55 answered by 0xAA.
constexpr uint8_t kSync = 0x00;
constexpr uint8_t kQuery = 0x55;

// The controller needs the lines to settle: after they drop, before the port closes; and after
// the user-mode setting, before the pre-loader is addressed.
constexpr int kLinesDropMs = 100;
constexpr int kUserModeSettleMs = 10;

}  // namespace

void CDrovaneView::OnFlashAction() {
    Guarded([this] {
        if (g_bDataReady == 0) {
            AfxMessageBox(kDataNotReady);
            return;
        }
        OnBaud9600();
        if (m_bUserMode == 1) {
            ResetPort();
            AfxMessageBox(kResetSystemA, MB_OK | MB_ICONINFORMATION);
            return;
        }
        if (g_bBootMode == 1) {
            ResetPort();
            AfxMessageBox(kResetSystemB, MB_OK | MB_ICONINFORMATION);
            return;
        }
        // The boot program erases the flash once it has the kernel: everything the road will
        // send must be there before the first byte goes out.
        if (!BootFilesReady()) {
            return;
        }
        m_comm.SetDTREnable(true);
        m_comm.SetRTSEnable(true);
        m_comm.SetPortOpen(true);
        m_comm.SetInputMode(1);
        m_bBootHandshake = 1;
        m_bSyncReceived = 0;
        if (!SendAndWait({kSync})) {
            AfxMessageBox(kNotReadyA);
            ResetPort();
            return;
        }
        if (!SendAndWait({kQuery})) {
            AfxMessageBox(kNotReadyB);
            ResetPort();
            return;
        }
        g_bBootMode = 1;
        g_bKernelLoaded = 0;
        m_bBootHandshake = 0;
        SetBootMode();
        if (g_bBootMode == 0) {
            return;
        }
        OnWriteData();  // the kernel writes the pre-loader
        if (g_bBootMode == 0) {
            return;
        }
        // The reset starts the pre-loader; the port is opened again for it.
        ResetPort();
        OpenPort();
        OnUserMode();
        Sleep(kUserModeSettleMs);
        if (m_bUserMode == 0) {
            return;
        }
        // The application image is a run of one step.
        g_nStepCount = 1;
        g_nStepIndex = 0;
        OnWriteData();
    });
}

bool CDrovaneView::BootFilesReady() {
    const char* missing = nullptr;
    if (!CKernelDownloadDlg::KernelUsable()) {
        missing = CKernelDownloadDlg::kReadError;
    } else if (!CProgramDlg::PreLoaderUsable()) {
        missing = CProgramDlg::kPreLoaderReadError;
    } else if (GetImageFileSize(WorkFile(kImageFile), true) < 0) {
        missing = CProgramDlg::kImageReadError;
    }
    if (missing == nullptr) {
        return true;
    }
    AfxMessageBox(missing);
    ResetPort();
    return false;
}

void CDrovaneView::OnUserMode() {
    Guarded([this] {
        if (g_bBootMode == 1) {
            AfxMessageBox(kBootEnabled, MB_OK | MB_ICONSTOP);
            return;
        }
        if (m_bUserMode == 1) {
            ResetPort();
            AfxMessageBox(kUserModeDisabled, MB_OK | MB_ICONSTOP);
            return;
        }
        if (m_bBaud9600 == 0 && m_bBaud19200 == 0 && m_bBaud38400 == 0) {
            AfxMessageBox(kSelectBaudRate);
            return;
        }
        m_comm.SetDTREnable(true);
        m_comm.SetRTSEnable(false);
        m_bUserMode = 1;
    });
}

void CDrovaneView::SetBootMode() {
    m_comm.SetInputMode(1);
    m_dlgKernel.SetView(this);
    if (m_dlgKernel.DoModal() != IDOK) {
        AfxMessageBox(kSettingFailed);
        ResetPort();
    }
}

void CDrovaneView::ResetPort() {
    m_comm.SetDTREnable(false);
    m_comm.SetRTSEnable(false);
    Sleep(kLinesDropMs);
    m_comm.SetPortOpen(false);
    ClearModeFlags();
}

void CDrovaneView::ClearModeFlags() {
    g_bBootMode = 0;
    m_bBootHandshake = 0;
    g_bKernelLoaded = 0;
    m_bUserMode = 0;
    m_bProgramming = 0;
}
