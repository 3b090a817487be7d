#pragma once

#include "shell/win32/Win32Api.h"

#include <functional>
#include <string>

class CAboutDlg;
class CDialog;
class CPasswordDlg;
class CPortSettingDlg;

// The dialogs a person drives, each run modally on its template, and the transfer dialog.
int RunPasswordDialog(HINSTANCE resources, HWND owner, CPasswordDlg& dlg);
int RunPortDialog(HINSTANCE resources, HWND owner, CPortSettingDlg& dlg,
                  const std::function<std::string(short)>& portNamer);
int RunAboutDialog(HINSTANCE resources, HWND owner, CAboutDlg& dlg);

// How a person stops a transfer dialog: `stopped` is set by its Stop button, and by Escape and
// its close box, which first ask where the dialog `asks` (the programming transfer) and the
// person answers Yes. The transfer goes on while the question is open.
struct TransferStop {
    bool stopped = false;
    bool asks = false;
    std::string caption;  // of the question: the program's
    HINSTANCE resources = nullptr;
    HWND question = nullptr;  // the open question, or nullptr
};

// A transfer dialog, modeless (its host runs the modal loop): the dialog's title, its progress
// bar and Stop button where it has them.
HWND CreateTransferDialog(HINSTANCE resources, HWND owner, const CDialog& dlg, TransferStop* stop);
// Escape or the close box on a transfer dialog: stops it, or asks first (see TransferStop).
void CloseTransfer(HWND window, TransferStop& stop);
// Shows the dialog's status text and progress.
void ShowTransferState(HWND window, const CDialog& dlg);

// The text of a control or window.
std::string WindowText(HWND window);
