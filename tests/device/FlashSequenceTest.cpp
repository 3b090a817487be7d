#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "device/DrovaneView.h"
#include "framework/InstallPaths.h"
#include "image/DrovaneDoc.h"
#include "tests/support/ProgramState.h"
#include "tests/support/SimBench.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

using Texts = std::vector<std::string>;
const std::string kDone = "Programming successfully !";
const std::string kNotMatched4K =
    "This system Model Name is LB1~4K ! But the input FW is not matched!";
const std::string kNotMatched6K =
    "This system Model Name is 6K ! But the input FW is not for LB1~4K !";
const std::string kNoModel = "Can't find Model Name!";
const std::string kProgrammingError =
    "Programming Process Error.\nPlease try again after 40 seconds!\nPlease press the red arrow "
    "button for restart!";

Bytes FileBytes(const std::string& path) {
    const std::string text = ReadText(path);
    return Bytes(text.begin(), text.end());
}

// The unit, the view and the document of one test, in virtual time in a fresh folder.
class Device : public ::testing::Test {
protected:
    Device() {
        ResetProgramState();
        SetInstallRoot(m_dir.Path("install"));
        std::filesystem::create_directories(m_dir.Path("install/Kestrune"));
        std::filesystem::create_directories(
            m_dir.Path("install/Lumbrook Flash Tools/Flash_LB1~6K"));
        WriteText(TempErasePath(Edition::A), SrecFile(RecordLines(8, 0x800)));
        WriteText(KernelPath(), std::string(1558, '\x5A'));
        WriteText(PreLoaderPath(), std::string(200, '\x3C'));
        Connect(Unit("VX310R", "A1.03"));
    }
    ~Device() override { SetInstallRoot(""); }

    void Connect(SimUnit::Options options) {
        m_view.reset();
        m_bench.reset();  // the old bench puts its host back before the new one installs its own
        m_bench = std::make_unique<SimBench>(std::move(options));
        m_view = std::make_unique<CDrovaneView>(m_bench->m_comm, Edition::A);
    }
    static SimUnit::Options Unit(const std::string& model, const std::string& version,
                                 const std::string& faults = "") {
        SimUnit::Options options;
        options.model = model;
        options.version = version;
        options.faults = FaultPlan::Parse(faults);
        return options;
    }

    // Opens a firmware file; returns the image it built.
    Bytes Load(const std::string& name, const std::string& text) {
        WriteText(name, text);
        EXPECT_TRUE(m_doc.OnOpenDocument(m_dir.Path(name))) << name;
        m_bench->m_host.m_messages.clear();
        return FileBytes("tmp.bin");
    }
    // A plain file, or a 6K container, of the model the name says.
    Bytes LoadPlain(const std::string& name) { return Load(name, SrecFile(RecordLines(40))); }
    Bytes Load6K(const std::string& name) {
        const auto control = RecordLines(2000, 0x100);
        const auto mppt = RecordLines(24, 0x40);
        const bool hasControl = name.find("mppt") == std::string::npos;
        const bool hasMppt = name.find("ctrl") == std::string::npos;
        const Bytes image =
            Load(name, Container(hasControl ? control : std::vector<std::string>{}, 2000,
                                 hasMppt ? mppt : std::vector<std::string>{}, 24));
        if (hasMppt) {
            CMotImage builder;
            EXPECT_TRUE(builder.Build(kMpptBlockFile, "mppt-image.bin"));
            m_mpptImage = FileBytes("mppt-image.bin");
        }
        return image;
    }

    Texts Messages() const { return m_bench->m_host.Texts(); }
    bool FlashHolds(Processor processor, const Bytes& image) const {
        const Bytes& flash = m_bench->m_unit.Flash(processor);
        return std::equal(image.begin(), image.end(), flash.begin());
    }
    bool Untouched(Processor processor) const { return m_bench->m_unit.Writes(processor) == 0; }
    // The port was reset: lines down, port closed, mode flags clear.
    bool PortReset() const {
        const CMSComm& comm = m_bench->m_comm;
        return !comm.GetPortOpen() && !comm.GetDTREnable() && !comm.GetRTSEnable() &&
               g_bBootMode == 0 && g_bKernelLoaded == 0 && m_view->m_bUserMode == 0 &&
               m_view->m_bProgramming == 0;
    }

