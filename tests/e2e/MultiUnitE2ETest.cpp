// Several units in one flashtool command, each a unitsim on a pseudo-terminal of its own.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tests/e2e/UnitSimProcess.h"
#include "tests/support/RecordSchema.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

TEST(ManyUnits, EachUnitGetsItsImageAndItsRecord) {
    const fs::path dir = fs::temp_directory_path() / ("flashtool-many-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "LB1~4K_many.mot") << "S1130000000102030405060708090A0B0C0D0E0F74\n"
                                              "S1130010101112131415161718191A1B1C1D1E1F64\n"
                                              "S9030000FC\n";
    // A unit that works, one that never answers the loader, one whose loader refuses a frame.
    const std::vector<std::vector<std::string>> plans = {
        {}, {"--faults", "silent:table"}, {"--faults", "answer:frame#1=0x15"}};
    std::vector<std::unique_ptr<UnitSimProcess>> units;
    std::vector<std::string> ports;
    for (size_t i = 0; i < plans.size(); ++i) {
        fs::create_directories(dir / ("flash" + std::to_string(i)));
        std::vector<std::string> args = {
            "--model",      "VX310R",
            "--version",    "A1.03",
            "--restart-ms", "200",
            "--flash-dir",  (dir / ("flash" + std::to_string(i))).string(),
            "--unit-id",    "5156303030303030303" + std::to_string(i)};
        args.insert(args.end(), plans[i].begin(), plans[i].end());
        units.push_back(std::make_unique<UnitSimProcess>(args));
        ports.push_back(units.back()->ReadLine());
        ASSERT_FALSE(ports.back().empty());
    }
    std::string command = "cd '" + dir.string() + "' && " FLASHTOOL_BIN " flash LB1~4K_many.mot";
    for (const std::string& port : ports) {
        command += " --port " + port;
    }
    command += " --json --log runs.jsonl >out.txt 2>err.txt";

    {
        const int raw = std::system(command.c_str());
        EXPECT_EQ(WEXITSTATUS(raw), 1) << ReadFile(dir / "err.txt");
        // Standard output carries one JSON line per unit and nothing else.
        std::map<std::string, nlohmann::json> records;
        std::istringstream out(ReadFile(dir / "out.txt"));
        for (std::string line; std::getline(out, line);) {
            const nlohmann::json record = record_schema::Parsed(line);
            records[record["port"].get<std::string>()] = record;
        }
        ASSERT_EQ(records.size(), 3u) << ReadFile(dir / "out.txt");
        // Each record names its own unit.
        for (size_t i = 0; i < ports.size(); ++i) {
            EXPECT_EQ(records[ports[i]]["unit_id"], "5156303030303030303" + std::to_string(i));
        }
        const nlohmann::json& good = records[ports[0]];
        EXPECT_EQ(good["result"], "ok");
        EXPECT_EQ(good["model"], "VX310R");
        EXPECT_EQ(good["version"], "A1.03");
        EXPECT_EQ(good["steps"]["done"], 1);
        EXPECT_EQ(good["bytes"], 67);
        EXPECT_EQ(good["sha256"].get<std::string>().size(), 64u);
        EXPECT_TRUE(good["message"].is_null());
        EXPECT_EQ(records[ports[1]]["result"], "failed");
        EXPECT_EQ(records[ports[1]]["message"], "Time out !");
        EXPECT_EQ(records[ports[1]]["last_message"], "System not Ready !");
        EXPECT_EQ(records[ports[1]]["failed_step"], "write-start");
        EXPECT_EQ(records[ports[2]]["failed_step"], "transfer");
        EXPECT_EQ(records[ports[2]]["result"], "failed");
        // The first cause, then what was shown last.
        EXPECT_EQ(records[ports[2]]["message"], "Receive Error !");
        EXPECT_NE(
            records[ports[2]]["last_message"].get<std::string>().find("Programming Process Error"),
            std::string::npos)
            << records[ports[2]];
        // The summary names each failed unit by its port.
        const std::string err = ReadFile(dir / "err.txt");
        EXPECT_NE(err.find(ports[1] + "  VX310R"), std::string::npos) << err;
        EXPECT_NE(err.find("failed"), std::string::npos);
        // The working unit holds the image; the others were not written.
        const std::string flash = ReadFile(dir / "flash0/control.bin");
        ASSERT_GE(flash.size(), 32u);
        for (int i = 0; i < 32; ++i) {
            EXPECT_EQ(static_cast<uint8_t>(flash[i]), i) << i;
        }
        EXPECT_FALSE(fs::exists(dir / "flash1/control.bin"));
    }
    // A second run, on the working unit alone once it has restarted, appends to the same log.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int raw = std::system(("cd '" + dir.string() +
                                 "' && " FLASHTOOL_BIN " flash LB1~4K_many.mot --port " + ports[0] +
                                 " --log runs.jsonl >out.txt 2>err.txt")
                                    .c_str());
    EXPECT_EQ(WEXITSTATUS(raw), 0) << ReadFile(dir / "err.txt");
    std::istringstream log(ReadFile(dir / "runs.jsonl"));
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(log, line);) {
        lines.push_back(record_schema::Parsed(line));
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines.back()["port"], ports[0]);
    EXPECT_EQ(lines.back()["result"], "ok");
    fs::remove_all(dir);
    // A unit id is 20 hexadecimal digits.
    for (const char* id : {"0011", "5156303030303030303X"}) {
        const std::string unitsim = UNITSIM_BIN " --unit-id " + std::string(id) + " 2>/dev/null";
        EXPECT_EQ(WEXITSTATUS(std::system(unitsim.c_str())), 2) << id;
    }
}

