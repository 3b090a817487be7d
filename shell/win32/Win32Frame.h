#pragma once

#include "shell/win32/Win32Api.h"

#include <string>

#include "framework/Edition.h"
#include "view/FrameLogic.h"

class CMSComm;
class Win32Host;

// The Win32 main window: the edition's menu, flat toolbar with tooltips, accelerators and a
// one-pane status bar around the form (brown background, white rectangle, the status words).
// Fixed size: no sizing border and no maximise box; after every initial update the client area
// fits the form between toolbar and status bar. Everything that is not a Win32 call is in
// FrameCore.
class Win32Frame : public FrameWindow {
public:
    // `code` is the module whose window procedure the class names, `resources` the module
    // holding menu, toolbar, bitmap, icons, strings and dialogs (the program itself, or a
    // program loaded as data by tests).
    Win32Frame(HINSTANCE code, HINSTANCE resources, Edition edition, Win32Host& host, CMSComm& comm,
               SettingsStore& settings);
    ~Win32Frame() override;
    Win32Frame(const Win32Frame&) = delete;
    Win32Frame& operator=(const Win32Frame&) = delete;

    // Creates the window (hidden) with an empty document; false when a part cannot be made.
    bool Create();
    // The program's frame ends the message loop when it is destroyed.
    void QuitOnDestroy(bool quit) { m_quitOnDestroy = quit; }
    // For the main loop: a key of the accelerator table, turned into its command.
    bool TranslateAccelerator(MSG& msg);
    // The idle refresh: the toolbar's check marks and enabled states from the update rules.
    void OnIdle() { RefreshCommands(); }

    FrameCore& Core() { return m_core; }
    HWND Handle() const { return m_window; }
    HWND Form() const { return m_form; }
    HWND ToolBar() const { return m_toolBar; }
    HWND StatusBar() const { return m_statusBar; }
    std::string StatusText() const;
    // The status words the flash sequences write on the form, and where.
    void SetFormStatus(int x, int y, const std::string& text);
    const std::string& FormStatus() const { return m_formStatus; }

    // FrameWindow
    void SetCaption(const std::string& caption) override;
    void FitToForm() override;
    std::string ChooseFileToOpen() override;
    void CloseFrame() override;
    void RefreshCommands() override;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    bool OnCreate();
    bool CreateToolBar();
    void Layout();
    void OnInitMenuPopup(HMENU menu);
    LRESULT OnNotify(NMHDR* header);
    void OnDropFiles(HDROP drop);
    void PaintForm(HDC dc);
    // The first line of the command's string (the prompt) or its second (the tooltip).
    std::string CommandString(unsigned id, bool tip) const;
    void SetStatusText(const std::string& text);

    HINSTANCE m_code;
    HINSTANCE m_resources;
    Edition m_edition;
    Win32Host& m_host;
    FrameCore m_core;
    HWND m_window = nullptr;
    HWND m_toolBar = nullptr;
    HWND m_statusBar = nullptr;
    HWND m_form = nullptr;
    HACCEL m_accelerators = nullptr;
    HIMAGELIST m_images = nullptr;
    bool m_quitOnDestroy = false;
    int m_statusX = 5;
    int m_statusY = 5;
    std::string m_formStatus;
    std::string m_tip;  // the tooltip text handed out last, alive until the next one
};