    TempDir m_dir;
    std::unique_ptr<SimBench> m_bench;
    std::unique_ptr<CDrovaneView> m_view;
    CDrovaneDoc m_doc;
    Bytes m_mpptImage;
};

// The model checks of Flash, for every kind of file against every kind of unit.
struct MatchCase {
    const char* file;
    const char* model;
    const char* version;
    const char* faults;
    std::string outcome;  // the last message
};

class ModelMatching : public Device, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(ModelMatching, AcceptsOnlyUnitsTheFileFits) {
    const MatchCase& c = GetParam();
    Connect(Unit(c.model, c.version, c.faults));
    const std::string name = c.file;
    const bool sixK = name.find("6K") != std::string::npos;
    const Bytes image = sixK ? Load6K(name) : LoadPlain(name);
    m_bench->m_host.m_answers = {IDYES};  // a silent unit is flashed when the user says so
    m_view->OnFlash();
    ASSERT_FALSE(Messages().empty());
    const std::string last = Messages().back();
    EXPECT_EQ(last.substr(0, last.find('\n')), c.outcome);
    EXPECT_TRUE(PortReset());
    const bool mpptFile = name.find("mppt") != std::string::npos;
    const bool twoBlocks = sixK && !mpptFile && name.find("ctrl") == std::string::npos;
    if (c.outcome == kDone) {
        EXPECT_EQ(g_nStepIndex, g_nStepCount);
        EXPECT_TRUE(FlashHolds(mpptFile ? Processor::Mppt : Processor::Control, image));
        if (twoBlocks) {
            EXPECT_TRUE(FlashHolds(Processor::Mppt, m_mpptImage));
        }
    } else {
        EXPECT_TRUE(Untouched(Processor::Control));
        EXPECT_TRUE(Untouched(Processor::Mppt));
    }
}

