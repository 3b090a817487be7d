#include "shell/win32/Win32Dialogs.h"

#include <vector>

#include "framework/Dialog.h"
#include "link/PortList.h"
#include "shell/win32/resource.h"
#include "view/DesktopTexts.h"
#include "view/ShellDialogs.h"

namespace {

constexpr int kPortRadios[] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4, IDC_COM5, IDC_COM6};
constexpr const char* kNoSystemPort = "System ports...";
constexpr const char* kPortNameTip = "A port by name; leave empty to use the numbered port above";
// The space below a transfer dialog's text when it has no Stop button, in dialog units.
constexpr int kTransferMarginDlu = 7;
// The longest text read back from a control.
constexpr int kMaxControlText = 1024;

template <typename T>
T* Context(HWND window) {
    return reinterpret_cast<T*>(GetWindowLongPtrA(window, DWLP_USER));
}

void KeepContext(HWND window, LPARAM context) {
    SetWindowLongPtrA(window, DWLP_USER, context);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

void SetIcons(HINSTANCE resources, HWND window) {
    const auto icon = [resources](int side) {
        return reinterpret_cast<LPARAM>(
            LoadImageA(resources, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, side, side, 0));
    };
    SendMessageA(window, WM_SETICON, ICON_BIG, icon(GetSystemMetrics(SM_CXICON)));
    SendMessageA(window, WM_SETICON, ICON_SMALL, icon(GetSystemMetrics(SM_CXSMICON)));
}

// A tooltip on each of `controls`, its text from `tip`.
void AddTips(HWND dialog, const std::vector<std::pair<int, std::string>>& controls) {
    HWND tips = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0, 0,
                                dialog, nullptr, nullptr, nullptr);
    for (const auto& [id, text] : controls) {
        TOOLINFOA info{};
        info.cbSize = sizeof info;
        info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        info.hwnd = dialog;
        info.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(dialog, id));
        info.lpszText = const_cast<char*>(text.c_str());
        SendMessageA(tips, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info));
    }
}

INT_PTR CALLBACK PasswordProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            KeepContext(window, lParam);
            auto* dlg = reinterpret_cast<CPasswordDlg*>(lParam);
            dlg->OnInitDialog();  // the field is empty at every prompt
            SetDlgItemTextA(window, IDC_PASSWORD, dlg->m_strPassword.c_str());
            return TRUE;
        }
        case WM_COMMAND: {
            auto* dlg = Context<CPasswordDlg>(window);
            const int id = LOWORD(wParam);
            if (id == IDC_PASSWORD_OK || id == IDOK) {  // the button, or Enter
                dlg->m_strPassword = WindowText(GetDlgItem(window, IDC_PASSWORD));
                dlg->OnOK();
                EndDialog(window, dlg->Result());
                return TRUE;
            }
            if (id == IDCANCEL) {  // Escape, the close box
                dlg->OnCancel();
                EndDialog(window, dlg->Result());
                return TRUE;
            }
            return FALSE;
        }
        default:
            return FALSE;
    }
}

struct PortContext {
    CPortSettingDlg* dlg;
    const std::function<std::string(short)>* namer;
    std::vector<std::string> systemPorts;
};

