#include "view/ShellDialogs.h"

#include "framework/Globals.h"

bool CPortSettingDlg::OnInitDialog() {
    if (g_nCommPort < 2 || g_nCommPort > kPorts) {
        g_nCommPort = 1;
    }
    g_nPortChoice = g_nCommPort;
    m_strPortName = g_strPortName;
    return true;
}

void CPortSettingDlg::OnRadio(int port) {
    g_nPortChoice = port;
}

void CPortSettingDlg::OnOK() {
    g_nCommPort = g_nPortChoice;
    g_strPortName = m_strPortName;
    CDialog::OnOK();
}

int CPortSettingDlg::Checked() const {
    return g_nPortChoice;
}

namespace {
const char* AboutCaption(Edition edition) {
    return edition == Edition::A ? "About IAP SOP" : "About Lumbrook Series Flash_LB1~6K";
}
}  // namespace

CAboutDlg::CAboutDlg(Edition edition) : CDialog(AboutCaption(edition), {}) {
    m_strVersion = edition == Edition::A ? "Version 1.1.1" : "Version 2.0.0.1";
    m_firstBlock = {"Instruction:", "Step 1: Load the firmware file. ( *.mot )",
                    "Step 2: Select Serial Port.", "Step 3: Press \"Flash\" button."};
    m_secondBlock = {edition == Edition::A
                         ? "Step 4: The programming process will start after 20           seconds."
                         : "Step 4: The programming process will start after 20 seconds.",
                     "Step 5: Wait few minutes, depends on PC speed.",
                     "Step 6: Flash upgrade finished."};
}
