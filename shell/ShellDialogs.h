#pragma once

#include <string>
#include <vector>

#include "framework/Dialog.h"
#include "framework/Edition.h"

// The password prompt of the protection switch. The field is empty at every prompt.
class CPasswordDlg : public CDialog {
public:
    CPasswordDlg() : CDialog("Password", {}) {}
    bool OnInitDialog() override {
        m_strPassword.clear();
        return true;
    }
    std::string m_strPassword;
};

// The port choice, COM1 to COM6. It keeps its state in g_nPortChoice and commits it to
// g_nCommPort on OK only.
class CPortSettingDlg : public CDialog {
public:
    static constexpr int kPorts = 6;

    CPortSettingDlg() : CDialog("Serial Port Setting", {}) {}
    // Marks the current port; a stored number outside 2..6 shows COM1 and is reset to 1.
    bool OnInitDialog() override;
    void OnRadio(int port);
    void OnOK() override;
    // The port whose radio is marked.
    int Checked() const;
};

// The about box of an edition.
class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(Edition edition);
    std::string m_strVersion;
    std::vector<std::string> m_firstBlock;
    std::vector<std::string> m_secondBlock;
};
