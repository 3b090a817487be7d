// The Win32 main window driven by its messages, in virtual time against the simulated unit.
// The resources are the built programs' own, loaded as data. Runs under Wine on a display.
#include "shell/win32/Win32Api.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <set>

#include "framework/Globals.h"
#include "framework/WorkFolder.h"
#include "image/DrovaneDoc.h"
#include "image/MotImage.h"
#include "link/SelectableComm.h"
#include "shell/win32/Win32App.h"
#include "shell/win32/Win32Dialogs.h"
#include "shell/win32/Win32Frame.h"
#include "shell/win32/Win32Host.h"
#include "shell/win32/Win32Settings.h"
#include "shell/win32/resource.h"
#include "sim/SimComm.h"
#include "tests/support/ProgramState.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"
#include "view/CommandIds.h"
#include "view/DesktopTexts.h"

namespace {

using Texts = std::vector<std::string>;
constexpr int kMessageTextId = 0xFFFF;  // the text of a system message box
constexpr UINT kLookMs = 5;
// A person at a real-time window looks less often: the benchmark measures the window, not them.
constexpr UINT kRealTimeLookMs = 250;

// A built program as a resource module; the build names it by its POSIX path, which Wine
// reaches through drive Z:.
HMODULE Resources(Edition edition) {
    static HMODULE modules[2] = {};
    HMODULE& module = modules[edition == Edition::A ? 0 : 1];
    if (module == nullptr) {
        std::string path =
            edition == Edition::A ? FLASHTOOL_EDITION_A_EXE : FLASHTOOL_EDITION_B_EXE;
        if (!path.empty() && path[0] == '/') {
            path = "Z:" + path;
        }
        module = LoadLibraryExA(path.c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    return module;
}

std::string ResourceString(Edition edition, UINT id) {
    char text[512] = {};
    const int length = LoadStringA(Resources(edition), id, text, sizeof text);
    return std::string(text, static_cast<size_t>(std::max(length, 0)));
}

std::string RegistryString(const std::string& key, const char* value) {
    char data[1024] = {};
    DWORD size = sizeof data;
    if (RegGetValueA(HKEY_CURRENT_USER, key.c_str(), value, RRF_RT_REG_SZ, nullptr, data, &size) !=
        ERROR_SUCCESS) {
        return "(missing)";
    }
    return data;
}

// A real HDROP, as the shell hands it to a window that accepts files.
HDROP MakeDrop(const std::vector<std::string>& paths) {
    size_t size = sizeof(DROPFILES) + 1;
    for (const std::string& path : paths) {
        size += path.size() + 1;
    }
    HGLOBAL memory = GlobalAlloc(GHND, size);
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = FALSE;
    char* out = reinterpret_cast<char*>(drop + 1);
    for (const std::string& path : paths) {
        std::copy(path.begin(), path.end(), out);
        out += path.size() + 1;
    }
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

// Plays the person in front of the window: a thread timer (it fires inside every modal loop)
// answers each dialog that comes up, by script where one is given, else with OK, and records
// the message boxes and the other dialogs it saw. Transfer dialogs are only noted.
class Person {
public:
    using Step = std::function<void(HWND)>;

    explicit Person(UINT lookMs = kLookMs) {
        s_person = this;
        m_timer = SetTimer(nullptr, 0, lookMs, Look);
    }
    ~Person() {
        KillTimer(nullptr, m_timer);
        s_person = nullptr;
    }
    void Then(Step step) { m_script.push_back(std::move(step)); }

    Texts m_messages;
    Texts m_captions;
    Texts m_dialogs;
    std::set<std::string> m_transfers;
    HWND m_foregroundAtMessage = nullptr;
    std::function<HWND()> m_transferWindow;
    std::function<void(HWND)> m_onTransfer;  // what the person does to a transfer dialog

private:
    static void CALLBACK Look(HWND, UINT, UINT_PTR, DWORD) {
        if (s_person != nullptr) {
            EnumThreadWindows(GetCurrentThreadId(), Visit, 0);
        }
    }
    static BOOL CALLBACK Visit(HWND window, LPARAM) {
        s_person->Answer(window);
        return TRUE;
    }
    void Answer(HWND window) {
        char className[32] = {};

        GetClassNameA(window, className, sizeof className);
        if (std::string(className) != "#32770" || !IsWindowVisible(window) ||
            GetPropA(window, kAnswered) != nullptr) {
            return;
        }
        if (m_transferWindow && window == m_transferWindow()) {
            m_transfers.insert(WindowText(window));
            if (m_onTransfer) {
                m_onTransfer(window);
            }
            return;
        }
        // Marked on the window itself: a handle value comes back for the next window.
        SetPropA(window, kAnswered, reinterpret_cast<HANDLE>(1));
        const bool box = GetDlgItem(window, kMessageTextId) != nullptr;
        if (box) {
            m_messages.push_back(WindowText(GetDlgItem(window, kMessageTextId)));
            m_captions.push_back(WindowText(window));
        } else {
            m_dialogs.push_back(WindowText(window));
        }
        if (!m_script.empty()) {
            Step step = std::move(m_script.front());
            m_script.pop_front();
            step(window);
            return;
        }
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }

    static inline Person* s_person = nullptr;
    UINT_PTR m_timer = 0;
    static constexpr const char* kAnswered = "answered";
    std::deque<Step> m_script;
};

void Press(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

class Window : public ::testing::Test {
protected:
    void Open(Edition edition, SimUnit::Options unit = {}) {
        ResetProgramState();
        SetWorkFolder("");
        m_frame.reset();
        m_installed.reset();
        ASSERT_NE(Resources(edition), nullptr);
        m_edition = edition;
        m_unit = std::make_unique<SimUnit>(std::move(unit));
        m_comm = std::make_unique<SimComm>(*m_unit, m_clock);
        const std::string name = TextsOf(edition).applicationName;
        m_host = std::make_unique<Win32Host>(m_clock, true, name, Resources(edition));
        m_installed = std::make_unique<ScopedHost>(*m_host);
        m_person.m_transferWindow = [host = m_host.get()] { return host->TransferWindow(); };
        m_settings = std::make_unique<RegistrySettings>(name);
        m_frame = std::make_unique<Win32Frame>(GetModuleHandleA(nullptr), Resources(edition),
                                               edition, *m_host, *m_comm, *m_settings);
        ASSERT_TRUE(m_frame->Create());
        ShowWindow(m_frame->Handle(), SW_SHOW);
        UpdateWindow(m_frame->Handle());
    }
    ~Window() override {
        m_frame.reset();
        m_installed.reset();
    }

    LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return SendMessageA(m_frame->Handle(), message, wParam, lParam);
    }
    // A toolbar button pressed, or a menu item chosen.
    void Button(unsigned id) {
        Send(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(m_frame->ToolBar()));
    }
    void Menu(unsigned id) { Send(WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    void Drop(const std::string& path) {
        Send(WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({path})));
    }
    // The check mark of an item of the first menu, as it shows when the menu opens.
    bool MenuChecked(unsigned id) {
        HMENU first = GetSubMenu(GetMenu(m_frame->Handle()), 0);
        Send(WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(first), 0);
        return (GetMenuState(first, id, MF_BYCOMMAND) & MF_CHECKED) != 0;
    }
    bool ButtonChecked(unsigned id) {
        m_frame->OnIdle();
        return SendMessageA(m_frame->ToolBar(), TB_ISBUTTONCHECKED, id, 0) != 0;
    }
    std::string Caption() { return WindowText(m_frame->Handle()); }

    TempDir m_dir;
    VirtualClock m_clock;
    Edition m_edition = Edition::A;
    std::unique_ptr<SimUnit> m_unit;
    std::unique_ptr<SimComm> m_comm;
    std::unique_ptr<Win32Host> m_host;
    std::unique_ptr<ScopedHost> m_installed;
    std::unique_ptr<RegistrySettings> m_settings;
    std::unique_ptr<Win32Frame> m_frame;
    Person m_person;
};

// The whole road on a real COM port in real time: a Flash through the window into unitsim,
// whose flash is compared with the image byte for byte. The script that runs this test under
// Wine links the port to unitsim's pseudo-terminal and names it and the unit's flash folder.
TEST(WindowOnAComPort, FlashesTheUnitByteForByte) {
    const char* port = std::getenv("FLASHTOOL_E2E_PORT");
    const char* flashDir = std::getenv("FLASHTOOL_E2E_FLASH_DIR");
    if (port == nullptr || flashDir == nullptr) {
        GTEST_SKIP() << "needs FLASHTOOL_E2E_PORT and FLASHTOOL_E2E_FLASH_DIR";
    }
    TempDir dir;
    ResetProgramState();
    SetWorkFolder("");
    const std::string name = TextsOf(Edition::A).applicationName;
    RealClock clock;
    Win32Host host(clock, false, name, Resources(Edition::A));
    ScopedHost installed(host);
    Person person(kRealTimeLookMs);
    g_strPortName = port;
    SelectableComm comm(MakePortByName);
    host.SetInputWatch([&comm](int64_t timeoutNs) { return comm.WaitForInput(timeoutNs); });
    host.SetInputEvent([&comm] { return comm.InputEvent(); });
    RegistrySettings settings(name);
    Win32Frame frame(GetModuleHandleA(nullptr), Resources(Edition::A), Edition::A, host, comm,
                     settings);
    ASSERT_TRUE(frame.Create());
    ShowWindow(frame.Handle(), SW_SHOW);
    // A file given by the benchmark, else a small plain one.
    const char* given = std::getenv("FLASHTOOL_E2E_FILE");
    const std::string file = given != nullptr ? FileNameOf(given) : "LB1~4K_e2e.mot";
    WriteText(file, given != nullptr ? ReadText(given) : SrecFile(RecordLines(64)));
    SendMessageA(frame.Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({dir.Path(file)})),
                 0);
    SendMessageA(frame.Handle(), WM_COMMAND, MAKEWPARAM(ID_FLASH, BN_CLICKED), 0);
    EXPECT_EQ(person.m_messages,
              (Texts{"You will update " + file + " !", "Programming successfully !"}));
    // After a 6K run the image is the control block's, the last one sent.
    const std::string image = ReadText(kImageFile);
    ASSERT_FALSE(image.empty());
    // unitsim writes its flash once the loader has taken the closing frame.
    const std::string flashFile = std::string(flashDir) + "/control.bin";
    std::string flash;
    for (int i = 0; i < 50 && flash.size() < image.size(); ++i) {
        Sleep(100);
        flash = ReadText(flashFile);
    }
    ASSERT_GE(flash.size(), image.size());
    EXPECT_EQ(flash.substr(0, image.size()), image);
}

TEST_F(Window, ResourcesOfBothEditions) {
    for (Edition edition : {Edition::A, Edition::B}) {
        const FrameTexts& texts = FrameTextsOf(edition);
        EXPECT_EQ(ResourceString(edition, AFX_IDS_APP_TITLE), TextsOf(edition).applicationName);
        EXPECT_EQ(ResourceString(edition, AFX_IDS_IDLEMESSAGE), kIdlePrompt);
        EXPECT_EQ(ResourceString(edition, IDR_MAINFRAME), texts.documentString);
        for (unsigned id : kViewCommandIds) {
            EXPECT_EQ(ResourceString(edition, id), StatusString(id)) << id;
        }
        for (unsigned id :
             {ID_FILE_NEW, ID_FILE_OPEN, ID_APP_EXIT, ID_APP_ABOUT, ID_PORT_SETTING}) {
            EXPECT_EQ(ResourceString(edition, id), StatusString(id)) << id;
        }
        HMENU menu = LoadMenuA(Resources(edition), MAKEINTRESOURCEA(IDR_MAINFRAME));
        char text[128] = {};
        GetMenuStringA(menu, 0, text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(text, texts.fileMenu);
        GetMenuStringA(menu, 1, text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(text, texts.settingMenu);
        EXPECT_EQ(GetMenuItemID(menu, 1), ID_PORT_SETTING);  // a plain item, not a pop-up
        GetMenuStringA(GetSubMenu(menu, 2), 0, text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(text, texts.aboutItem);
        DestroyMenu(menu);
        HACCEL table = LoadAcceleratorsA(Resources(edition), MAKEINTRESOURCEA(IDR_MAINFRAME));
        ACCEL keys[32] = {};
        const int count = CopyAcceleratorTableA(table, keys, 32);
        ASSERT_EQ(count, static_cast<int>(std::size(kAcceleratorKeys)));
        for (int i = 0; i < count; ++i) {
            const AcceleratorKey& key = kAcceleratorKeys[i];
            EXPECT_EQ(keys[i].key, key.key) << i;
            EXPECT_EQ(keys[i].cmd, key.id) << i;
            EXPECT_EQ((keys[i].fVirt & FCONTROL) != 0, key.control) << i;
            EXPECT_EQ((keys[i].fVirt & FSHIFT) != 0, key.shift) << i;
            EXPECT_EQ((keys[i].fVirt & FALT) != 0, key.alt) << i;
        }
        DestroyAcceleratorTable(table);
    }
}

TEST_F(Window, FrameCaptionStatusPowerAndDrop) {
    Open(Edition::A);
    EXPECT_EQ(Caption(), "Untitled - Quorvane IAP ");
    const LONG style = GetWindowLongA(m_frame->Handle(), GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
    EXPECT_NE(style & WS_MINIMIZEBOX, 0);
    EXPECT_EQ(SendMessageA(m_frame->StatusBar(), SB_GETPARTS, 0, 0), 1);
    EXPECT_EQ(m_frame->StatusText(), "Ready");
    const auto fits = [this] {
        RECT client{}, form{}, bar{}, status{};
        GetClientRect(m_frame->Handle(), &client);
        GetWindowRect(m_frame->Form(), &form);
        GetWindowRect(m_frame->ToolBar(), &bar);
        GetWindowRect(m_frame->StatusBar(), &status);
        return client.right == form.right - form.left &&
               client.bottom ==
                   (bar.bottom - bar.top) + (form.bottom - form.top) + (status.bottom - status.top);
    };
    EXPECT_TRUE(fits());

    // The prompt while an item is highlighted, "Ready" once the menu closes; a button's prompt
    // while the pointer rests on it, and its tooltip.
    HMENU menu = GetMenu(m_frame->Handle());
    Send(WM_MENUSELECT, MAKEWPARAM(ID_FILE_OPEN, MF_HILITE), reinterpret_cast<LPARAM>(menu));
    EXPECT_EQ(m_frame->StatusText(), "Open firmware file");
    Send(WM_MENUSELECT, MAKEWPARAM(ID_PORT_SETTING, MF_HILITE), reinterpret_cast<LPARAM>(menu));
    EXPECT_EQ(m_frame->StatusText(), "Setting Serial Port");
    Send(WM_MENUSELECT, MAKEWPARAM(0, 0xFFFF), 0);
    EXPECT_EQ(m_frame->StatusText(), "Ready");
    NMTBHOTITEM hot{};
    hot.hdr = {m_frame->ToolBar(), AFX_IDW_TOOLBAR, static_cast<UINT>(TBN_HOTITEMCHANGE)};
    hot.idNew = ID_FLASH_RESTART;
    Send(WM_NOTIFY, AFX_IDW_TOOLBAR, reinterpret_cast<LPARAM>(&hot));
    EXPECT_EQ(m_frame->StatusText(),
              "Start the flash programming again while Lumbrook is waiting for flash");
    hot.dwFlags = HICF_LEAVING;
    Send(WM_NOTIFY, AFX_IDW_TOOLBAR, reinterpret_cast<LPARAM>(&hot));
    EXPECT_EQ(m_frame->StatusText(), "Ready");
    NMTTDISPINFOA tip{};
    tip.hdr = {m_frame->ToolBar(), ID_FLASH, static_cast<UINT>(TTN_GETDISPINFOA)};
    Send(WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&tip));
    EXPECT_STREQ(tip.lpszText, "Flash");

    // Suspend queries are refused, idle as in a run; other power events acknowledged.
    EXPECT_EQ(Send(WM_POWERBROADCAST, PBT_APMQUERYSUSPEND), BROADCAST_QUERY_DENY);
    EXPECT_EQ(Send(WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC), TRUE);

    // Check marks follow the flags, in the menu and on the toolbar.
    EXPECT_FALSE(MenuChecked(ID_FLASH));
    EXPECT_FALSE(ButtonChecked(ID_FLASH));
    m_frame->Core().View().m_bFlashBusy = 1;
    EXPECT_TRUE(MenuChecked(ID_FLASH_RESTART));
    EXPECT_TRUE(ButtonChecked(ID_FLASH));
    m_frame->Core().View().m_bFlashBusy = 0;

    // A dropped file opens like File Open; its absolute path goes to the registry.
    WriteText("LB1~4K_fw.mot", SrecFile(RecordLines(4)));
    Drop(m_dir.Path("LB1~4K_fw.mot"));
    EXPECT_EQ(Caption(), "LB1~4K_fw.mot - Quorvane IAP ");
    EXPECT_TRUE(fits());
    EXPECT_EQ(RegistryString(m_settings->SectionKey(kRecentFileSection), "File1"),
              m_dir.Path("LB1~4K_fw.mot"));
    WriteText("unknown.mot", SrecFile(RecordLines(4)));
    Drop(m_dir.Path("unknown.mot"));
    EXPECT_EQ(Caption(), "LB1~4K_fw.mot - Quorvane IAP ");
    // The letter keys through the accelerator table.
    MSG key{m_frame->Handle(), WM_KEYDOWN, 'B', 0, 0, {}};
    EXPECT_TRUE(m_frame->TranslateAccelerator(key));  // Flash Action Setting: "Initiate" ...
    EXPECT_EQ(m_person.m_messages.at(0), "You will update LB1~4K_fw.mot !");
    EXPECT_EQ(m_person.m_messages.at(1), "This filename is unknown! Please confirm it !");
    EXPECT_GE(m_person.m_messages.size(), 3u);
    Menu(ID_FILE_NEW);
    EXPECT_EQ(Caption(), "Untitled - Quorvane IAP ");
    // The open dialog, cancelled: nothing changes.
    m_person.Then([](HWND dialog) { PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0); });
    MSG open{m_frame->Handle(), WM_KEYDOWN, 'L', 0, 0, {}};
    EXPECT_TRUE(m_frame->TranslateAccelerator(open));
    EXPECT_EQ(m_person.m_dialogs, Texts{"Open"});
    EXPECT_EQ(Caption(), "Untitled - Quorvane IAP ");

    Open(Edition::B);
    EXPECT_EQ(Caption(), "Untitled - Lumbrook Series Flash LB1~6K");
    Send(WM_KEYDOWN, 0, 0);  // nothing
    for (const std::string& caption : m_person.m_captions) {
        EXPECT_EQ(caption, "QUORVANE Series Flash Tool");
    }
}

TEST_F(Window, DialogsPortPasswordAbout) {
    Open(Edition::B);
    const auto choose = [](int radio, int button, const char* name) {
        return [radio, button, name](HWND dialog) {
            SendDlgItemMessageA(dialog, radio, BM_CLICK, 0, 0);
            SetDlgItemTextA(dialog, IDC_PORT_NAME, name);
            Press(dialog, button);
        };
    };
    m_person.Then(choose(IDC_COM4, IDOK, " COM9 "));
    Menu(ID_PORT_SETTING);
    EXPECT_EQ(g_nCommPort, 4);
    EXPECT_EQ(g_strPortName, "COM9");
    EXPECT_EQ(RegistryString(m_settings->SectionKey(kSettingsSection), kPortNameEntry), "COM9");
    bool com4Marked = false;
    m_person.Then([&com4Marked](HWND dialog) {
        com4Marked = IsDlgButtonChecked(dialog, IDC_COM4) == BST_CHECKED;
        SendDlgItemMessageA(dialog, IDC_COM2, BM_CLICK, 0, 0);
        Press(dialog, IDCANCEL);
    });
    Menu(ID_PORT_SETTING);
    EXPECT_TRUE(com4Marked);
    EXPECT_EQ(g_nCommPort, 4);

    std::vector<std::string> fieldAtOpen;
    const auto type = [&fieldAtOpen](const char* text, int button) {
        return [&fieldAtOpen, text, button](HWND dialog) {
            fieldAtOpen.push_back(WindowText(GetDlgItem(dialog, IDC_PASSWORD)));
            SetDlgItemTextA(dialog, IDC_PASSWORD, text);
            Press(dialog, button);
        };
    };
    m_person.Then(type("WRITE7315 ", IDC_PASSWORD_OK));
    Menu(ID_PROTECT);
    m_person.Then(type("WRITE7315", IDCANCEL));  // Escape, the close box
    Menu(ID_PROTECT);
    EXPECT_EQ(m_frame->Core().UpdateOf(ID_PROTECT).m_nCheck, 1);
    m_person.Then(type("WRITE7315", IDOK));  // Enter
    Menu(ID_PROTECT);
    EXPECT_EQ(m_frame->Core().UpdateOf(ID_PROTECT).m_nCheck, 0);
    EXPECT_EQ(fieldAtOpen, std::vector<std::string>(3, ""));

    std::string version, first, second;
    m_person.Then([&](HWND dialog) {
        version = WindowText(GetDlgItem(dialog, IDC_VERSION));
        first = WindowText(GetDlgItem(dialog, IDC_FIRST_BLOCK));
        second = WindowText(GetDlgItem(dialog, IDC_SECOND_BLOCK));
        Press(dialog, IDOK);
    });
    Button(ID_APP_ABOUT);
    EXPECT_EQ(version, "Version 2.0.0.1");
    EXPECT_EQ(first,
              "Instruction:\nStep 1: Load the firmware file. ( *.mot )\n"
              "Step 2: Select Serial Port.\nStep 3: Press \"Flash\" button.");
    EXPECT_EQ(second,
              "Step 4: The programming process will start after 20 seconds.\n"
              "Step 5: Wait few minutes, depends on PC speed.\nStep 6: Flash upgrade finished.");
    EXPECT_EQ(m_person.m_dialogs,
              (Texts{"Serial Port Setting", "Serial Port Setting", "Password", "Password",
                     "Password", "About Lumbrook Series Flash_LB1~6K"}));
    EXPECT_EQ(m_person.m_messages, (Texts{"Incorrect password !", "Protection disabled !"}));
}

TEST_F(Window, WholeSixKFlashRunThroughTheWindow) {
    Open(Edition::A);
    WriteText("Tilm6K_run.mot",
              Container(RecordLines(2000, 0x100), 2000, RecordLines(16, 0x40), 16));
    Drop(m_dir.Path("Tilm6K_run.mot"));
    ASSERT_EQ(Caption(), "Tilm6K_run.mot - Quorvane IAP ");
    const std::string image = ReadText(kImageFile);
    Button(ID_FLASH);
    EXPECT_EQ(m_person.m_messages,
              (Texts{"You will update Tilm6K_run.mot !", "Programming successfully !"}));
    EXPECT_EQ(g_nStepIndex, 2);
    const auto& flash = m_unit->Flash(Processor::Control);
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin(),
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    EXPECT_EQ(m_unit->Writes(Processor::Mppt), 1);
    EXPECT_FALSE(m_person.m_transfers.empty());  // the transfer dialogs were real windows
    EXPECT_EQ(m_host->TransferWindow(), nullptr);
    EXPECT_TRUE(IsWindowEnabled(m_frame->Handle()));
    EXPECT_FALSE(ButtonChecked(ID_FLASH));
}

TEST_F(Window, TheRedArrowTakesAFailedBlockAgain) {
    SimUnit::Options unit;
    unit.faults = FaultPlan::Parse("silent:frame#3");
    Open(Edition::B, std::move(unit));
    WriteText("Tilm6K_arrow.mot",
              Container(RecordLines(2000, 0x100), 2000, RecordLines(16, 0x40), 16));
    Drop(m_dir.Path("Tilm6K_arrow.mot"));
    Button(ID_FLASH);
    ASSERT_GE(m_person.m_messages.size(), 2u);
    EXPECT_NE(m_person.m_messages.back().find("Please press the red arrow button for restart!"),
              std::string::npos);
    EXPECT_EQ(m_unit->Writes(Processor::Mppt), 0);
    EXPECT_EQ(m_frame->FormStatus().find_first_not_of(' '), std::string::npos);
    m_clock.SleepUntilNs(m_clock.NowNs() + 40 * kNsPerSecond);
    EXPECT_NE(SendMessageA(m_frame->ToolBar(), TB_ISBUTTONENABLED, ID_FLASH_RESTART, 0), 0);
    Button(ID_FLASH_RESTART);
    EXPECT_EQ(m_unit->Writes(Processor::Mppt), 1);
    EXPECT_EQ(m_unit->Writes(Processor::Control), 1);
    EXPECT_EQ(m_person.m_messages.back(), "Programming successfully !");
}

// The close box on the programming transfer asks first and the transfer goes on meanwhile; Yes
// stops it, No lets it finish. The other transfer dialogs stop at a close without a question.
TEST_F(Window, ClosingTheProgrammingTransferAsksFirst) {
    for (const int answer : {IDNO, IDYES}) {
        Open(Edition::A);
        WriteText("Tilm6K_ask.mot",
                  Container(RecordLines(2000, 0x100), 2000, RecordLines(16, 0x40), 16));
        Drop(m_dir.Path("Tilm6K_ask.mot"));
        std::string question, caption;
        bool asked = false, goneOn = false;
        m_person.m_onTransfer = [&](HWND transfer) {
            if (asked || WindowText(transfer) != "Programming .....") {
                return;
            }
            asked = true;
            SendMessageA(transfer, WM_CLOSE, 0, 0);
            HWND box = m_host->StopQuestion();
            ASSERT_NE(box, nullptr);
            question = WindowText(GetDlgItem(box, IDC_STATIC_TEXT));
            caption = WindowText(box);
            SendMessageA(transfer, WM_CLOSE, 0, 0);  // a second close keeps the one question
            goneOn = m_host->TransferWindow() == transfer && m_host->StopQuestion() == box;
            SetPropA(box, "answered", reinterpret_cast<HANDLE>(1));  // answered here
            SendMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
        };
        Button(ID_FLASH);
        m_person.m_onTransfer = nullptr;
        EXPECT_TRUE(asked);
        EXPECT_TRUE(goneOn);
        EXPECT_EQ(question, StopProgrammingQuestion());
        EXPECT_EQ(caption, "QUORVANE Series Flash Tool");
        EXPECT_EQ(m_host->StopQuestion(), nullptr);
        ASSERT_FALSE(m_person.m_messages.empty());
        EXPECT_EQ(m_person.m_messages.back() == "Programming successfully !", answer == IDNO)
            << m_person.m_messages.back();
        EXPECT_EQ(m_unit->Writes(Processor::Control), answer == IDNO ? 1 : 0);
    }
}

TEST_F(Window, ProgramRegistersTheFileTypeAndRefusesASecondCopy) {
    const HINSTANCE code = GetModuleHandleA(nullptr);
    {
        Win32App first(Edition::A, code, Resources(Edition::A));
        ASSERT_TRUE(first.InitInstance({"--simulate"}));
        const std::string folder = UserDataFolder("QUORVANE Series Flash Tool");
        EXPECT_EQ(WorkFolder(), folder);
        EXPECT_NE(folder.find("QUORVANE Series Flash Tool"), std::string::npos);
        const std::string classes = "Software\\Classes\\";
        EXPECT_EQ(RegistryString(classes + ".mot", nullptr), "Kestrune.Document");
        EXPECT_EQ(RegistryString(classes + "Kestrune.Document", nullptr), "Kestrun Document");
        const std::string opener =
            RegistryString(classes + "Kestrune.Document\\shell\\open\\command", nullptr);
        EXPECT_EQ(opener.substr(opener.size() - 5), " \"%1\"");
        const std::string icon =
            RegistryString(classes + "Kestrune.Document\\DefaultIcon", nullptr);
        EXPECT_EQ(icon.substr(icon.size() - 5), ",-129");

        Win32App second(Edition::A, code, Resources(Edition::A));
        EXPECT_FALSE(second.InitInstance({"--simulate"}));
        ASSERT_FALSE(m_person.m_messages.empty());
        EXPECT_EQ(m_person.m_messages.back(),
                  SecondCopyMessage(Edition::A, std::to_string(GetCurrentProcessId())));
        EXPECT_EQ(FindWindowA(FrameTextsOf(Edition::A).windowClass, nullptr),
                  first.Frame().Handle());
    }
    SetWorkFolder("");
}

}  // namespace
