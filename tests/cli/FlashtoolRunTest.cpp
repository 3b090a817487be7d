// Whole flashtool processes against the simulated unit in real time: the working folder held by
// one run, signals during the restart countdown, and the faults of the command line.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/Process.h"
#include "tests/support/RecordSchema.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

constexpr const char* kUnit4K = " --port sim --sim-model VX310R --sim-version A1.03";
constexpr auto kPatience = std::chrono::seconds(30);

// Waits until `path` holds `text`; false after kPatience.
bool WaitForText(const std::string& path, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Exists(path) && ReadText(path).find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Files that a stopped run must not leave behind.
bool LeftoversIn(const std::string& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".new" || ext == ".part") {
            return true;
        }
    }
    return false;
}

// A 6K container whose MPPT block is one record, so the restart countdown comes soon.
std::string QuickSixK() {
    return Container(RecordLines(2000, 0x100), 2000, RecordLines(1, 0x40), 1);
}

class FlashtoolRun : public ::testing::Test {
protected:
    TempDir m_dir;
};

TEST_F(FlashtoolRun, AWorkingFolderBelongsToOneRun) {
    WriteText("LB1~4K_a.mot", SrecFile(RecordLines(64)));
    WriteText("LB1~4K_b.mot", SrecFile(RecordLines(64, 0x1000)));
    const pid_t first =
        Spawn(FlashtoolCommand("flash LB1~4K_a.mot" + std::string(kUnit4K)) + " >a.out 2>a.err");
    ASSERT_TRUE(WaitForText("a.err", "You will update")) << ReadText("a.err");
    const std::string image = ReadText("tmp.bin");

    // Another run in the same folder changes nothing, even one that would fail on its port.
    for (const std::string args :
         {"image LB1~4K_b.mot", "flash LB1~4K_b.mot --port 6", "restart LB1~4K_b.mot --port sim"}) {
        const ProcessResult second = Flashtool(args);
        EXPECT_EQ(second.status, 1) << args;
        EXPECT_NE(second.err.find("in use by another flashtool run (process " +
                                  std::to_string(first) + ")"),
                  std::string::npos)
            << second.err;
        EXPECT_EQ(second.err.find("You will update"), std::string::npos);
    }
    EXPECT_EQ(ReadText("tmp.bin"), image);

    // A folder of its own is free.
    const ProcessResult other = Flashtool("image LB1~4K_b.mot --work-dir other");
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_TRUE(Exists("other/tmp.bin"));
    EXPECT_NE(ReadText("other/tmp.bin"), image);

    EXPECT_EQ(WaitExit(first), 0) << ReadText("a.err");
    EXPECT_NE(ReadText("a.err").find("Programming successfully !"), std::string::npos);
    EXPECT_EQ(Flashtool("image LB1~4K_b.mot").status, 0);  // the lock went with the run
}

TEST_F(FlashtoolRun, ASignalDuringTheCountdownStopsTheRun) {
    WriteText("Tilm6K_q.mot", QuickSixK());
    struct Run {
        int signal;
        int status;
        std::string folder;
        pid_t pid = 0;
    };
    Run runs[] = {{SIGTERM, 143, "term"}, {SIGINT, 130, "int"}};
    for (Run& run : runs) {
        std::filesystem::create_directory(run.folder);
        run.pid = Spawn(FlashtoolCommand("flash Tilm6K_q.mot --port sim --work-dir " + run.folder) +
                        " >" + run.folder + ".out 2>" + run.folder + ".err");
    }
    for (Run& run : runs) {
        ASSERT_TRUE(WaitForText(run.folder + ".out", "Restart 1")) << ReadText(run.folder + ".err");
        kill(run.pid, run.signal);
    }
    for (Run& run : runs) {
        EXPECT_EQ(WaitExit(run.pid), run.status) << run.folder;
        const std::string out = ReadText(run.folder + ".out");
        const std::string err = ReadText(run.folder + ".err");
        EXPECT_EQ(out.find("Step2/2"), std::string::npos) << out;  // no further block went out
        EXPECT_NE(err.find("Programming Process Error."), std::string::npos) << err;
        EXPECT_EQ(err.find("successfully"), std::string::npos);
        EXPECT_FALSE(LeftoversIn(run.folder));
        // The folder is free again.
        EXPECT_EQ(Flashtool("image Tilm6K_q.mot --work-dir " + run.folder).status, 0);
    }
}