INT_PTR CALLBACK PortProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            KeepContext(window, lParam);
            auto* context = reinterpret_cast<PortContext*>(lParam);
            CPortSettingDlg& dlg = *context->dlg;
            dlg.OnInitDialog();
            SendDlgItemMessageA(window, kPortRadios[dlg.Checked() - 1], BM_SETCHECK, BST_CHECKED,
                                0);
            HWND combo = GetDlgItem(window, IDC_SYSTEM_PORTS);
            SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kNoSystemPort));
            for (const SerialPortInfo& port : ListSerialPorts()) {
                const std::string text =
                    port.name + (port.description.empty() ? "" : "  " + port.description);
                SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
                context->systemPorts.push_back(port.name);
            }
            SendMessageA(combo, CB_SETCURSEL, 0, 0);
            SetDlgItemTextA(window, IDC_PORT_NAME, dlg.m_strPortName.c_str());
            std::vector<std::pair<int, std::string>> tips;
            if (*context->namer) {
                for (int port = 1; port <= CPortSettingDlg::kPorts; ++port) {
                    tips.emplace_back(kPortRadios[port - 1],
                                      (*context->namer)(static_cast<short>(port)));
                }
            }
            tips.emplace_back(IDC_PORT_NAME, kPortNameTip);
            AddTips(window, tips);
            return TRUE;
        }
        case WM_COMMAND: {
            auto* context = Context<PortContext>(window);
            CPortSettingDlg& dlg = *context->dlg;
            const int id = LOWORD(wParam);
            for (int port = 1; port <= CPortSettingDlg::kPorts; ++port) {
                if (id == kPortRadios[port - 1] && HIWORD(wParam) == BN_CLICKED) {
                    dlg.OnRadio(port);
                    return TRUE;
                }
            }
            if (id == IDC_SYSTEM_PORTS && HIWORD(wParam) == CBN_SELCHANGE) {
                const LRESULT index = SendDlgItemMessageA(window, id, CB_GETCURSEL, 0, 0);
                if (index > 0 && static_cast<size_t>(index) <= context->systemPorts.size()) {
                    SetDlgItemTextA(window, IDC_PORT_NAME,
                                    context->systemPorts[static_cast<size_t>(index) - 1].c_str());
                }
                return TRUE;
            }
            if (id == IDOK) {
                std::string name = WindowText(GetDlgItem(window, IDC_PORT_NAME));
                const size_t first = name.find_first_not_of(" \t");
                const size_t last = name.find_last_not_of(" \t");
                dlg.OnPortName(first == std::string::npos ? ""
                                                          : name.substr(first, last - first + 1));
                dlg.OnOK();
                EndDialog(window, dlg.Result());
                return TRUE;
            }
            if (id == IDCANCEL) {
                dlg.OnCancel();
                EndDialog(window, dlg.Result());
                return TRUE;
            }
            return FALSE;
        }
        default:
            return FALSE;
    }
}

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            KeepContext(window, lParam);
            auto* dlg = reinterpret_cast<CAboutDlg*>(lParam);
            SetWindowTextA(window, dlg->Title().c_str());
            SetDlgItemTextA(window, IDC_VERSION, dlg->m_strVersion.c_str());
            SetDlgItemTextA(window, IDC_FIRST_BLOCK, Joined(dlg->m_firstBlock).c_str());
            SetDlgItemTextA(window, IDC_SECOND_BLOCK, Joined(dlg->m_secondBlock).c_str());
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                auto* dlg = Context<CAboutDlg>(window);
                dlg->OnOK();
                EndDialog(window, dlg->Result());
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

INT_PTR CALLBACK QuestionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            KeepContext(window, lParam);
            const auto& stop = *reinterpret_cast<TransferStop*>(lParam);
            SetWindowTextA(window, stop.caption.c_str());
            SetDlgItemTextA(window, IDC_STATIC_TEXT, StopProgrammingQuestion().c_str());
            SendDlgItemMessageA(window, IDC_QUESTION_ICON, STM_SETICON,
                                reinterpret_cast<WPARAM>(LoadIconA(nullptr, IDI_QUESTION)), 0);
            SetFocus(GetDlgItem(window, IDNO));
            return FALSE;  // the focus is set
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDYES || LOWORD(wParam) == IDNO || LOWORD(wParam) == IDCANCEL) {
                Context<TransferStop>(window)->stopped |= LOWORD(wParam) == IDYES;
                DestroyWindow(window);
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            Context<TransferStop>(window)->question = nullptr;
            return FALSE;
        default:
            return FALSE;
    }
}

