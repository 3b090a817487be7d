#include <gtest/gtest.h>

#include <map>

#include "framework/Globals.h"
#include "framework/WorkFolder.h"
#include "sim/SimComm.h"
#include "tests/support/ProgramState.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"
#include "view/CommandIds.h"
#include "view/FrameLogic.h"

namespace {

class MapSettings : public SettingsStore {
public:
    std::string Read(const std::string& section, const std::string& entry) override {
        const auto found = m_values.find(section + "/" + entry);
        return found != m_values.end() ? found->second : "";
    }
    void Write(const std::string& section, const std::string& entry,
               const std::string& value) override {
        m_values[section + "/" + entry] = value;
    }
    std::map<std::string, std::string> m_values;
};

class FakeWindow : public FrameWindow {
public:
    void SetCaption(const std::string& caption) override { m_caption = caption; }
    void FitToForm() override { ++m_fits; }
    std::string ChooseFileToOpen() override { return m_chosen; }
    void CloseFrame() override { m_closed = true; }
    void RefreshCommands() override { ++m_refreshes; }
    std::string m_caption;
    std::string m_chosen;
    int m_fits = 0;
    int m_refreshes = 0;
    bool m_closed = false;
};

class Frame : public ::testing::Test {
protected:
    Frame() { ResetProgramState(); }
    TempDir m_dir;
    RecordingHost m_host;
    ScopedHost m_installed{m_host};
    VirtualClock m_clock;
    SimUnit m_unit{SimUnit::Options{}};
    SimComm m_comm{m_unit, m_clock};
    MapSettings m_settings;
    FakeWindow m_window;
};

TEST_F(Frame, CaptionOpenDropAndRecentFiles) {
    FrameCore frame(Edition::A, m_comm, m_window, m_settings);
    frame.Start();
    EXPECT_EQ(m_window.m_caption, "Untitled - Quorvane IAP ");
    EXPECT_EQ(m_window.m_fits, 1);
    for (const char* name :
         {"LB1~4K_a.mot", "LB1~4K_b.mot", "LB1~4K_c.mot", "LB1~4K_d.mot", "LB1~4K_e.mot"}) {
        WriteText(name, SrecFile(RecordLines(4)));
    }
    // Opened relative, kept absolute; a file opened again moves to the front, not in twice.
    EXPECT_TRUE(frame.OpenFile("LB1~4K_a.mot"));
    EXPECT_EQ(m_window.m_caption, "LB1~4K_a.mot - Quorvane IAP ");
    EXPECT_TRUE(frame.OpenDropped({m_dir.Path("LB1~4K_b.mot"), m_dir.Path("LB1~4K_c.mot")}));
    EXPECT_EQ(m_window.m_caption, "LB1~4K_b.mot - Quorvane IAP ");
    m_window.m_chosen = "LB1~4K_c.mot";
    frame.RunCommand(ID_FILE_OPEN);
    for (const char* name : {"LB1~4K_d.mot", "LB1~4K_e.mot", "LB1~4K_a.mot"}) {
        EXPECT_TRUE(frame.OpenFile(name));
    }
    EXPECT_EQ(m_settings.m_values["Recent File List/File1"], m_dir.Path("LB1~4K_a.mot"));
    EXPECT_EQ(m_settings.m_values["Recent File List/File2"], m_dir.Path("LB1~4K_e.mot"));
    EXPECT_EQ(m_settings.m_values["Recent File List/File4"], m_dir.Path("LB1~4K_c.mot"));
    EXPECT_EQ(frame.RecentFiles().Files().size(), 4u);
    // A refused file keeps the caption; no drop, no open.
    WriteText("unknown.mot", SrecFile(RecordLines(4)));
    EXPECT_FALSE(frame.OpenFile("unknown.mot"));
    EXPECT_FALSE(frame.OpenDropped({}));
    EXPECT_EQ(m_window.m_caption, "LB1~4K_a.mot - Quorvane IAP ");
    frame.RunCommand(ID_FILE_NEW);
    EXPECT_EQ(m_window.m_caption, "Untitled - Quorvane IAP ");
    EXPECT_EQ(g_bDataReady, 0);
    frame.RunCommand(ID_APP_EXIT);
    EXPECT_TRUE(m_window.m_closed);

    FakeWindow other;
    FrameCore b(Edition::B, m_comm, other, m_settings);
    b.Start();
    EXPECT_EQ(other.m_caption, "Untitled - Lumbrook Series Flash LB1~6K");
    EXPECT_EQ(b.RecentFiles().Files().front(), m_dir.Path("LB1~4K_a.mot"));
}

TEST_F(Frame, RoutingAppliesTheUpdateRuleFirst) {
    FrameCore frame(Edition::B, m_comm, m_window, m_settings);
    frame.Start();
    EXPECT_TRUE(frame.UpdateOf(ID_WRITE_DATA).m_bEnabled);
    EXPECT_FALSE(frame.UpdateOf(ID_SEND_PROGRAM).m_bEnabled);
    EXPECT_EQ(frame.UpdateOf(ID_PROTECT).m_nCheck, 1);
    EXPECT_EQ(frame.UpdateOf(ID_BAUD_2400).m_nCheck, 1);
    EXPECT_TRUE(frame.UpdateOf(ID_PORT_SETTING).m_bEnabled);
    frame.RunCommand(ID_WRITE_DATA);  // no mode set
    EXPECT_EQ(m_host.Texts().back(), "System not ready. Please repeat the flash action again !");
    frame.View().m_bProgramming = 1;
    const size_t seen = m_host.m_messages.size();
    frame.RunCommand(ID_WRITE_DATA);  // disabled now: nothing happens
    for (unsigned id : {ID_EDIT_COPY, ID_EDIT_CUT, ID_EDIT_PASTE, ID_EDIT_UNDO, ID_NEXT_PANE,
                        ID_PREV_PANE, ID_FILE_SAVE}) {
        frame.RunCommand(id);
    }
    EXPECT_EQ(m_host.m_messages.size(), seen);
}

TEST(FrameTexts, EditionsArgumentsPortsAndStrings) {
    EXPECT_EQ(FrameTextsOf(Edition::A).settingMenu, std::string("&Set "));
    EXPECT_EQ(FrameTextsOf(Edition::B).fileMenu, std::string("&Load"));
    EXPECT_STREQ(FrameTextsOf(Edition::B).documentString,
                 "Lumbrook Series Flash LB1~6K\n\nKestrun\nmot Files (*.mot)\n.mot\n"
                 "Kestrune.Document\nKestrun Document");
    EXPECT_EQ(DocumentSubstring(Edition::A, DocumentPart::WindowTitle),
              TextsOf(Edition::A).windowTitle);
    EXPECT_EQ(DocumentSubstring(Edition::A, DocumentPart::DocName), "");
    EXPECT_EQ(DocumentSubstring(Edition::B, DocumentPart::FilterExt), ".mot");
    EXPECT_EQ(DocumentSubstring(Edition::B, DocumentPart::TypeName), "Kestrun Document");
    const StartOptions plain = ParseStartArguments({"a.mot", "b.mot"}, nullptr);
    EXPECT_FALSE(plain.simulate);
    EXPECT_EQ(plain.file, "a.mot");
    EXPECT_TRUE(ParseStartArguments({"a.mot", "--simulate"}, "0").simulate);
    EXPECT_TRUE(ParseStartArguments({}, "1").simulate);
    EXPECT_EQ(PortTip(3, true, "COM3"), "the simulated unit");
    EXPECT_EQ(PortTip(3, false, ""), "COM3: no such port here");
    EXPECT_EQ(PortTip(3, false, "COM3"), "COM3");
    EXPECT_EQ(StatusString(ID_FLASH), "Start the Flash programming with command\nFlash");
    EXPECT_EQ(StatusString(ID_PORT_SETTING), "Setting Serial Port\n");
    EXPECT_EQ(SecondCopyMessage(Edition::B, "42"),
              "Another copy of Lumbrook Series Flash Tool is running (process 42); use that "
              "window.");
    for (unsigned id : kCheckedCommandIds) {
        EXPECT_TRUE(IsCheckedCommand(id));
    }
    EXPECT_FALSE(IsCheckedCommand(ID_WRITE_DATA));
}

TEST_F(Frame, PortChoiceAndSecondCopy) {
    g_strPortName = "COM9";
    SavePortChoice(m_settings);
    g_strPortName.clear();
    LoadPortChoice(m_settings);
    EXPECT_EQ(g_strPortName, "COM9");
    WorkFolderLock first;
    WorkFolderLock second;
    std::string reason;
    ASSERT_TRUE(first.Acquire(m_dir.Path(""), reason));
    EXPECT_FALSE(second.Acquire(m_dir.Path(""), reason));
    EXPECT_TRUE(second.HeldElsewhere());
    EXPECT_FALSE(second.HolderId().empty());
    first.Release();
    EXPECT_TRUE(second.Acquire(m_dir.Path(""), reason));
    EXPECT_FALSE(second.HeldElsewhere());
}

}  // namespace