// A folder of its own with a small firmware file, and units on pseudo-terminals of their own.
class ManyUnitRun : public ::testing::Test {
protected:
    ManyUnitRun() {
        m_dir = fs::temp_directory_path() /
                ("flashtool-many-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir / "flash");
        std::ofstream(m_dir / "LB1~4K_many.mot")
            << "S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n";
    }
    ~ManyUnitRun() override { fs::remove_all(m_dir); }

    // A unit that is slow to be found, so its run stays in identification for seconds.
    std::string AddUnit(const std::string& faults = "silent:discovery") {
        m_units.push_back(std::make_unique<UnitSimProcess>(
            std::vector<std::string>{"--model", "VX310R", "--version", "A1.03", "--faults", faults,
                                     "--flash-dir", (m_dir / "flash").string()}));
        return m_units.back()->ReadLine();
    }
    // Starts flashtool in the folder with `args`; returns its process id.
    pid_t Start(const std::string& args) const {
        fs::remove(m_dir / "err.txt");
        const std::string line =
            "cd '" + m_dir.string() + "' && exec " FLASHTOOL_BIN " " + args + " >out.txt 2>err.txt";
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }
    std::string Err() const { return ReadFile(m_dir / "err.txt"); }
    // Waits until `done` holds (or a while passed).
    template <typename Done>
    static bool Eventually(Done done) {
        for (int i = 0; i < 1000 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }
    std::vector<nlohmann::json> Logged() const {
        std::vector<nlohmann::json> records;
        std::istringstream lines(ReadFile(m_dir / "runs.jsonl"));
        for (std::string line; std::getline(lines, line);) {
            records.push_back(record_schema::Parsed(line));
        }
        return records;
    }

    fs::path m_dir;
    std::vector<std::unique_ptr<UnitSimProcess>> m_units;
};

// The processes whose parent is `parent`.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = ReadFile(entry.path() / "stat");
        const size_t end = stat.rfind(')');
        if (end == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(end + 2));
        std::string state;
        pid_t ppid = 0;
        fields >> state >> ppid;
        if (ppid == parent) {
            children.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return children;
}

TEST_F(ManyUnitRun, APortNamedTwiceIsRefusedBeforeAnyUnitIsTouched) {
    const std::string device = AddUnit("");
    ASSERT_FALSE(device.empty());
    fs::create_symlink(device, m_dir / "unit-link");
    const std::string resolved = fs::canonical(device).string();
    const struct {
        std::string first, second, named;
    } cases[] = {
        {device, "unit-link", resolved},
        {"sim", "sim", "sim"},
    };
    for (const auto& c : cases) {
        const pid_t run = Start("flash LB1~4K_many.mot --port " + c.first + " --port " + c.second +
                                " --log runs.jsonl");
        int raw = 0;
        waitpid(run, &raw, 0);
        EXPECT_EQ(WEXITSTATUS(raw), 2) << Err();
        EXPECT_EQ(Err(), "--port " + c.first + " and --port " + c.second + " name the same port (" +
                             c.named + ")\n");
        EXPECT_FALSE(fs::exists(m_dir / "runs.jsonl"));
    }
}

TEST_F(ManyUnitRun, EveryChildIsRecordedOnceHoweverItEnds) {
    const std::vector<std::string> ports = {AddUnit(), AddUnit()};
    const std::string command = "flash LB1~4K_many.mot --port " + ports[0] + " --port " + ports[1] +
                                " --json --log runs.jsonl";
    const auto started = [this, &ports] {
        const std::string err = Err();
        return err.find(ports[0] + ": Initiate") != std::string::npos &&
               err.find(ports[1] + ": Initiate") != std::string::npos;
    };

    // A child killed outright: the parent says so, with the file and its hash.
    pid_t parent = Start(command);
    ASSERT_TRUE(Eventually(started)) << Err();
    std::vector<pid_t> children = ChildrenOf(parent);
    ASSERT_EQ(children.size(), 2u);
    for (const pid_t child : children) {
        EXPECT_EQ(ReadFile("/proc/" + std::to_string(child) + "/comm"), "flashtool\n");
    }
    kill(children[0], SIGKILL);
    int raw = 0;
    waitpid(parent, &raw, 0);
    EXPECT_EQ(WEXITSTATUS(raw), 1) << Err();
    std::vector<nlohmann::json> logged = Logged();
    ASSERT_EQ(logged.size(), 2u) << Err();
    const auto killed = std::find_if(logged.begin(), logged.end(), [](const nlohmann::json& r) {
        return r["message"] == "Killed by signal 9 (SIGKILL)";
    });
    ASSERT_NE(killed, logged.end()) << logged[0] << logged[1];
    EXPECT_EQ((*killed)["file"], "LB1~4K_many.mot");
    EXPECT_EQ((*killed)["sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ((*killed)["last_message"], "Initiate");
    EXPECT_EQ((*killed)["exit_status"], 128 + SIGKILL);
    EXPECT_EQ((*killed)["failed_step"], "child");
    EXPECT_EQ((*killed)["command"], "flash");
    fs::remove(m_dir / "runs.jsonl");

    // The parent killed outright: each child stops as on Ctrl+C and writes its own record.
    parent = Start(command);
    ASSERT_TRUE(Eventually(started)) << Err();
    children = ChildrenOf(parent);
    ASSERT_EQ(children.size(), 2u);
    kill(parent, SIGKILL);
    waitpid(parent, &raw, 0);
    EXPECT_TRUE(Eventually([&children] {
        return std::none_of(children.begin(), children.end(),
                            [](pid_t child) { return kill(child, 0) == 0; });
    }));
    logged = Logged();
    ASSERT_EQ(logged.size(), 2u);
    for (const nlohmann::json& record : logged) {
        EXPECT_EQ(record["result"], "stopped") << record;
        EXPECT_EQ(record["message"], "Stopped by signal 15 (SIGTERM)");
    }
    // Their working folders go with the next run.
    const std::string folders = "flashtool-unit-" + std::to_string(parent) + "-";
    const auto leftOver = [&folders] {
        return std::any_of(fs::directory_iterator(fs::temp_directory_path()),
                           fs::directory_iterator(), [&folders](const fs::directory_entry& entry) {
                               return entry.path().filename().string().rfind(folders, 0) == 0;
                           });
    };
    EXPECT_TRUE(leftOver());
    waitpid(Start("identify --port " + ports[0] + " --port " + ports[1]), &raw, 0);
    EXPECT_FALSE(leftOver());
}

}  // namespace