INT_PTR CALLBACK TransferProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            KeepContext(window, lParam);
            return TRUE;
        case WM_CLOSE:  // the close box
            CloseTransfer(window, *Context<TransferStop>(window));
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL) {  // a Stop press (the host takes Escape first)
                Context<TransferStop>(window)->stopped = true;
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

std::string WindowText(HWND window) {
    std::vector<char> text(kMaxControlText, '\0');
    const int length = GetWindowTextA(window, text.data(), kMaxControlText);
    return std::string(text.data(), static_cast<size_t>(std::max(length, 0)));
}

int RunPasswordDialog(HINSTANCE resources, HWND owner, CPasswordDlg& dlg) {
    dlg.BeginModal();
    DialogBoxParamA(resources, MAKEINTRESOURCEA(IDD_PASSWORD), owner, PasswordProc,
                    reinterpret_cast<LPARAM>(&dlg));
    if (!dlg.IsEnded()) {
        dlg.OnCancel();  // the template could not be shown
    }
    return dlg.Result();
}

int RunPortDialog(HINSTANCE resources, HWND owner, CPortSettingDlg& dlg,
                  const std::function<std::string(short)>& portNamer) {
    dlg.BeginModal();
    PortContext context{&dlg, &portNamer, {}};
    DialogBoxParamA(resources, MAKEINTRESOURCEA(IDD_PORT), owner, PortProc,
                    reinterpret_cast<LPARAM>(&context));
    if (!dlg.IsEnded()) {
        dlg.OnCancel();
    }
    return dlg.Result();
}

int RunAboutDialog(HINSTANCE resources, HWND owner, CAboutDlg& dlg) {
    dlg.BeginModal();
    DialogBoxParamA(resources, MAKEINTRESOURCEA(IDD_ABOUTBOX), owner, AboutProc,
                    reinterpret_cast<LPARAM>(&dlg));
    if (!dlg.IsEnded()) {
        dlg.OnOK();
    }
    return dlg.Result();
}

void CloseTransfer(HWND window, TransferStop& stop) {
    if (!stop.asks) {
        stop.stopped = true;
        return;
    }
    if (stop.question != nullptr) {
        SetForegroundWindow(stop.question);
        return;
    }
    // Modeless and owned by the transfer dialog: the transfer goes on while the person reads
    // (the unit's loader gives up a transfer that pauses), and ends the question with it.
    stop.question = CreateDialogParamA(stop.resources, MAKEINTRESOURCEA(IDD_STOP_QUESTION), window,
                                       QuestionProc, reinterpret_cast<LPARAM>(&stop));
    if (stop.question == nullptr) {
        return;  // no question can be shown: the transfer goes on
    }
    ShowWindow(stop.question, SW_SHOW);
}

HWND CreateTransferDialog(HINSTANCE resources, HWND owner, const CDialog& dlg, TransferStop* stop) {
    stop->asks = AsksBeforeStop(dlg);
    stop->resources = resources;
    HWND window = CreateDialogParamA(resources, MAKEINTRESOURCEA(IDD_TRANSFER), owner, TransferProc,
                                     reinterpret_cast<LPARAM>(stop));
    if (window == nullptr) {
        return nullptr;
    }
    SetWindowTextA(window, dlg.Title().c_str());
    SetIcons(resources, window);
    if (!dlg.HasProgress()) {
        ShowWindow(GetDlgItem(window, IDC_TRANSFER_PROGRESS), SW_HIDE);
    }
    if (!dlg.HasStopButton()) {
        // No Stop button: the dialog ends a margin below its text.
        ShowWindow(GetDlgItem(window, IDCANCEL), SW_HIDE);
        RECT text{};
        GetWindowRect(GetDlgItem(window, IDC_TRANSFER_TEXT), &text);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&text), 2);
        RECT margin{0, 0, 0, kTransferMarginDlu};
        MapDialogRect(window, &margin);
        RECT client{};
        GetClientRect(window, &client);
        RECT frame{};
        GetWindowRect(window, &frame);
        const int shorter = client.bottom - (text.bottom + margin.bottom);
        SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left,
                     frame.bottom - frame.top - shorter, SWP_NOMOVE | SWP_NOZORDER);
    }
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    return window;
}

void ShowTransferState(HWND window, const CDialog& dlg) {
    SetDlgItemTextA(window, IDC_TRANSFER_TEXT, dlg.StatusText().c_str());
    if (dlg.HasProgress()) {
        HWND bar = GetDlgItem(window, IDC_TRANSFER_PROGRESS);
        SendMessageA(bar, PBM_SETRANGE32, static_cast<WPARAM>(dlg.ProgressLow()),
                     std::max(dlg.ProgressHigh(), dlg.ProgressLow() + 1));
        SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(dlg.ProgressPos()), 0);
    }
}
