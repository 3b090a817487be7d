#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/Process.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

constexpr const char* kSim = "--port sim --sim-virtual";

class FlashtoolDevice : public ::testing::Test {
protected:
    FlashtoolDevice() {
        WriteText("LB1~4K_fw.mot", SrecFile(RecordLines(64)));
        std::filesystem::create_directories("install/Kestrune");
        WriteText("install/Kestrune/3062f.bin", std::string(1558, 'k'));
        WriteText("install/Kestrune/PreFlash.bin", std::string(128, 'p'));
    }
    TempDir m_dir;
};

TEST_F(FlashtoolDevice, FlashSucceedsOnlyWhenTheUnitTookTheImage) {
    ProcessResult run = Flashtool(std::string("flash LB1~4K_fw.mot ") + kSim +
                                  " --sim-model VX310R --sim-version A1.03");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "You will update LB1~4K_fw.mot !\nProgramming successfully !\n");
    EXPECT_NE(run.out.find("Sent 1042 bytes in "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("of the 9600-baud line rate"), std::string::npos);

    // The default simulated unit is of the other family.
    run = Flashtool(std::string("flash LB1~4K_fw.mot ") + kSim);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("But the input FW is not matched!"), std::string::npos);

    run = Flashtool(std::string("flash LB1~4K_fw.mot ") + kSim +
                    " --sim-model VX310R --sim-version A1.03 --sim-faults answer:frame#3=0x15");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Receive Error !"), std::string::npos);
    EXPECT_EQ(run.err.find("successfully"), std::string::npos);

    EXPECT_EQ(Flashtool(std::string("flash missing.mot ") + kSim).status, 1);
    EXPECT_EQ(
        Flashtool(std::string("flash LB1~4K_fw.mot ") + kSim + " --sim-faults nonsense").status, 2);
    EXPECT_EQ(Flashtool("flash LB1~4K_fw.mot").status, 2);  // no port
}

TEST_F(FlashtoolDevice, BootRoadAndIdentify) {
    ProcessResult run = Flashtool(std::string("boot LB1~4K_fw.mot ") + kSim +
                                  " --sim-model VX310R --install-dir install");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "You will update LB1~4K_fw.mot !\nProgramming successfully !\n");
    // Without the kernel the road stops after the handshake.
    run = Flashtool(std::string("boot LB1~4K_fw.mot ") + kSim + " --install-dir elsewhere");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("3062f.bin File Read Error !"), std::string::npos);

    run = Flashtool(std::string("identify ") + kSim + " --trace");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "version text    S1.03\nmodel name      VX360R          \nversion number  103\n"
              "unit flags      0x133\n");
    EXPECT_NE(run.err.find("] > AA AA 01 00 00 00 00 04 00 01 59\n"), std::string::npos);
    EXPECT_EQ(Flashtool(std::string("identify ") + kSim + " --sim-faults silent:discovery").status,
              1);
}

TEST_F(FlashtoolDevice, AUnitThatCannotBeCheckedNeedsUnchecked) {
    for (const char* unit : {"--sim-model VX310R --sim-faults silent:discovery",
                             "--sim-model VX999R --sim-version A1.03"}) {
        const std::string flash = std::string("flash LB1~4K_fw.mot ") + kSim + " " + unit;
        ProcessResult run = Flashtool(flash);
        EXPECT_EQ(run.status, 1) << unit;
        EXPECT_NE(run.err.find("cannot be checked against it. Flash anyway?\n"), std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find("Refused: the unit could not be checked against LB1~4K_fw.mot; "
                               "give --unchecked to flash it anyway.\n"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(run.err.find("successfully"), std::string::npos);
        run = Flashtool(flash + " --unchecked");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("Flash anyway?"), std::string::npos) << run.err;
    }
}

// A restart of the MPPT block of a file with both blocks goes on with the control block.
TEST_F(FlashtoolDevice, RestartFinishesTheRunUnlessOnly) {
    WriteText("LB6K_r.mot", Container(RecordLines(2000, 0x100), 2000, RecordLines(2, 0x40), 2));
    const std::string restart = std::string("restart LB6K_r.mot --block mppt ") + kSim +
                                " --sim-model VX360R --sim-version A1.03 --sim-in-loader mppt";
    struct Case {
        const char* extra;
        int transfers;
        bool success;  // the run's own success message
    };
    for (const Case& c : {Case{"", 2, true}, Case{" --only", 1, false}}) {
        const ProcessResult run = Flashtool(restart + c.extra);
        EXPECT_EQ(run.status, 0) << run.err;
        size_t transfers = 0;
        for (size_t at = run.out.find("Sent "); at != std::string::npos;
             at = run.out.find("Sent ", at + 1)) {
            ++transfers;
        }
        EXPECT_EQ(transfers, static_cast<size_t>(c.transfers)) << run.out;
        EXPECT_EQ(run.err.find("Programming successfully !") != std::string::npos, c.success)
            << run.err;
    }
}

// check writes nothing to the unit; --confirm and --retries through the command line.
TEST_F(FlashtoolDevice, CheckConfirmAndRetries) {
    struct Case {
        std::string args;
        int status;
        std::vector<std::string> said;  // lines stderr must hold
    };
    const std::string unit = std::string(" ") + kSim + " --sim-model VX310R --sim-version A1.03";
    const Case cases[] = {
        {"check LB1~4K_fw.mot" + unit,
         0,
         {"The file LB1~4K_fw.mot fits the unit VX310R (version A1.03).\n"}},
        {std::string("check LB1~4K_fw.mot ") + kSim, 1, {"But the input FW is not matched!"}},
        {"check LB1~4K_fw.mot" + unit + " --sim-faults silent:discovery",
         1,
         {"The unit did not identify itself, so the file cannot be checked against it.\n"}},
        {"flash LB1~4K_fw.mot --confirm" + unit,
         0,
         {"The unit came back: VX310R, version A1.03\n"}},
        {"flash LB1~4K_fw.mot --confirm" + unit + " --sim-restart-ms 100000",
         1,
         {"The unit did not come back after programming\n"}},
        {"flash LB1~4K_fw.mot --retries 1" + unit + " --sim-faults silent:frame#3",
         0,
         {"Retrying the control block (2 of 2) in 40 s\n", "Programming successfully !\n"}},
        {"flash LB1~4K_fw.mot --retries 1" + unit + " --sim-faults answer:frame=0x15",
         1,
         {"Retrying the control block (2 of 2) in 40 s\n"}},
    };
    for (const Case& c : cases) {
        const ProcessResult run = Flashtool(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
        for (const std::string& line : c.said) {
            EXPECT_NE(run.err.find(line), std::string::npos) << c.args << "\n" << run.err;
        }
        if (c.args.rfind("check", 0) == 0) {
            EXPECT_EQ(run.out.find("Sent "), std::string::npos) << run.out;
        }
    }
}

}  // namespace