TEST_F(FlashtoolRun, CommandLineFaults) {
    WriteText("Tilm6K_q.mot", QuickSixK());
    WriteText("Tilm6Kctrl_q.mot", Container(RecordLines(2000, 0x100), 2000, {}, 0));

    // An empty port names no port.
    ProcessResult run = Flashtool("flash Tilm6K_q.mot --port \"\"");
    EXPECT_EQ(run.status, 2);
    EXPECT_FALSE(Exists("tmp.bin"));

    // A restart of a file with both blocks must be told which one the unit waits for.
    run = Flashtool("restart Tilm6K_q.mot --port sim --sim-virtual");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--block control|mppt|temperase"), std::string::npos) << run.err;
    run = Flashtool("restart Tilm6Kctrl_q.mot --port sim --sim-virtual --block mppt");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("holds only the control block"), std::string::npos) << run.err;
    EXPECT_FALSE(Exists("tmp.bin"));
    // The MPPT image is built for an MPPT restart (the simulated unit is not waiting, so the
    // transfer itself times out).
    run = Flashtool("restart Tilm6K_q.mot --port sim --sim-virtual --block mppt");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadText("tmp.bin").size(), 128u);  // the one MPPT record, not the control block

    // An old unit needs the TempErase image first; a missing one is named.
    run = Flashtool(
        "flash Tilm6K_q.mot --port sim --sim-virtual --sim-version S1.02 --install-dir nowhere");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Read File Error !\nLooked for the TempErase image at nowhere/"
                           "Lumbrook Flash Tools/Flash_LB1~6K/TempErase.log\n"),
              std::string::npos)
        << run.err;
}

// The one record of a run (its standard output under --json).
nlohmann::json Record(const std::string& line) {
    return record_schema::Parsed(line.substr(0, line.find('\n')));
}

TEST_F(FlashtoolRun, EveryRunAskedForARecordWritesOneOrFails) {
    WriteText("LB1~4K_r.mot", SrecFile(RecordLines(64)));
    const std::string flash = "flash LB1~4K_r.mot --sim-virtual" + std::string(kUnit4K);

    // A log that could block the run's end, or is no file, is refused before any unit is touched.
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    ASSERT_EQ(symlink("real.jsonl", "link.jsonl"), 0);
    std::filesystem::create_directory("dir");
    for (const std::string log : {"fifo", "link.jsonl", "dir", "/dev/null"}) {
        for (const std::string ports : {"", " --port 2"}) {
            const ProcessResult run =
                RunCommand("timeout 20 " + FlashtoolCommand(flash + ports + " --log " + log));
            EXPECT_EQ(run.status, 1) << log << ports;
            EXPECT_NE(run.err.find("Cannot write to the log " + log + ": "), std::string::npos)
                << run.err;
            EXPECT_EQ(run.err.find("You will update"), std::string::npos) << run.err;
        }
    }
    EXPECT_FALSE(Exists("real.jsonl"));

    // A record that cannot reach standard output fails the run.
    ProcessResult run = RunCommand("{ " + FlashtoolCommand(flash + " --json") + " >/dev/full; }");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Cannot write the record to standard output: No space left on device"),
              std::string::npos)
        << run.err;

    // The message is the first cause, and the last message follows it; the line share counts
    // only transfers that completed.
    const struct {
        const char* faults;
        int status;
        const char* message;
        const char* last;
        bool share;
    } cases[] = {
        {"", 0, nullptr, nullptr, true},
        {"answer:frame#1=0x15", 1, "Receive Error !", "Programming Process Error.", false},
        {"silent:frame#2", 1, "Time out !", "Programming Process Error.", false},
    };
    for (const auto& c : cases) {
        run = Flashtool(flash + " --json --sim-faults \"" + c.faults + "\"");
        EXPECT_EQ(run.status, c.status) << c.faults << run.err;
        const nlohmann::json record = Record(run.out);
        ASSERT_TRUE(record.is_object()) << run.out;
        EXPECT_EQ(record["line_share"].is_number(), c.share) << record;
        EXPECT_EQ(record["bytes"].get<int>() > 0, true) << record;
        if (c.message == nullptr) {
            EXPECT_TRUE(record["message"].is_null()) << record;
            continue;
        }
        EXPECT_EQ(record["result"], "failed");
        EXPECT_EQ(record["message"], c.message) << record;
        EXPECT_EQ(record["last_message"].get<std::string>().rfind(c.last, 0), 0u) << record;
    }
}

