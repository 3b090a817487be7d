#include "view/FrameLogic.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "framework/Globals.h"
#include "framework/Host.h"
#include "view/CommandIds.h"
#include "view/DesktopTexts.h"
#include "view/ShellDialogs.h"

namespace {

constexpr FrameTexts kFrameA = {
    "Quorvane IAP \n\nKestrun\nmot Files (*.mot)\n.mot\nKestrune.Document\nKestrun Document",
    "&Open", "&Set ", "&IAP SOP Help", "QuorvaneIAPFrame"};
constexpr FrameTexts kFrameB = {
    "Lumbrook Series Flash LB1~6K\n\nKestrun\nmot Files (*.mot)\n.mot\nKestrune.Document\n"
    "Kestrun Document",
    "&Load", "&Setting", "&About Lumbrook Series Flash LB1~6K", "FlashLB16KFrame"};

// Where the flash sequences write their status words, and how many blanks clear them.
constexpr int kStatusX = 5;
constexpr int kStatusY = 5;
constexpr size_t kStatusWidth = 28;

}  // namespace

const FrameTexts& FrameTextsOf(Edition edition) {
    return edition == Edition::A ? kFrameA : kFrameB;
}

std::string DocumentSubstring(Edition edition, DocumentPart part) {
    const std::string text = FrameTextsOf(edition).documentString;
    size_t begin = 0;
    for (int i = 0; i < static_cast<int>(part); ++i) {
        begin = text.find('\n', begin);
        if (begin == std::string::npos) {
            return {};
        }
        ++begin;
    }
    return text.substr(begin, text.find('\n', begin) - begin);
}

std::string FrameCaption(Edition edition, const std::string& documentTitle) {
    return documentTitle + " - " + TextsOf(edition).windowTitle;
}

std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

std::string RecentFileList::EntryName(int index) {
    return "File" + std::to_string(index + 1);
}

void RecentFileList::Load(SettingsStore& store) {
    m_files.clear();
    for (int i = 0; i < kRecentFileCount; ++i) {
        std::string file = store.Read(kRecentFileSection, EntryName(i));
        if (!file.empty() && std::find(m_files.begin(), m_files.end(), file) == m_files.end()) {
            m_files.push_back(std::move(file));
        }
    }
}

void RecentFileList::Save(SettingsStore& store) const {
    for (int i = 0; i < kRecentFileCount; ++i) {
        const size_t at = static_cast<size_t>(i);
        store.Write(kRecentFileSection, EntryName(i), at < m_files.size() ? m_files[at] : "");
    }
}

void RecentFileList::Add(const std::string& path) {
    // One file opened two ways is there once.
    const std::string absolute = AbsolutePath(path);
    m_files.erase(std::remove(m_files.begin(), m_files.end(), absolute), m_files.end());
    m_files.insert(m_files.begin(), absolute);
    if (m_files.size() > static_cast<size_t>(kRecentFileCount)) {
        m_files.resize(kRecentFileCount);
    }
}

FrameCore::FrameCore(Edition edition, CMSComm& comm, FrameWindow& window, SettingsStore& settings)
    : m_edition(edition), m_window(window), m_settings(settings), m_view(comm, edition) {
    m_recent.Load(m_settings);
}

void FrameCore::Start() {
    m_doc.OnNewDocument();
    SetTitle(kUntitled);
    m_window.FitToForm();
    m_window.RefreshCommands();
}

void FrameCore::SetTitle(const std::string& title) {
    m_caption = FrameCaption(m_edition, title);
    m_window.SetCaption(m_caption);
}

bool FrameCore::OpenFile(const std::string& path) {
    if (!m_doc.OnOpenDocument(path)) {
        return false;
    }
    SetTitle(FileNameOf(path));
    m_recent.Load(m_settings);  // another window of the program may have added to it
    m_recent.Add(path);
    m_recent.Save(m_settings);
    m_window.FitToForm();
    return true;
}

bool FrameCore::OpenDropped(const std::vector<std::string>& paths) {
    return !paths.empty() && OpenFile(paths.front());
}

CCmdUI FrameCore::UpdateOf(unsigned id) const {
    CCmdUI cmdUI(id);
    m_view.OnUpdateCommand(cmdUI);
    return cmdUI;
}

void FrameCore::RunCommand(unsigned id) {
    if (!UpdateOf(id).m_bEnabled) {
        return;  // disabled now: not carried out
    }
    switch (id) {
        case ID_FILE_NEW:
            m_doc.OnNewDocument();
            SetTitle(kUntitled);
            m_window.FitToForm();
            break;
        case ID_FILE_OPEN: {
            const std::string path = m_window.ChooseFileToOpen();
            if (!path.empty()) {
                OpenFile(path);
            }
            break;
        }
        case ID_APP_EXIT:
            m_window.CloseFrame();
            return;
        case ID_APP_ABOUT: {
            CAboutDlg about(m_edition);
            about.DoModal();
            break;
        }
        case ID_PORT_SETTING: {
            CPortSettingDlg port;
            if (port.DoModal() == IDOK) {
                SavePortChoice(m_settings);
            }
            break;
        }
        default: {
            // Save never writes the loaded file; the edit and pane commands have nothing to do.
            m_view.m_bLastTransferDone = false;
            m_view.OnCommand(id);
            // A run that failed leaves no status words behind ("Initiate ", ...).
            const bool wholeRun = id == ID_FLASH || id == ID_FLASH_ACTION;
            const bool done = m_view.m_bLastTransferDone &&
                              (!wholeRun || (g_nStepCount > 0 && g_nStepIndex == g_nStepCount));
            if (IsRunCommand(id) && !done) {
                GetHost().DrawText(kStatusX, kStatusY, std::string(kStatusWidth, ' '));
            }
            break;
        }
    }
    m_window.RefreshCommands();
}

void LoadPortChoice(SettingsStore& settings) {
    g_strPortName = settings.Read(kSettingsSection, kPortNameEntry);
}

void SavePortChoice(SettingsStore& settings) {
    settings.Write(kSettingsSection, kPortNameEntry, g_strPortName);
}

std::string PortTip(short port, bool simulated, const std::string& systemName) {
    if (simulated) {
        return "the simulated unit";
    }
    return systemName.empty() ? "COM" + std::to_string(port) + ": no such port here" : systemName;
}

StartOptions ParseStartArguments(const std::vector<std::string>& arguments,
                                 const char* simulateSetting) {
    StartOptions options;
    options.simulate = simulateSetting != nullptr && std::string(simulateSetting) == "1";
    for (const std::string& argument : arguments) {
        if (argument == kSimulateOption) {
            options.simulate = true;
        } else if (options.file.empty()) {
            options.file = argument;
        }
    }
    return options;
}

std::string SecondCopyMessage(Edition edition, const std::string& holder) {
    return SecondCopyMessage(std::string(TextsOf(edition).applicationName), holder);
}