std::vector<MatchCase> MatchCases() {
    struct Unit {
        const char* model;
        const char* version;
        const char* faults;
    };
    const Unit silent{"VX360R", "A1.03", "silent:discovery"}, vx310{"VX310R", "A1.03", ""},
        vx340t{"VX340T", "A1.03", ""}, vx360{"VX360R", "A1.03", ""}, s360{"VX360R", "S1.03", ""};
    const Unit units[] = {silent, vx310, vx340t, vx360, s360};
    // Outcome per unit, in the order above.
    const std::pair<const char*, std::array<std::string, 5>> files[] = {
        {"LB1~4K_a.mot", {kDone, kDone, kNotMatched4K, kNotMatched6K, kNotMatched4K}},
        {"Tilm4KA_a.mot", {kDone, kNotMatched4K, kDone, kNotMatched6K, kNotMatched4K}},
        {"LB6Kctrl_a.mot", {kDone, kNotMatched4K, kNotMatched4K, kDone, kNotMatched4K}},
        {"Tilm6Kctrl_a.mot", {kDone, kNotMatched4K, kNotMatched4K, kNotMatched4K, kDone}},
        {"LB6Kmppt_a.mot", {kNoModel, kNotMatched6K, kNotMatched6K, kDone, kNotMatched4K}},
        {"Tilm6Kmppt_a.mot", {kNoModel, kNotMatched4K, kNotMatched4K, kNotMatched4K, kDone}},
        {"LB6K_a.mot", {kNoModel, kNotMatched6K, kNotMatched6K, kDone, kNotMatched4K}},
        {"Tilm6K_a.mot", {kNoModel, kNotMatched4K, kNotMatched4K, kNotMatched4K, kDone}},
    };
    std::vector<MatchCase> cases;
    for (const auto& [file, outcomes] : files) {
        for (size_t i = 0; i < 5; ++i) {
            cases.push_back({file, units[i].model, units[i].version, units[i].faults, outcomes[i]});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, ModelMatching, ::testing::ValuesIn(MatchCases()));

TEST_F(Device, SixKRunOfANewUnitProgramsMpptThenControl) {
    Connect(Unit("VX360R", "A1.03"));
    const Bytes control = Load6K("LB6K_01.mot");
    m_view->OnFlash();
    EXPECT_EQ(Messages(), Texts{kDone});
    EXPECT_EQ(g_nStepCount, 2);
    EXPECT_EQ(g_nStepIndex, 2);
    EXPECT_TRUE(FlashHolds(Processor::Control, control));
    EXPECT_TRUE(FlashHolds(Processor::Mppt, m_mpptImage));
    EXPECT_EQ(m_bench->m_unit.Writes(Processor::Mppt), 1);
    EXPECT_EQ(g_nUnitVersion, 103);
    // The MPPT step counted down the restart; the control step did not.
    Texts shown;
    for (const auto& entry : m_bench->m_host.m_shown) {
        shown.push_back(entry.text);
    }
    EXPECT_EQ(std::count(shown.begin(), shown.end(), "Restart 00 Sec."), 1);
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Step1/2: 100%"), shown.end());
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Step2/2: 100%"), shown.end());
    EXPECT_EQ(m_bench->m_host.m_drawn.front().text, "Initiate ");
}

TEST_F(Device, SixKRunOfAnOldUnitStartsWithTempErase) {
    Connect(Unit("VX360R", "A1.02"));
    const Bytes control = Load6K("LB6K_01.mot");
    m_view->OnFlash();
    EXPECT_EQ(Messages(), Texts{kDone});
    EXPECT_EQ(g_nStepCount, 3);
    EXPECT_EQ(g_nStepIndex, 3);
    EXPECT_EQ(m_bench->m_unit.Writes(Processor::Mppt), 2);  // TempErase, then the MPPT block
    EXPECT_TRUE(FlashHolds(Processor::Mppt, m_mpptImage));
    EXPECT_TRUE(FlashHolds(Processor::Control, control));
}

TEST_F(Device, FailedRebuildStopsTheRunBeforeAnythingIsSent) {
    Connect(Unit("VX360R", "A1.03"));
    Load6K("LB6K_01.mot");
    std::filesystem::remove(kMpptBlockFile);
    m_view->OnFlash();
    EXPECT_EQ(Messages(), Texts{"Read File Error !"});
    EXPECT_TRUE(PortReset());
    EXPECT_EQ(g_nStepIndex, 0);
    EXPECT_TRUE(Untouched(Processor::Mppt));
    EXPECT_TRUE(Untouched(Processor::Control));
    // Nor does a restart send the image of an earlier block.
    m_view->OnFlashRestart();
    EXPECT_EQ(Messages().back(), "Data is not ready. Please load firmware file first ! ( *.mot )");
}

TEST_F(Device, MpptAndRestartOnTheirOwn) {
    Connect(Unit("VX360R", "A1.03"));
    Load6K("LB6K_01.mot");
    m_view->OnMppt();  // after program start: counts a step, shows no success
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(m_view->m_bLastTransferDone);
    EXPECT_TRUE(FlashHolds(Processor::Mppt, m_mpptImage));
    EXPECT_TRUE(PortReset());

    // A unit that already waits in its loader takes the image without a request.
    m_bench->m_host.Sleep(8000);  // the unit restarts after the MPPT block
    m_bench->m_comm.SetPortOpen(true);
    m_bench->Exchange(" flash", 2000);
    m_bench->m_comm.SetPortOpen(false);
    const Bytes mppt = FileBytes("tmp.bin");
    m_view->OnFlashRestart();
    EXPECT_TRUE(m_view->m_bLastTransferDone);
    EXPECT_TRUE(FlashHolds(Processor::Control, mppt));  // tmp.bin held the MPPT image
    EXPECT_TRUE(PortReset());
    EXPECT_EQ(m_view->m_bBaud9600, 1);
}

TEST_F(Device, FlashWhileBusyOnlyClearsTheFlag) {
    LoadPlain("LB1~4K_a.mot");
    m_view->m_bFlashBusy = 1;
    g_nStepIndex = 5;
    m_view->OnFlash();
    EXPECT_EQ(m_view->m_bFlashBusy, 0);
    EXPECT_EQ(g_nStepCount, 1);
    EXPECT_EQ(g_nStepIndex, 0);
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(Untouched(Processor::Control));
}

TEST_F(Device, UserModeToggles) {
    m_view->OnUserMode();  // 2400 baud at start does not qualify
    EXPECT_EQ(Messages(), Texts{"Please Select the suitable Baud Rate and Try again!"});
    m_view->OnBaud9600();
    m_view->OnUserMode();
    EXPECT_EQ(m_view->m_bUserMode, 1);
    EXPECT_TRUE(m_bench->m_comm.GetDTREnable());
    EXPECT_FALSE(m_bench->m_comm.GetRTSEnable());
    m_view->OnUserMode();
    EXPECT_EQ(Messages().back(), "User Mode Disabled !");
    EXPECT_TRUE(PortReset());
}

TEST_F(Device, BootModeRoadToTheEnd) {
    const Bytes image = LoadPlain("LB1~4K_a.mot");
    m_view->OnFlashAction();
    EXPECT_EQ(Messages(), Texts{kDone});
    EXPECT_EQ(m_bench->m_unit.Kernel(), Bytes(1558, 0x5A));
    EXPECT_EQ(m_bench->m_unit.PreLoader(), Bytes(200, 0x3C));
    EXPECT_TRUE(FlashHolds(Processor::Control, image));
    EXPECT_EQ(g_nStepCount, 1);
    EXPECT_EQ(g_nStepIndex, 1);
    EXPECT_TRUE(PortReset());
    const auto& shown = m_bench->m_host.m_shown;
    EXPECT_TRUE(std::any_of(shown.begin(), shown.end(),
                            [](const auto& s) { return s.text == "Step1/1: 100%"; }));
}

// What each failure shows, and that the port was reset and the flash left alone.
struct FaultCase {
    const char* command;  // "flash" or "boot"
    const char* faults;
    Texts messages;
};

class DeviceFaults : public Device, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DeviceFaults, ReportResetAndLeaveTheFlash) {
    const FaultCase& c = GetParam();
    SimUnit::Options options = Unit("VX310R", "A1.03", c.faults);
    Connect(options);
    LoadPlain("LB1~4K_a.mot");
    if (std::string(c.command) == "flash") {
        m_view->OnFlash();
    } else {
        m_view->OnFlashAction();
    }
    EXPECT_EQ(Messages(), c.messages);
    EXPECT_TRUE(PortReset());
    EXPECT_EQ(g_nStepIndex, 0);
    EXPECT_TRUE(Untouched(Processor::Control));
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, DeviceFaults,
    ::testing::Values(
        FaultCase{"flash", "silent:handover,silent:table", {"Time out !", "System not Ready !"}},
        FaultCase{"flash", "answer:table=0x15", {"Response Error(A) !", "System not Ready !"}},
        FaultCase{"flash", "answer:length=0x15", {"Response Error(A) !", "System not Ready(B) !"}},
        FaultCase{"flash", "answer:frame#4=0x15", {"Receive Error !", kProgrammingError}},
        FaultCase{"flash", "corrupt:100", {"Receive Error !", kProgrammingError}},
        FaultCase{"boot", "silent:sync", {"Time out !", "Boot mode System not Ready (A)!"}},
        FaultCase{"boot", "silent:sync-aa", {"Time out !", "Boot Mode System not Ready(B) !"}},
        FaultCase{"boot",
                  "answer:sync=0x55",
                  {"Boot Mode Response Error !", "Boot mode System not Ready (A)!"}},
        FaultCase{"boot", "bad-echo:3@10", {"Receive Error(A)!", "Boot Mode Setting Failed"}},
        FaultCase{"boot", "answer:table#1=0x15", {"Response Error(A) !", "System not Ready !"}}));

// A 6K run takes its later blocks only from the unit it identified first.
TEST_F(Device, LaterBlocksGoOnlyToTheSameUnit) {
    const std::vector<uint8_t> otherId = {'Z', 'Z', '9', '9', '9', '9', '9', '9', '9', '9'};
    struct Case {
        const char* version;  // A1.02: TempErase first, so OnMppt identifies the new unit
        const char* model;    // what answers after the first block
        std::vector<uint8_t> id;
        std::string shown;
    };
    const Case cases[] = {
        {"A1.03",
         "VX310R",
         {'Q', 'V', '0', '0', '1', '2', '3', '4', '5', '6'},
         "VX310R (unit id 51563030313233343536)"},
        {"A1.03", "VX360R", otherId, "VX360R (unit id 5A5A3939393939393939)"},
        {"A1.02", "VX360R", otherId, "VX360R (unit id 5A5A3939393939393939)"},
    };
    for (const Case& c : cases) {
        Connect(Unit("VX360R", c.version));
        Load6K("LB6K_01.mot");
        m_view->m_onTransferEnd = [&](const CProgramDlg&) {
            m_bench->m_unit.SwapIdentity(c.model, "A1.03", c.id);
        };
        m_view->OnFlash();
        EXPECT_EQ(Messages(), Texts{"Another unit answered: the run began with VX360R (unit id "
                                    "51563030313233343536), but " +
                                    c.shown + " answered now. No further block was sent."})
            << c.model;
        EXPECT_EQ(g_nStepIndex, 1);
        EXPECT_TRUE(PortReset());
        EXPECT_TRUE(Untouched(Processor::Control));
        EXPECT_EQ(m_bench->m_unit.Writes(Processor::Mppt), 1);
    }
}

// A unit that cannot be checked against the file is flashed only when someone says so.
TEST_F(Device, UncheckedUnitsAreFlashedOnlyOnPurpose) {
    struct Case {
        const char* model;
        const char* faults;
        int answer;  // to the question; 0: --unchecked, no question
        bool flashed;
        std::string question;
    };
    const std::string unidentified =
        "The unit did not identify itself, so the file cannot be checked against it. Flash "
        "anyway?";
    const Case cases[] = {
        {"VX310R", "silent:discovery", IDNO, false, unidentified},
        {"VX310R", "silent:discovery", -1, false, unidentified},  // nobody answers: No
        {"VX310R", "silent:discovery", IDYES, true, unidentified},
        {"VX310R", "silent:discovery", 0, true, ""},
        {"VX999R", "", IDNO, false,
         "The unit's model name \"VX999R\" is not known, so the file cannot be checked "
         "against it. Flash anyway?"},
        {"VX999R", "", 0, true, ""},
    };
    for (const Case& c : cases) {
        Connect(Unit(c.model, "A1.03", c.faults));
        const Bytes image = LoadPlain("LB1~4K_a.mot");
        m_view->m_bFlashUnchecked = c.answer == 0;
        if (c.answer > 0) {
            m_bench->m_host.m_answers = {c.answer};
        }
        m_view->OnFlash();
        const auto& messages = m_bench->m_host.m_messages;
        if (c.question.empty()) {
            EXPECT_EQ(Messages(), Texts{kDone});
        } else {
            ASSERT_FALSE(messages.empty());
            EXPECT_EQ(messages[0].text, c.question);
            EXPECT_EQ(messages[0].type, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
            EXPECT_EQ(Messages().back(), c.flashed ? kDone : c.question);
        }
        EXPECT_EQ(m_view->m_bUncheckedRefused, !c.flashed);
        EXPECT_EQ(c.flashed ? FlashHolds(Processor::Control, image) : Untouched(Processor::Control),
                  true)
            << c.model << " " << c.answer;
    }
}

TEST_F(Device, FileOfAnotherClassNamesBoth) {
    Connect(Unit("VX360R", "A1.03"));
    LoadPlain("LB1~4K_a.mot");
    m_view->OnFlash();
    EXPECT_EQ(Messages(),
              Texts{kNotMatched6K + "\nThe unit is a VX360R (6K); the file is for LB1~4K units."});
    EXPECT_TRUE(Untouched(Processor::Control));
}

// The boot road erases the controller once it has the kernel: every file it needs is checked
// before the first byte goes out.
TEST_F(Device, BootRoadChecksEveryFileFirst) {
    struct Case {
        const char* file;  // "kernel", "preloader" or "image"
        long size;         // -1: missing
        std::string message;
    };
    const Case cases[] = {
        {"kernel", -1, "3062f.bin File Read Error !"},
        {"kernel", 0, "3062f.bin File Read Error !"},
        {"kernel", 0x10000, "3062f.bin File Read Error !"},
        {"preloader", -1, "PreFlash.bin File Read Error !"},
        {"preloader", 0, "PreFlash.bin File Read Error !"},
        {"preloader", 0x20001, "PreFlash.bin File Read Error !"},
        {"image", -1, "BIN File Read Error !"},
    };
    for (const Case& c : cases) {
        Connect(Unit("VX310R", "A1.03"));
        LoadPlain("LB1~4K_a.mot");
        const std::string name = c.file;
        const std::string path = name == "kernel"      ? KernelPath()
                                 : name == "preloader" ? PreLoaderPath()
                                                       : std::string(kImageFile);
        const std::string kept = ReadText(path);
        std::filesystem::remove(path);
        if (c.size >= 0) {
            WriteText(path, std::string(static_cast<size_t>(c.size), '\x11'));
        }
        size_t sent = 0;
        m_bench->m_comm.SetTrace([&](CMSComm::Direction direction, const CByteArray& bytes) {
            sent += direction == CMSComm::Direction::Sent ? bytes.size() : 0;
        });
        m_view->OnFlashAction();
        EXPECT_EQ(Messages(), Texts{c.message}) << c.file << " " << c.size;
        EXPECT_EQ(sent, 0u) << c.file << " " << c.size;
        EXPECT_TRUE(PortReset());
        EXPECT_TRUE(m_bench->m_unit.Kernel().empty());
        WriteText(path, kept);
    }
}

// After the red arrow sends a failed block of a Flash again, the blocks that remain follow.
TEST_F(Device, RestartFinishesTheFlashRun) {
    struct Case {
        const char* version;
        const char* faults;  // the block that fails
        int failedAt;        // its step
    };
    const Case cases[] = {
        {"A1.03", "silent:frame#3", 0},   // MPPT of two
        {"A1.02", "silent:frame#3", 0},   // TempErase of three
        {"A1.03", "silent:frame#40", 1},  // the control block, the last
    };
    for (const Case& c : cases) {
        Connect(Unit("VX360R", c.version, c.faults));
        const Bytes control = Load6K("LB6K_01.mot");
        m_view->OnFlash();
        ASSERT_EQ(Messages().back(), kProgrammingError) << c.faults;
        ASSERT_EQ(g_nStepIndex, c.failedAt);
        m_bench->m_host.m_messages.clear();
        m_bench->m_host.Sleep(40000);  // the loader gives the transfer up and waits for a table
        m_view->OnFlashRestart();
        EXPECT_EQ(Messages(), Texts{kDone}) << c.version << " " << c.faults;
        EXPECT_EQ(g_nStepIndex, g_nStepCount);
        EXPECT_TRUE(FlashHolds(Processor::Mppt, m_mpptImage));
        EXPECT_TRUE(FlashHolds(Processor::Control, control));
        EXPECT_TRUE(PortReset());
        // The run is over: a further restart is a restart on its own.
        m_bench->m_host.m_messages.clear();
        const int writes = m_bench->m_unit.Writes(Processor::Control);
        m_view->OnFlashRestart();
        EXPECT_EQ(m_bench->m_unit.Writes(Processor::Control), writes);
        EXPECT_EQ(Messages(), (Texts{"Time out !", "System not Ready !"}));
    }
}

// A block whose transfer fails is sent again after the loader gave it up, while tries remain.
TEST_F(Device, RetriesSendTheFailedBlockAgain) {
    using Tries = std::vector<std::tuple<std::string, int, bool>>;
    struct Case {
        const char* faults;
        int retries;
        int stopAtS;  // the run is stopped then (0: never)
        Tries tries;
        std::vector<std::string> notes;
        std::string last;
    };
    const std::string retry2 = "Retrying the MPPT block (2 of 3) in 40 s";
    const Case cases[] = {
        {"silent:frame#3", 2, 0, {{"MPPT", 2, true}, {"control", 1, true}}, {retry2}, kDone},
        {"answer:frame=0x15",
         2,
         0,
         {{"MPPT", 3, false}},
         {retry2, "Retrying the MPPT block (3 of 3) in 40 s"},
         kProgrammingError},
        {"silent:frame#3", 0, 0, {{"MPPT", 1, false}}, {}, kProgrammingError},
        {"silent:frame#3", 2, 30, {{"MPPT", 2, false}}, {retry2}, kProgrammingError},
        {"silent:table",
         1,
         0,
         {{"MPPT", 2, false}},
         {"Retrying the MPPT block (2 of 2) in 40 s"},
         "System not Ready !"},
    };
    for (const Case& c : cases) {
        Connect(Unit("VX360R", "A1.03", c.faults));
        const Bytes control = Load6K("LB6K_01.mot");
        std::vector<std::string> notes;
        m_view->m_nRetries = c.retries;
        m_view->m_onNote = [&](const std::string& note) { notes.push_back(note); };
        if (c.stopAtS > 0) {
            m_bench->m_host.StopRunAt(int64_t{c.stopAtS} * kNsPerSecond);
        }
        m_view->OnFlash();
        Tries tries;
        for (const auto& block : m_view->m_blockTries) {
            tries.emplace_back(block.name, block.tries, block.done);
        }
        EXPECT_EQ(tries, c.tries) << c.faults << " " << c.retries;
        EXPECT_EQ(notes, c.notes) << c.faults;
        EXPECT_EQ(Messages().back(), c.last) << c.faults;
        const bool done = c.last == kDone;
        EXPECT_EQ(FlashHolds(Processor::Mppt, m_mpptImage), done);
        EXPECT_EQ(done ? FlashHolds(Processor::Control, control) : Untouched(Processor::Control),
                  true);
    }
}

// After programming, the unit must come back as the unit the run began with.
TEST_F(Device, ConfirmWaitsForTheSameUnitToComeBack) {
    struct Case {
        const char* faults;
        const char* swapTo;  // the model that answers after the block, or null
        bool confirmed;
        std::string message;
    };
    const Case cases[] = {
        {"", nullptr, true, ""},
        {"restart-ms:100000", nullptr, false, "The unit did not come back after programming"},
        {"", "VX360R", false,
         "The unit did not come back after programming: VX360R (unit id 5A5A3939393939393939) "
         "answered instead of VX310R (unit id 51563030313233343536)"},
    };
    for (const Case& c : cases) {
        Connect(Unit("VX310R", "A1.03", c.faults));
        LoadPlain("LB1~4K_a.mot");
        if (c.swapTo != nullptr) {
            m_view->m_onTransferEnd = [&](const CProgramDlg&) {
                m_bench->m_unit.SwapIdentity(c.swapTo, "S1.04",
                                             {'Z', 'Z', '9', '9', '9', '9', '9', '9', '9', '9'});
            };
        }
        m_view->OnFlash();
        ASSERT_EQ(Messages(), Texts{kDone});
        m_bench->m_host.m_messages.clear();
        const int64_t startNs = m_bench->m_host.Clock().NowNs();
        EXPECT_EQ(m_view->ConfirmUnit(), c.confirmed) << c.faults;
        EXPECT_EQ(Messages(), c.confirmed ? Texts{} : Texts{c.message});
        EXPECT_LE(m_bench->m_host.Clock().NowNs() - startNs, 85 * kNsPerSecond);
        EXPECT_TRUE(PortReset());
        if (c.confirmed) {
            EXPECT_EQ(m_view->m_lastUnit.version, "A1.03");
        }
    }
}

TEST_F(Device, SlowRestartBetweenBlocksFailsTheControlBlock) {
    Connect(Unit("VX360R", "A1.03", "restart-ms:40000"));
    Load6K("LB6K_01.mot");
    m_view->OnFlash();
    EXPECT_EQ(Messages(), (Texts{"The unit VX360R (unit id 51563030313233343536) did not "
                                 "answer after its restart. No further block was sent."}));
    EXPECT_EQ(g_nStepIndex, 1);  // the MPPT block was done
    EXPECT_TRUE(PortReset());
    EXPECT_TRUE(Untouched(Processor::Control));
}

TEST_F(Device, MissingImageAnnouncesNothing) {
    LoadPlain("LB1~4K_a.mot");
    std::filesystem::remove(kImageFile);
    m_view->OnFlash();
    EXPECT_EQ(Messages(), Texts{"BIN File Read Error !"});
    EXPECT_TRUE(PortReset());
    EXPECT_EQ(m_bench->UnitMode(), "loader");  // handed over, but nothing announced
}

TEST_F(Device, OnlyTheImageThisRunBuiltGoesOut) {
    // Another program replaced the image after it was built: same size, other bytes.
    Bytes image = LoadPlain("LB1~4K_a.mot");
    image[3] ^= 0xFF;
    WriteText(kImageFile, std::string(image.begin(), image.end()));
    m_view->OnFlash();
    EXPECT_EQ(Messages(), Texts{"BIN File Read Error !"});
    EXPECT_TRUE(Untouched(Processor::Control));

    // The control block of a 6K file replaced during the MPPT step's countdown.
    Connect(Unit("VX360R", "A1.03"));
    Load6K("LB6K_01.mot");
    std::string otherBlock;
    for (const std::string& line : RecordLines(2000, 0x200)) {
        otherBlock += line + "\n";
    }
    WriteText(kControlBlockFile, otherBlock);
    m_view->OnFlash();
    EXPECT_EQ(Messages(), Texts{"Read File Error !"});
    EXPECT_TRUE(FlashHolds(Processor::Mppt, m_mpptImage));
    EXPECT_TRUE(Untouched(Processor::Control));
}

TEST_F(Device, RestartSelectsItsPortBeforeOpeningIt) {
    LoadPlain("LB1~4K_a.mot");
    g_nCommPort = 3;
    m_view->OnFlashRestart();
    EXPECT_EQ(m_bench->m_comm.GetCommPort(), 3);
    for (const std::string& message : Messages()) {
        EXPECT_NE(message.rfind("sim: ", 0), 0u) << message;  // no refusal of the port
    }
}

TEST_F(Device, SerialErrorEndsTheCommandCleanly) {
    LoadPlain("LB1~4K_a.mot");
    g_nCommPort = 2;
    m_bench->m_comm.SetCommPort(1);
    m_bench->m_comm.SetPortOpen(true);  // left open: selecting another port is refused
    m_view->OnFlash();
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].rfind("sim: ", 0), 0u) << Messages()[0];
    EXPECT_FALSE(m_bench->m_comm.GetPortOpen());
    EXPECT_TRUE(Untouched(Processor::Control));
}

}  // namespace
