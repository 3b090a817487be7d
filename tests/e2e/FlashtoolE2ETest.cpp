// flashtool over the real serial back end against the simulator program, in real time.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/UnitSimProcess.h"
#include "tests/support/RecordSchema.h"

namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

class FlashtoolOverPty : public ::testing::Test {
protected:
    FlashtoolOverPty() {
        m_dir = std::filesystem::temp_directory_path() /
                ("flashtool-e2e-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir / "flash");
        std::filesystem::create_directories(m_dir / "install/Kestrune");
        // 128 bytes at address 0: two frames.
        std::ofstream(m_dir / "LB1~4K_e2e.mot") << "S1130000000102030405060708090A0B0C0D0E0F74\n"
                                                   "S1130010101112131415161718191A1B1C1D1E1F64\n"
                                                   "S1130020202122232425262728292A2B2C2D2E2F54\n"
                                                   "S1130030303132333435363738393A3B3C3D3E3F44\n"
                                                   "S1130040404142434445464748494A4B4C4D4E4F34\n"
                                                   "S9030000FC\n";
        std::ofstream(m_dir / "install/Kestrune/3062f.bin") << std::string(40, 'k');
        std::ofstream(m_dir / "install/Kestrune/PreFlash.bin") << std::string(64, 'p');
    }
    ~FlashtoolOverPty() override { std::filesystem::remove_all(m_dir); }

    // Runs flashtool in the test's folder against the simulator's terminal.
    int Flashtool(const std::string& command, const std::string& device) {
        const std::string line = "cd '" + m_dir.string() + "' && " FLASHTOOL_BIN " " + command +
                                 " LB1~4K_e2e.mot --port " + device +
                                 " --install-dir install >out.txt 2>err.txt";
        const int raw = std::system(line.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    std::string Err() const { return ReadFile(m_dir / "err.txt"); }
    // Starts a shell command line in the test's folder; returns its process id.
    pid_t Start(const std::string& command) const {
        const std::string line = "cd '" + m_dir.string() + "' && exec " + command;
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }
    // Waits until the file `name` of the test's folder holds `text`; false after a while.
    // Waits for any of the texts (separated by '|') to appear in the file.
    bool WaitForText(const std::string& name, const std::string& texts) const {
        for (int i = 0; i < 1000; ++i) {
            const std::string content = ReadFile(m_dir / name);
            for (size_t at = 0; at <= texts.size();) {
                const size_t end = std::min(texts.find('|', at), texts.size());
                if (content.find(texts.substr(at, end - at)) != std::string::npos) {
                    return true;
                }
                at = end + 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // The records of a JSON Lines file.
    std::vector<nlohmann::json> Records(const std::string& name) const {
        std::vector<nlohmann::json> records;
        std::istringstream lines(ReadFile(m_dir / name));
        for (std::string line; std::getline(lines, line);) {
            records.push_back(record_schema::Parsed(line));
        }
        return records;
    }
    std::string ControlFlash() const { return ReadFile(m_dir / "flash/control.bin").substr(0, 80); }

    static std::string Expected() {
        std::string image;
        for (int i = 0; i < 80; ++i) {
            image.push_back(static_cast<char>(i));
        }
        return image;
    }

    std::filesystem::path m_dir;
};

TEST_F(FlashtoolOverPty, FlashProgramsTheUnit) {
    UnitSimProcess unit({"--model", "VX310R", "--version", "A1.03", "--restart-ms", "200",
                         "--flash-dir", (m_dir / "flash").string()});
    const std::string device = unit.ReadLine();
    ASSERT_FALSE(device.empty());
    EXPECT_EQ(Flashtool("flash", device), 0) << Err();
    EXPECT_NE(Err().find("Programming successfully !"), std::string::npos) << Err();
    EXPECT_EQ(ControlFlash(), Expected());
}

TEST_F(FlashtoolOverPty, BootRoadProgramsTheUnit) {
    UnitSimProcess unit(
        {"--boot-mode", "--restart-ms", "200", "--flash-dir", (m_dir / "flash").string()});
    const std::string device = unit.ReadLine();
    ASSERT_FALSE(device.empty());
    EXPECT_EQ(Flashtool("boot", device), 0) << Err();
    EXPECT_NE(Err().find("Programming successfully !"), std::string::npos) << Err();
    EXPECT_EQ(ControlFlash(), Expected());
}

TEST_F(FlashtoolOverPty, ASignalOutsideADialogStillLeavesTheRecord) {
    // At identification (the unit is slow to be found), and in the hand-over wait with the unit
    // already in its loader (its "*FLASH" answer came, the block table not yet sent).
    const struct {
        const char* faults;
        const char* reached;
        int signal;
    } cases[] = {
        {"silent:discovery", "] > AA AA 01 00 00 00 00 00", SIGTERM},
        {"silent:discovery", "] > AA AA 01 00 00 00 00 00", SIGINT},
        // The answer's last byte, read alone or with the ones before it.
        {"", "] < 0D\n|0A 0D\n", SIGTERM},
        {"", "] < 0D\n|0A 0D\n", SIGINT},
    };
    for (const auto& c : cases) {
        for (const char* name : {"runs.jsonl", "err.txt"}) {
            std::filesystem::remove(m_dir / name);
        }
        UnitSimProcess unit({"--model", "VX310R", "--version", "A1.03", "--faults", c.faults,
                             "--flash-dir", (m_dir / "flash").string()});
        const std::string device = unit.ReadLine();
        ASSERT_FALSE(device.empty());
        const pid_t run = Start(FLASHTOOL_BIN " flash LB1~4K_e2e.mot --port " + device +
                                " --json --log runs.jsonl --trace >out.txt 2>err.txt");
        ASSERT_TRUE(WaitForText("err.txt", c.reached)) << Err();
        kill(run, c.signal);
        int raw = 0;
        waitpid(run, &raw, 0);
        ASSERT_TRUE(WIFEXITED(raw)) << c.faults << " " << c.signal;
        EXPECT_EQ(WEXITSTATUS(raw), 128 + c.signal);
        const std::vector<nlohmann::json> logged = Records("runs.jsonl");
        ASSERT_EQ(logged.size(), 1u) << Err();
        EXPECT_EQ(Records("out.txt"), logged);
        EXPECT_EQ(logged[0]["result"], "stopped") << logged[0];
        EXPECT_EQ(logged[0]["message"], "Stopped by signal " + std::to_string(c.signal) + " (" +
                                            (c.signal == SIGTERM ? "SIGTERM" : "SIGINT") + ")");
        EXPECT_EQ(logged[0]["sha256"].get<std::string>().size(), 64u);
        // The stop's record names the step it came in, and the port as typed and as the system
        // names it.
        EXPECT_EQ(logged[0]["exit_status"], 128 + c.signal);
        EXPECT_EQ(logged[0]["failed_step"], *c.faults != '\0' ? "identify" : "write-start");
        EXPECT_EQ(logged[0]["port"], device);
        EXPECT_EQ(logged[0]["port_given"], device);
        EXPECT_LE(logged[0]["started"].get<std::string>(), logged[0]["ended"].get<std::string>());
        // No block table went out after the stop.
        EXPECT_EQ(Err().find("] > 57 08"), std::string::npos) << Err();
        EXPECT_FALSE(std::filesystem::exists(m_dir / "flash/control.bin"));
    }
}

TEST_F(FlashtoolOverPty, ALostProgressOutputDoesNotStopTheTransfer) {
    // The reader of the progress goes after its first line; with stderr in the same pipe the
    // messages go too, and only the exit status and the record tell.
    const struct {
        const char* streams;
        int status;
        const char* note;
    } cases[] = {
        {"2>err.txt", 0, "Progress output was lost: Broken pipe; the run went on."},
        {"2>&1", 1, nullptr},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(m_dir / "flash");
        std::filesystem::create_directories(m_dir / "flash");
        std::filesystem::remove(m_dir / "runs.jsonl");
        UnitSimProcess unit({"--model", "VX310R", "--version", "A1.03", "--restart-ms", "200",
                             "--flash-dir", (m_dir / "flash").string()});
        const std::string device = unit.ReadLine();
        ASSERT_FALSE(device.empty());
        const std::string line =
            "cd '" + m_dir.string() +
            "' && { " FLASHTOOL_BIN " flash LB1~4K_e2e.mot --log runs.jsonl --port " + device +
            " " + c.streams + "; echo $? >status.txt; } | head -1 >first.txt";
        ASSERT_NE(std::system(line.c_str()), -1);  // the status is the run's, in status.txt
        EXPECT_EQ(ReadFile(m_dir / "status.txt"), std::to_string(c.status) + "\n") << Err();
        EXPECT_EQ(ControlFlash(), Expected());
        const std::vector<nlohmann::json> logged = Records("runs.jsonl");
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0]["steps"]["done"], 1);
        if (c.note != nullptr) {
            EXPECT_NE(Err().find(c.note), std::string::npos) << Err();
            EXPECT_EQ(logged[0]["result"], "ok");
        } else {
            EXPECT_EQ(logged[0]["result"], "failed");
            EXPECT_EQ(logged[0]["message"],
                      "Progress output was lost: Broken pipe, and so were the messages");
        }
    }
}

}  // namespace
