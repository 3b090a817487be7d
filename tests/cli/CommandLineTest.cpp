// The command lines of flashtool and unitsim: options before or after the file alike, each
// --port one value, the version line, and unitsim's usage errors.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "tests/support/Process.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

constexpr const char* kUnit4K = " --port sim --sim-virtual --sim-model VX310R --sim-version A1.03 ";

class CommandLine : public ::testing::Test {
protected:
    CommandLine() { WriteText("LB1~4K_fw.mot", SrecFile(RecordLines(64))); }
    TempDir m_dir;
};

TEST_F(CommandLine, OptionsBeforeOrAfterTheFileWorkAlike) {
    const std::string unit = kUnit4K;
    const struct {
        std::string args;
        int status;
        const char* file;    // a file the run must leave, or nullptr
        const char* output;  // text its stdout or stderr must hold, or nullptr
    } cases[] = {
        {"flash LB1~4K_fw.mot" + unit, 0, "tmp.bin", "Programming successfully !"},
        {"flash" + unit + "LB1~4K_fw.mot", 0, "tmp.bin", "Programming successfully !"},
        {"flash --port sim --sim-virtual LB1~4K_fw.mot --sim-model VX310R --sim-version A1.03", 0,
         nullptr, "Programming successfully !"},
        {"flash --log before.jsonl" + unit + "LB1~4K_fw.mot", 0, "before.jsonl", nullptr},
        {"flash --work-dir wd" + unit + "LB1~4K_fw.mot --json", 0, "wd/tmp.bin",
         "\"result\":\"ok\""},
        {"restart --block control --sim-in-loader control" + unit + "LB1~4K_fw.mot", 0, nullptr,
         "Sent 1042 bytes"},
        {"check --edition B" + unit + "LB1~4K_fw.mot", 0, nullptr, "fits the unit"},
        {"identify" + unit, 0, nullptr, "model name      VX310R"},
        // Each --port takes one value, the file comes after the last as well as before the first.
        {"flash --port 1 --port 2 LB1~4K_fw.mot --print-config", 0, nullptr, "1, 2  (command"},
        {"flash LB1~4K_fw.mot --port 1 --port 2 --print-config", 0, nullptr, "1, 2  (command"},
        {"flash --port sim", 2, nullptr, "FILE is required"},
        {"identify --port sim LB1~4K_fw.mot", 2, nullptr, "LB1~4K_fw.mot"},  // identify takes none
        {"image --work-dir wd2 LB1~4K_fw.mot", 0, "wd2/tmp.bin", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        std::filesystem::remove_all("wd");
        std::filesystem::remove("tmp.bin");
        const ProcessResult run = Flashtool(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.file != nullptr) {
            EXPECT_TRUE(Exists(c.file));
        }
        if (c.output != nullptr) {
            EXPECT_NE((run.out + run.err).find(c.output), std::string::npos) << run.out << run.err;
        }
    }
}

TEST_F(CommandLine, VersionLineNamesTheProgram) {
    const ProcessResult run = Flashtool("--version");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(std::regex_match(run.out, std::regex("flashtool [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << run.out;
}

#ifdef UNITSIM_BIN
TEST_F(CommandLine, UnitsimUsageErrorsExitTwoAndItsFlashFolderIsMade) {
    const std::string unitsim = UNITSIM_BIN;
    for (const char* args : {"--bogus", "--faults nonsense", "--in-loader cpu", "--restart-ms -1",
                             "--unit-id 12", "extra"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(RunCommand(unitsim + " " + args).status, 2);
    }
    EXPECT_EQ(RunCommand(unitsim + " --help").status, 0);
    // Served until the stop signal, with the folder for its flash made on the way.
    const ProcessResult run =
        RunCommand("timeout --preserve-status -s INT 1 " + unitsim + " --flash-dir new/flash");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("/dev/", 0), 0u) << run.out;
    EXPECT_TRUE(std::filesystem::is_directory("new/flash"));
}
#endif

}  // namespace
