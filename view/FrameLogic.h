#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/DrovaneView.h"
#include "framework/CmdUI.h"
#include "framework/Edition.h"
#include "image/DrovaneDoc.h"

class CMSComm;

// The main window's logic that is not toolkit code, shared by the desktop front ends: the
// caption, the recent-file list, opening and dropping files, the command routing with its update
// rules, the edition's texts, the port names shown, the start arguments and the second-copy
// check. Each front end supplies only its toolkit's calls (FrameWindow, SettingsStore).

// The edition's texts beyond the message-box caption and the window title.
struct FrameTexts {
    const char* documentString;  // string 128: title, doc name, new name, filter, ext, id, type
    const char* fileMenu;
    const char* settingMenu;  // the second menu entry: the port dialog itself, not a pop-up
    const char* aboutItem;
    const char* windowClass;  // the main window's class, by which a second copy finds it
};
const FrameTexts& FrameTextsOf(Edition edition);
// The substrings of the document string, in the framework's order.
enum class DocumentPart {
    WindowTitle,
    DocName,
    FileNewName,
    FilterName,
    FilterExt,
    TypeId,
    TypeName
};
std::string DocumentSubstring(Edition edition, DocumentPart part);

// The caption: the document's title, " - ", the edition's window title.
std::string FrameCaption(Edition edition, const std::string& documentTitle);
inline constexpr const char* kUntitled = "Untitled";
// The model is recognised from the file's name, so the extension is not checked.
inline constexpr const char* kOpenTitle = "Open";

// The program's settings, under the profile key, in a key named by the application name.
inline constexpr const char* kProfileKey = "Local AppWizard-Generated Applications";
inline constexpr const char* kRecentFileSection = "Recent File List";
inline constexpr const char* kSettingsSection = "Settings";
inline constexpr const char* kPortNameEntry = "Port Name";
inline constexpr int kRecentFileCount = 4;

// A front end's settings store (the registry, QSettings), for one application's key.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // Empty when the value is not there.
    virtual std::string Read(const std::string& section, const std::string& entry) = 0;
    virtual void Write(const std::string& section, const std::string& entry,
                       const std::string& value) = 0;
};

// The recent-file list: absolute paths, newest first, each once, at most kRecentFileCount.
class RecentFileList {
public:
    void Load(SettingsStore& store);
    void Save(SettingsStore& store) const;
    void Add(const std::string& path);
    const std::vector<std::string>& Files() const { return m_files; }
    // "File1" for the first entry.
    static std::string EntryName(int index);

private:
    std::vector<std::string> m_files;
};

// A path as the recent-file list keeps it: absolute and without "." or "..".
std::string AbsolutePath(const std::string& path);

// What a front end does for the frame.
class FrameWindow {
public:
    virtual ~FrameWindow() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    // Resizes the frame so its client area, between toolbar and status bar, fits the form.
    virtual void FitToForm() = 0;
    // The file chosen in the open dialog; empty when the person cancelled.
    virtual std::string ChooseFileToOpen() = 0;
    virtual void CloseFrame() = 0;
    // Check marks and enabled states are to be shown again from the update rules.
    virtual void RefreshCommands() = 0;
};

// The document, the view and the routing of every command of the menus, the toolbar and the
// accelerators, in the order the framework routes them: the view, then the document and the
// application's own (New, Open, Exit, About, port).
class FrameCore {
public:
    FrameCore(Edition edition, CMSComm& comm, FrameWindow& window, SettingsStore& settings);

    // The first initial update: an empty document.
    void Start();
    // Opens a firmware file like File Open; false when the document refused it.
    bool OpenFile(const std::string& path);
    // Files dropped on the window: the first is opened like File Open.
    bool OpenDropped(const std::vector<std::string>& paths);
    // Applies the command's update rule once more, then carries it out unless it is disabled.
    void RunCommand(unsigned id);
    // The command's state as its update rule leaves it (commands without a rule: enabled).
    CCmdUI UpdateOf(unsigned id) const;

    CDrovaneView& View() { return m_view; }
    const std::string& Caption() const { return m_caption; }
    const RecentFileList& RecentFiles() const { return m_recent; }

private:
    void SetTitle(const std::string& title);

    Edition m_edition;
    FrameWindow& m_window;
    SettingsStore& m_settings;
    CDrovaneDoc m_doc;
    CDrovaneView m_view;
    RecentFileList m_recent;
    std::string m_caption;
};

// The port chosen by name last time, into g_strPortName, and back after the port dialog.
void LoadPortChoice(SettingsStore& settings);
void SavePortChoice(SettingsStore& settings);

// What the port dialog shows beside a port number: the simulated unit, else the system's name
// of the port (`systemName`, empty when the system has no such port).
std::string PortTip(short port, bool simulated, const std::string& systemName);

// The start arguments: --simulate (or FLASHTOOL_SIMULATE=1 in `simulateSetting`) and the first
// other argument as the file to open. `arguments` excludes the program's own name.
struct StartOptions {
    bool simulate = false;
    std::string file;
};
StartOptions ParseStartArguments(const std::vector<std::string>& arguments,
                                 const char* simulateSetting);
inline constexpr const char* kSimulateOption = "--simulate";
inline constexpr const char* kSimulateSetting = "FLASHTOOL_SIMULATE";

// The refusal of a second copy while the first holds the working folder; `holder` is the first
// copy's process id, empty when unknown.
std::string SecondCopyMessage(Edition edition, const std::string& holder);
