// The view's side that faces the window: the protection switch, the command routing and the
// update rules of the view's commands.

#include "device/DrovaneView.h"
#include "framework/CmdUI.h"
#include "framework/Globals.h"
#include "framework/Host.h"
#include "view/CommandIds.h"

namespace {
constexpr const char* kPassword = "WRITE7315";
constexpr const char* kProtectionDisabled = "Protection disabled !";
constexpr const char* kIncorrectPassword = "Incorrect password !";
constexpr const char* kEnableProtection = "Enable protection ?";
}  // namespace

void CDrovaneView::OnProtect() {
    if (m_bProtected != 0) {
        if (m_dlgPassword.DoModal() != IDOK) {
            return;
        }
        if (m_dlgPassword.m_strPassword == kPassword) {
            m_bProtected = 0;
            AfxMessageBox(kProtectionDisabled, MB_OK | MB_ICONINFORMATION);
        } else {
            AfxMessageBox(kIncorrectPassword, MB_OK | MB_ICONSTOP);
        }
        return;
    }
    if (AfxMessageBox(kEnableProtection, MB_OKCANCEL) == IDOK) {
        m_bProtected = 1;
    }
}

bool CDrovaneView::OnCommand(unsigned id) {
    switch (id) {
        case ID_FLASH:
            OnFlash();
            return true;
        case ID_MPPT:
            OnMppt();
            return true;
        case ID_FLASH_RESTART:
            OnFlashRestart();
            return true;
        case ID_FLASH_ACTION:
            OnFlashAction();
            return true;
        case ID_USER_MODE:
            OnUserMode();
            return true;
        case ID_WRITE_DATA:
            OnWriteData();
            return true;
        case ID_SEND_PROGRAM:
            OnSendProgram();
            return true;
        case ID_PROTECT:
            OnProtect();
            return true;
        case ID_BAUD_38400:
            OnBaud38400();
            return true;
        case ID_BAUD_19200:
            OnBaud19200();
            return true;
        case ID_BAUD_9600:
            OnBaud9600();
            return true;
        case ID_BAUD_2400:
            OnBaud2400();
            return true;
        default:
            return false;
    }
}

bool CDrovaneView::OnUpdateCommand(CCmdUI& cmdUI) const {
    switch (cmdUI.m_nID) {
        case ID_WRITE_DATA:
            cmdUI.Enable(m_bProgramming == 0);
            return true;
        case ID_SEND_PROGRAM:
            cmdUI.Enable(m_bProgramming != 0);
            return true;
        case ID_FLASH:
        case ID_MPPT:
        case ID_FLASH_RESTART:
            cmdUI.SetCheck(m_bFlashBusy);
            return true;
        case ID_FLASH_ACTION:
            cmdUI.SetCheck(g_bBootMode != 0 ? 1 : 0);
            return true;
        case ID_USER_MODE:
            cmdUI.SetCheck(m_bUserMode == 1 ? 1 : 0);
            return true;
        case ID_PROTECT:
            cmdUI.SetCheck(m_bProtected);
            return true;
        case ID_BAUD_38400:
            cmdUI.SetCheck(m_bBaud38400);
            return true;
        case ID_BAUD_19200:
            cmdUI.SetCheck(m_bBaud19200);
            return true;
        case ID_BAUD_9600:
            cmdUI.SetCheck(m_bBaud9600);
            return true;
        case ID_BAUD_2400:
            cmdUI.SetCheck(m_bBaud2400);
            return true;
        default:
            return false;
    }
}
