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

// A transfer dialog, modeless (its host runs the modal loop): the dialog's title, its progress
// bar and Stop button where it has them. `cancelled` is set when a person stops it (the Stop
// button, Escape, the close box).
HWND CreateTransferDialog(HINSTANCE resources, HWND owner, const CDialog& dlg, bool* cancelled);
// Shows the dialog's status text and progress.
void ShowTransferState(HWND window, const CDialog& dlg);

// The text of a control or window.
std::string WindowText(HWND window);
