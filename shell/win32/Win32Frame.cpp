#include "shell/win32/Win32Frame.h"

#include <commdlg.h>

#include <vector>

#include "shell/win32/Win32Dialogs.h"
#include "shell/win32/Win32Host.h"
#include "shell/win32/resource.h"
#include "view/CommandIds.h"

namespace {

constexpr DWORD kFrameStyle = WS_OVERLAPPEDWINDOW & ~WS_THICKFRAME & ~WS_MAXIMIZEBOX;
constexpr COLORREF kBackground = RGB(128, 64, 0);
constexpr COLORREF kRectangleBack = RGB(125, 125, 125);
constexpr COLORREF kTransparentKey = RGB(255, 0, 255);
constexpr int kMaxString = 512;
// The open dialog's filter: the document string's, then every file (the model is recognised
// from the name, so the extension is not checked).
constexpr char kOpenFilter[] = "mot Files (*.mot)\0*.mot\0All Files (*.*)\0*.*\0";

// A toolbar resource as windres stores it: button size, then each button's command (0 for a
// separator), each a 32-bit word.
struct ToolBarResource {
    DWORD width;
    DWORD height;
    DWORD count;
    DWORD items[1];
};

}  // namespace

Win32Frame::Win32Frame(HINSTANCE code, HINSTANCE resources, Edition edition, Win32Host& host,
                       CMSComm& comm, SettingsStore& settings)
    : m_code(code),
      m_resources(resources),
      m_edition(edition),
      m_host(host),
      m_core(edition, comm, *this, settings) {}

Win32Frame::~Win32Frame() {
    if (m_window != nullptr) {
        m_quitOnDestroy = false;
        DestroyWindow(m_window);
    }
    if (m_images != nullptr) {
        ImageList_Destroy(m_images);
    }
    m_host.SetWindow(nullptr);
    m_host.SetStatusDrawer(nullptr);
    m_host.SetIdle(nullptr);
}

bool Win32Frame::Create() {
    const char* className = FrameTextsOf(m_edition).windowClass;
    WNDCLASSEXA existing{};
    existing.cbSize = sizeof existing;
    if (!GetClassInfoExA(m_code, className, &existing)) {
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = m_code;
        windowClass.hIcon = static_cast<HICON>(
            LoadImageA(m_resources, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                       GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
        windowClass.hIconSm = static_cast<HICON>(
            LoadImageA(m_resources, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                       GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
        windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = className;
        if (RegisterClassExA(&windowClass) == 0) {
            return false;
        }
    }
    m_accelerators = LoadAcceleratorsA(m_resources, MAKEINTRESOURCEA(IDR_MAINFRAME));
    HMENU menu = LoadMenuA(m_resources, MAKEINTRESOURCEA(IDR_MAINFRAME));
    if (m_accelerators == nullptr || menu == nullptr) {
        return false;
    }
    CreateWindowExA(0, className, "", kFrameStyle, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                    CW_USEDEFAULT, nullptr, menu, m_code, this);
    if (m_window == nullptr) {
        return false;
    }
    DragAcceptFiles(m_window, TRUE);
    m_host.SetWindow(m_window);
    m_host.SetStatusDrawer(
        [this](int x, int y, const std::string& text) { SetFormStatus(x, y, text); });
    m_host.SetIdle([this] { RefreshCommands(); });
    m_core.Start();
    return true;
}

LRESULT CALLBACK Win32Frame::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* frame =
            static_cast<Win32Frame*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        frame->m_window = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(frame));
    }
    auto* frame = reinterpret_cast<Win32Frame*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (frame == nullptr) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    const LRESULT result = frame->OnMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        frame->m_window = nullptr;
    }
    return result;
}