// The blocks of a record as "name/tries/result" items joined by commas.
std::string BlocksOf(const nlohmann::json& record) {
    std::string text;
    for (const nlohmann::json& block : record["blocks"]) {
        text += (text.empty() ? "" : ",") + block["name"].get<std::string>() + "/" +
                std::to_string(block["tries"].get<int>()) + "/" +
                block["result"].get<std::string>();
    }
    return text;
}

TEST_F(FlashtoolRun, TheRecordNamesTheRunTheUnitAndTheStepThatFailed) {
    WriteText("LB1~4K_s.mot", SrecFile(RecordLines(64)));
    WriteText("Tilm6K_s.mot", QuickSixK());
    const std::string unit4K = " --sim-virtual --work-dir w" + std::string(kUnit4K);
    const struct {
        std::string args;
        int status;
        const char* step;  // nullptr: none
        const char* blocks;
    } cases[] = {
        {"flash LB1~4K_s.mot --edition B --sim-unit-id 00112233445566778899" + unit4K, 0, nullptr,
         "control/1/ok"},
        {"flash LB1~4K_s.mot --sim-faults silent:discovery" + unit4K, 1, "identify", ""},
        {"identify --sim-faults silent:discovery" + unit4K, 1, "identify", ""},
        {"flash Tilm6K_s.mot" + unit4K, 1, "model-check", ""},
        {"flash LB1~4K_s.mot --sim-model VX999R --sim-virtual --port sim", 1, "model-check", ""},
        {"check LB1~4K_s.mot" + unit4K, 0, nullptr, ""},
        {"flash LB1~4K_s.mot --sim-faults silent:table" + unit4K, 1, "write-start",
         "control/1/failed"},
        {"flash LB1~4K_s.mot --sim-faults answer:frame#1=0x15" + unit4K, 1, "transfer",
         "control/1/failed"},
        {"flash LB1~4K_s.mot --retries 1 --sim-faults answer:frame#1=0x15" + unit4K, 0, nullptr,
         "control/2/ok"},
        {"flash LB1~4K_s.mot --confirm --sim-restart-ms 200000" + unit4K, 1, "confirm",
         "control/1/ok"},
        {"flash Tilm6K_s.mot --sim-model VX360R --sim-version S1.03 --sim-virtual --port sim", 0,
         nullptr, "MPPT/1/ok,control/1/ok"},
        {"restart Tilm6K_s.mot --block mppt --only --sim-in-loader mppt --sim-model VX360R "
         "--sim-virtual --port sim",
         0, nullptr, "MPPT/1/ok"},
        {"flash LB1~4K_s.mot --port /nonexistent/tty", 1, "port", ""},
        {"flash LB1~4K_s.mot --sim-faults bogus" + unit4K, 2, "usage", ""},
    };
    for (const auto& c : cases) {
        const ProcessResult run = Flashtool(c.args + " --json");
        EXPECT_EQ(run.status, c.status) << c.args << run.err;
        const nlohmann::json record = Record(run.out);
        ASSERT_TRUE(record.is_object()) << c.args << run.out;
        const std::string command = c.args.substr(0, c.args.find(' '));
        EXPECT_EQ(record["command"], command);
        EXPECT_EQ(record["exit_status"], c.status) << c.args;
        EXPECT_EQ(record["failed_step"], c.step ? nlohmann::json(c.step) : nlohmann::json())
            << c.args << record;
        EXPECT_EQ(BlocksOf(record), c.blocks) << c.args << record;
        const std::string port = c.args.substr(c.args.rfind("--port ") + 7);
        EXPECT_EQ(record["port_given"], port.substr(0, port.find(' ')));
        EXPECT_EQ(record["tool"]["name"], "flashtool");
        EXPECT_LE(record["started"].get<std::string>(), record["ended"].get<std::string>());
        const bool named = command != "identify";
        EXPECT_EQ(record["file_model"],
                  !named ? nlohmann::json()
                         : nlohmann::json(c.args.find("Tilm6K") != std::string::npos ? "Tilm6K"
                                                                                     : "LB1~4K"))
            << c.args;
    }

    // The unit's own id, the edition, and each block's image as it went out.
    ProcessResult run = Flashtool(cases[0].args + " --json");
    nlohmann::json record = Record(run.out);
    EXPECT_EQ(record["unit_id"], "00112233445566778899");
    EXPECT_EQ(record["edition"], "B");
    EXPECT_EQ(record["port"], "sim");
    EXPECT_EQ(record["blocks"][0]["sha256"], RunCommand("sha256sum w/tmp.bin").out.substr(0, 64));
    EXPECT_EQ(record["blocks"][0]["size"], std::filesystem::file_size("w/tmp.bin"));
    EXPECT_EQ(Record(Flashtool(cases[4].args + " --json").out)["unit_id"], "51563030313233343536");
    // The retry waited 40 s for the loader in the unit's time, as the progress lines count it.
    EXPECT_GE(Record(Flashtool(cases[8].args + " --json").out)["seconds"].get<double>(), 40.0);
    // A unit id that is not one is a usage error.
    for (const char* id : {"0011", "00112233445566778899AA", "0011223344556677889G"}) {
        EXPECT_EQ(Flashtool("identify --sim-unit-id " + std::string(id) + unit4K).status, 2) << id;
    }

    // The schema checker finds what does not fit.
    const std::pair<const char*, nlohmann::json> misfits[] = {
        {"/extra", 1},
        {"/exit_status", "0"},
        {"/failed_step", "nowhere"},
        {"/started", "yesterday"},
        {"/blocks/0/size", -1},
        {"/unit_id", "00"},
    };
    for (const auto& [at, value] : misfits) {
        nlohmann::json wrong = record;
        wrong[nlohmann::json::json_pointer(at)] = value;
        EXPECT_NE(record_schema::Faults(wrong), "") << at;
    }
    record.erase("unit_id");
    EXPECT_NE(record_schema::Faults(record).find("lacks unit_id"), std::string::npos);
}

