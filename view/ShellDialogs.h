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

// The port choice, COM1 to COM6, or a port by name (any system port, a device path, a network
// address). It keeps its state in g_nPortChoice and m_strPortName and commits them to
// g_nCommPort and g_strPortName on OK only.
class CPortSettingDlg : public CDialog {
public:
    static constexpr int kPorts = 6;

    CPortSettingDlg() : CDialog("Serial Port Setting", {}) {}
    // Marks the current port; a stored number outside 2..6 shows COM1 and is reset to 1.
    bool OnInitDialog() override;
    void OnRadio(int port);
    void OnPortName(const std::string& name) { m_strPortName = name; }
    void OnOK() override;
    // The port whose radio is marked.
    int Checked() const;

    std::string m_strPortName;
};

// The about box of an edition.
class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(Edition edition);
    std::string m_strVersion;
    std::vector<std::string> m_firstBlock;
    std::vector<std::string> m_secondBlock;
};