LRESULT Win32Frame::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate() ? 0 : -1;
        case WM_SIZE:
            Layout();
            return 0;
        case WM_SETFOCUS:
            return 0;  // the frame keeps the focus, so the letter keys reach the accelerators
        case WM_COMMAND:
            m_core.RunCommand(LOWORD(wParam));
            return 0;
        case WM_INITMENUPOPUP:
            OnInitMenuPopup(reinterpret_cast<HMENU>(wParam));
            return 0;
        case WM_MENUSELECT: {
            const UINT flags = HIWORD(wParam);
            if (flags == 0xFFFF && lParam == 0) {
                SetStatusText(kIdlePrompt);  // the menu closed
            } else if ((flags & (MF_POPUP | MF_SEPARATOR)) != 0) {
                SetStatusText("");
            } else {
                SetStatusText(CommandString(LOWORD(wParam), false));
            }
            return 0;
        }
        case WM_EXITMENULOOP:
            SetStatusText(kIdlePrompt);
            return 0;
        case WM_NOTIFY:
            return OnNotify(reinterpret_cast<NMHDR*>(lParam));
        case WM_DROPFILES:
            OnDropFiles(reinterpret_cast<HDROP>(wParam));
            return 0;
        case WM_POWERBROADCAST:
            // Every suspend query is refused, whatever runs; every other event acknowledged.
            return wParam == PBT_APMQUERYSUSPEND ? BROADCAST_QUERY_DENY : TRUE;
        case WM_CLOSE:
            DestroyWindow(m_window);
            return 0;
        case WM_DESTROY:
            if (m_quitOnDestroy) {
                PostQuitMessage(0);
            }
            return 0;
        default:
            return DefWindowProcA(m_window, message, wParam, lParam);
    }
}

bool Win32Frame::OnCreate() {
    if (!CreateToolBar()) {
        return false;
    }
    m_statusBar =
        CreateWindowExA(0, STATUSCLASSNAMEA, kIdlePrompt, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0,
                        m_window, reinterpret_cast<HMENU>(AFX_IDW_STATUS_BAR), m_code, nullptr);
    if (m_statusBar == nullptr) {
        return false;
    }
    int parts[] = {-1};  // one stretching pane, no key-state panes
    SendMessageA(m_statusBar, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(parts));
    SetStatusText(kIdlePrompt);
    m_form = CreateDialogParamA(m_resources, MAKEINTRESOURCEA(IDD_FORM), m_window, FormProc,
                                reinterpret_cast<LPARAM>(this));
    if (m_form == nullptr) {
        return false;
    }
    ShowWindow(m_form, SW_SHOW);
    return true;
}