TEST_F(FlashtoolRun, TheRecordHashesTheFileTheRunRead) {
    const std::string original = SrecFile(RecordLines(64));
    WriteText("LB1~4K_h.mot", original);
    WriteText("copy.mot", original);
    const std::string expected = RunCommand("sha256sum copy.mot").out.substr(0, 64);
    const pid_t run = Spawn(FlashtoolCommand("flash LB1~4K_h.mot --json" + std::string(kUnit4K)) +
                            " >h.out 2>h.err");
    ASSERT_TRUE(WaitForText("h.err", "Programming")) << ReadText("h.err");
    WriteText("LB1~4K_h.mot", SrecFile(RecordLines(64, 0x2000)));  // replaced mid-transfer
    EXPECT_EQ(WaitExit(run), 0) << ReadText("h.err");
    EXPECT_EQ(Record(ReadText("h.out"))["sha256"], expected) << ReadText("h.out");
}

TEST_F(FlashtoolRun, RunningOutOfMemoryIsAFailureNotAnAbort) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
    std::string text;
    for (uint32_t address = 0; address < 600000; ++address) {
        text += S2Line(address, {static_cast<uint8_t>(address)}) + "\n";
    }
    WriteText("LB1~4K_big.mot", text + "S9030000FC\n");
    for (const char* limitKb : {"14000", "30000", "60000"}) {
        const ProcessResult run = RunCommand(std::string("ulimit -v ") + limitKb + "; " +
                                             FlashtoolCommand("image LB1~4K_big.mot"));
        EXPECT_EQ(run.status, 1) << limitKb << ": " << run.err;
        EXPECT_FALSE(run.err.empty());
        EXPECT_FALSE(LeftoversIn("."));
    }
}

}  // namespace
