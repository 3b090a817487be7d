#pragma once

#include <QPointer>

#include <functional>
#include <memory>
#include <string>

#include "framework/Host.h"

class QDialog;
class QLabel;
class QMessageBox;
class QProgressBar;
class QWidget;
class CFormView;

// The desktop's host: message boxes with the edition's application name as caption (OK, OK and
// Cancel, or Yes and No, with the default button the type names), the transfer dialogs as real
// windows with their text, progress bar and Stop button, and the
// person-driven dialogs (password, port, about). Waits keep the windows painting, so the
// countdown and the tick counts are seen. With a virtual clock (tests), waits take no time.
class QtHost : public Host {
public:
    QtHost(Clock& clock, bool virtualTime, std::string applicationName);
    ~QtHost() override;

    // The main window (parent of every dialog) and the form whose status line DrawText writes.
    void SetWindow(QWidget* window, CFormView* form);
    // Names the system port behind a port number, for the port dialog's tooltips.
    void SetPortNamer(std::function<std::string(short)> namer) { m_portNamer = std::move(namer); }

    int MessageBox(const std::string& text, unsigned type) override;
    int RunModal(CDialog& dlg) override;
    void Show(const CDialog& dlg) override;
    void DrawText(int x, int y, const std::string& text) override;
    void Sleep(int ms) override;
    void WaitForInputUntil(int64_t ns) override;
    void PauseUntil(int64_t ns) override;

    const std::string& ApplicationName() const { return m_applicationName; }

    // A transfer dialog is open.
    bool TransferOpen() const { return m_transfer != nullptr; }
    // What the open transfer's close box does (nothing without one): stops it at once, or for
    // the programming transfer asks first, while it goes on. The main window's close box during
    // a transfer does the same.
    void CloseTransfer();

protected:
    void OpenDialog(CDialog& dlg) override;
    void CloseDialog(CDialog& dlg) override;
    bool WaitUntil(CDialog& dlg, int64_t ns) override;

private:
    class TransferDialog;
    class InputBlocker;
    struct TransferWindow;

    // The window a message box stands on: the open transfer, else the main window when it is
    // on screen, else none.
    QWidget* BoxOwner() const;
    std::unique_ptr<QMessageBox> MakeBox(const std::string& text, unsigned type) const;

    int RunPasswordDialog(class CPasswordDlg& dlg);
    int RunPortDialog(class CPortSettingDlg& dlg);
    int RunAboutDialog(class CAboutDlg& dlg);
    // Lets the windows paint (and, unless `paintOnly`, take input) for at most `ms`.
    void Pump(int ms, bool paintOnly);

    bool m_virtualTime;
    std::string m_applicationName;
    QPointer<QWidget> m_window;
    CFormView* m_form = nullptr;
    std::function<std::string(short)> m_portNamer;
    std::unique_ptr<TransferWindow> m_transfer;
};