bool Win32Frame::CreateToolBar() {
    HRSRC found = FindResourceA(m_resources, MAKEINTRESOURCEA(IDR_MAINFRAME),
                                MAKEINTRESOURCEA(RT_TOOLBAR_RESOURCE));
    HGLOBAL loaded = found != nullptr ? LoadResource(m_resources, found) : nullptr;
    const auto* layout =
        loaded != nullptr ? static_cast<const ToolBarResource*>(LockResource(loaded)) : nullptr;
    if (layout == nullptr) {
        return false;
    }
    m_toolBar =
        CreateWindowExA(0, TOOLBARCLASSNAMEA, nullptr,
                        WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_TOP, 0, 0, 0,
                        0, m_window, reinterpret_cast<HMENU>(AFX_IDW_TOOLBAR), m_code, nullptr);
    if (m_toolBar == nullptr) {
        return false;
    }
    SendMessageA(m_toolBar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    SendMessageA(m_toolBar, TB_SETBITMAPSIZE, 0,
                 MAKELPARAM(static_cast<WORD>(layout->width), static_cast<WORD>(layout->height)));
    HBITMAP strip = static_cast<HBITMAP>(LoadImageA(m_resources, MAKEINTRESOURCEA(IDR_MAINFRAME),
                                                    IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (strip == nullptr) {
        return false;
    }
    m_images = ImageList_Create(static_cast<int>(layout->width), static_cast<int>(layout->height),
                                ILC_COLOR24 | ILC_MASK, 4, 0);
    ImageList_AddMasked(m_images, strip, kTransparentKey);
    DeleteObject(strip);
    SendMessageA(m_toolBar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(m_images));
    std::vector<TBBUTTON> buttons;
    int image = 0;
    for (DWORD i = 0; i < layout->count; ++i) {
        TBBUTTON button{};
        button.idCommand = static_cast<int>(layout->items[i]);
        if (button.idCommand == 0) {
            button.fsStyle = BTNS_SEP;
        } else {
            button.iBitmap = image++;
            button.fsState = TBSTATE_ENABLED;
            button.fsStyle = BTNS_BUTTON;
        }
        buttons.push_back(button);
    }
    SendMessageA(m_toolBar, TB_ADDBUTTONSA, buttons.size(),
                 reinterpret_cast<LPARAM>(buttons.data()));
    SendMessageA(m_toolBar, TB_AUTOSIZE, 0, 0);
    return true;
}

void Win32Frame::Layout() {
    if (m_toolBar == nullptr || m_statusBar == nullptr) {
        return;
    }
    SendMessageA(m_toolBar, TB_AUTOSIZE, 0, 0);
    SendMessageA(m_statusBar, WM_SIZE, 0, 0);
    if (m_form != nullptr) {
        RECT bar{};
        GetWindowRect(m_toolBar, &bar);
        SetWindowPos(m_form, nullptr, 0, bar.bottom - bar.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void Win32Frame::FitToForm() {
    if (m_window == nullptr || m_form == nullptr) {
        return;
    }
    RECT form{};
    RECT bar{};
    RECT status{};
    GetWindowRect(m_form, &form);
    GetWindowRect(m_toolBar, &bar);
    GetWindowRect(m_statusBar, &status);
    const int width = form.right - form.left;
    const int height =
        (bar.bottom - bar.top) + (form.bottom - form.top) + (status.bottom - status.top);
    RECT wanted{0, 0, width, height};
    AdjustWindowRectEx(&wanted, kFrameStyle, TRUE, 0);
    SetWindowPos(m_window, nullptr, 0, 0, wanted.right - wanted.left, wanted.bottom - wanted.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // A menu bar that wraps onto a second line takes from the client area: give it back.
    RECT client{};
    GetClientRect(m_window, &client);
    const int missing = height - (client.bottom - client.top);
    if (missing != 0) {
        RECT frame{};
        GetWindowRect(m_window, &frame);
        SetWindowPos(m_window, nullptr, 0, 0, frame.right - frame.left,
                     frame.bottom - frame.top + missing,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    Layout();
}

void Win32Frame::SetCaption(const std::string& caption) {
    SetWindowTextA(m_window, caption.c_str());
}

std::string Win32Frame::ChooseFileToOpen() {
    char path[MAX_PATH] = {};
    OPENFILENAMEA open{};
    open.lStructSize = sizeof open;
    open.hwndOwner = m_window;
    open.lpstrFilter = kOpenFilter;
    open.lpstrFile = path;
    open.nMaxFile = MAX_PATH;
    open.lpstrTitle = kOpenTitle;
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
    return GetOpenFileNameA(&open) ? std::string(path) : std::string();
}

void Win32Frame::CloseFrame() {
    PostMessageA(m_window, WM_CLOSE, 0, 0);
}

void Win32Frame::RefreshCommands() {
    if (m_toolBar == nullptr) {
        return;
    }
    for (unsigned id : kToolbarCommandIds) {
        const CCmdUI cmdUI = m_core.UpdateOf(id);
        SendMessageA(m_toolBar, TB_ENABLEBUTTON, id,
                     MAKELPARAM(cmdUI.m_bEnabled ? TRUE : FALSE, 0));
        SendMessageA(m_toolBar, TB_CHECKBUTTON, id,
                     MAKELPARAM(cmdUI.m_nCheck != 0 ? TRUE : FALSE, 0));
    }
}

void Win32Frame::OnInitMenuPopup(HMENU menu) {
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        const UINT id = GetMenuItemID(menu, i);
        if (id == 0 || id == static_cast<UINT>(-1)) {
            continue;  // a separator or a pop-up
        }
        const CCmdUI cmdUI = m_core.UpdateOf(id);
        EnableMenuItem(menu, id, MF_BYCOMMAND | (cmdUI.m_bEnabled ? MF_ENABLED : MF_GRAYED));
        CheckMenuItem(menu, id, MF_BYCOMMAND | (cmdUI.m_nCheck != 0 ? MF_CHECKED : MF_UNCHECKED));
    }
}

LRESULT Win32Frame::OnNotify(NMHDR* header) {
    if (header->code == TTN_GETDISPINFOA) {
        auto* info = reinterpret_cast<NMTTDISPINFOA*>(header);
        m_tip = CommandString(static_cast<unsigned>(header->idFrom), true);
        info->lpszText = m_tip.data();
        return 0;
    }
    if (header->hwndFrom == m_toolBar && header->code == TBN_HOTITEMCHANGE) {
        // The pointer rests on a button: its prompt; it left the toolbar: "Ready".
        const auto* hot = reinterpret_cast<NMTBHOTITEM*>(header);
        SetStatusText((hot->dwFlags & HICF_LEAVING) != 0
                          ? std::string(kIdlePrompt)
                          : CommandString(static_cast<unsigned>(hot->idNew), false));
        return 0;
    }
    return 0;
}

void Win32Frame::OnDropFiles(HDROP drop) {
    std::vector<std::string> paths;
    const UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        char path[MAX_PATH] = {};
        if (DragQueryFileA(drop, i, path, MAX_PATH) > 0) {
            paths.emplace_back(path);
        }
    }
    DragFinish(drop);
    SetForegroundWindow(m_window);
    m_core.OpenDropped(paths);
}

std::string Win32Frame::CommandString(unsigned id, bool tip) const {
    char text[kMaxString] = {};
    const int length = LoadStringA(m_resources, id, text, kMaxString);
    const std::string whole(text, static_cast<size_t>(std::max(length, 0)));
    const size_t lineEnd = whole.find('\n');
    if (tip) {
        return lineEnd == std::string::npos ? std::string() : whole.substr(lineEnd + 1);
    }
    return whole.substr(0, lineEnd);
}

void Win32Frame::SetStatusText(const std::string& text) {
    if (m_statusBar != nullptr) {
        SendMessageA(m_statusBar, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
}

std::string Win32Frame::StatusText() const {
    char text[kMaxString] = {};
    const LRESULT length = SendMessageA(m_statusBar, SB_GETTEXTLENGTHA, 0, 0);
    if (LOWORD(length) >= kMaxString) {
        return {};
    }
    SendMessageA(m_statusBar, SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(text));
    return text;
}

bool Win32Frame::TranslateAccelerator(MSG& msg) {
    return m_window != nullptr && IsWindowEnabled(m_window) &&
           TranslateAcceleratorA(m_window, m_accelerators, &msg) != 0;
}

void Win32Frame::SetFormStatus(int x, int y, const std::string& text) {
    m_statusX = x;
    m_statusY = y;
    m_formStatus = text;
    if (m_form != nullptr) {
        InvalidateRect(m_form, nullptr, TRUE);
        UpdateWindow(m_form);  // seen at once, even while a sequence keeps the window busy
    }
}

INT_PTR CALLBACK Win32Frame::FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        return FALSE;  // the frame keeps the focus
    }
    auto* frame = reinterpret_cast<Win32Frame*>(GetWindowLongPtrA(window, DWLP_USER));
    if (frame == nullptr) {
        return FALSE;
    }
    switch (message) {
        case WM_ERASEBKGND: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            HBRUSH brush = CreateSolidBrush(kBackground);
            HGDIOBJ old = SelectObject(dc, brush);
            RECT clip{};
            GetClipBox(dc, &clip);
            PatBlt(dc, clip.left, clip.top, clip.right - clip.left, clip.bottom - clip.top,
                   PATCOPY);
            SelectObject(dc, old);
            DeleteObject(brush);
            SetWindowLongPtrA(window, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            frame->PaintForm(dc);
            EndPaint(window, &paint);
            return TRUE;
        }
        case WM_LBUTTONDOWN:
            SetFocus(frame->m_window);
            return TRUE;
        default:
            return FALSE;
    }
}

void Win32Frame::PaintForm(HDC dc) {
    RECT client{};
    GetClientRect(m_form, &client);
    SetBkColor(dc, kRectangleBack);
    // The paint context's own pen and brush: a white area with a one-pixel black border.
    Rectangle(dc, client.left, client.top, client.right, client.bottom);
    if (m_formStatus.find_first_not_of(' ') != std::string::npos) {
        SetBkColor(dc, RGB(255, 255, 255));
        TextOutA(dc, m_statusX, m_statusY, m_formStatus.c_str(),
                 static_cast<int>(m_formStatus.size()));
    }
}
