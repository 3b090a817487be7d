// The station on pseudo-terminals: units that unitsim presents one after another, in real time.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "sim/SimUnit.h"
#include "tests/e2e/UnitSimProcess.h"
#include "tests/support/RecordSchema.h"
#include "tests/support/ShieldedEnvironment.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string UnitId(int n) {
    return "515630303030303030" + std::string(n < 10 ? "0" : "") + std::to_string(n);
}

class Station : public ::testing::Test {
protected:
    Station() {
        fs::create_directories(m_dir / "flash");
        std::ofstream(m_dir / "LB1~4K_station.mot")
            << "S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n";
    }

    // A unitsim whose units stay briefly once done and restart quickly.
    std::string AddLine(std::vector<std::string> args, const std::string& model = "VX310R") {
        args.insert(args.end(),
                    {"--model", model, "--version", "A1.03", "--restart-ms", "200", "--stay-ms",
                     "3500", "--away-ms", "300", "--flash-dir", (m_dir / "flash").string()});
        m_lines.push_back(std::make_unique<UnitSimProcess>(args));
        return m_lines.back()->ReadLine();
    }
    pid_t Start(const std::string& args) const {
        fs::remove(m_dir / "out.txt");
        fs::remove(m_dir / "err.txt");
        const std::string line = "cd '" + m_dir.string() +
                                 "' && exec " FLASHTOOL_BIN " station LB1~4K_station.mot " + args +
                                 " >out.txt 2>err.txt";
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }
    static int Exit(pid_t pid) {
        int raw = 0;
        waitpid(pid, &raw, 0);
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    std::string Out() const { return ReadFile(m_dir / "out.txt"); }
    std::string Err() const { return ReadFile(m_dir / "err.txt"); }
    template <typename Done>
    static bool Eventually(Done done, int seconds = 45) {
        for (int i = 0; i < seconds * 100 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }
    static std::vector<nlohmann::json> Records(const std::string& text) {
        std::vector<nlohmann::json> records;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            records.push_back(record_schema::Parsed(line));
        }
        return records;
    }
    std::vector<nlohmann::json> Logged() const { return Records(ReadFile(m_dir / "runs.jsonl")); }
    // The port's done, failed and stopped counts in the summary.
    static std::vector<int> Summary(const std::string& text, const std::string& port) {
        const size_t at = text.find("\n" + port + " ", text.find("DONE  FAILED  STOPPED"));
        std::istringstream row(at == std::string::npos ? "" : text.substr(at + port.size() + 1));
        std::vector<int> counts(3, -1);
        row >> counts[0] >> counts[1] >> counts[2];
        return counts;
    }

    TempDir m_temp;
    fs::path m_dir{m_temp.Path("")};
    std::vector<std::unique_ptr<UnitSimProcess>> m_lines;
};

TEST_F(Station, TakesUnitAfterUnitAndTheFailedOneOnce) {
    // Three units one after another; the second one's loader refuses the first frame.
    const std::string port =
        AddLine({"--unit-id", UnitId(1), "--next-units", UnitId(2) + "," + UnitId(3),
                 "--faults-unit", "2", "--faults", "answer:frame#1=0x15"});
    ASSERT_FALSE(port.empty());
    const pid_t station = Start("--port " + port + " --json --log runs.jsonl");
    ASSERT_TRUE(Eventually([this] { return Logged().size() >= 3; })) << Err();
    // The last unit is taken away and the station waits for the next: no unit comes twice.
    ASSERT_TRUE(Eventually([this] {
        return Err().find("waiting for a unit", Err().find(UnitId(3) + ") answered")) !=
               std::string::npos;
    })) << Err();
    kill(station, SIGINT);
    EXPECT_EQ(Exit(station), 1) << Err();

    const std::vector<nlohmann::json> printed = Records(Out());
    ASSERT_EQ(printed.size(), 3u) << Out();
    EXPECT_EQ(Logged(), printed);
    const char* results[] = {"ok", "failed", "ok"};
    for (size_t i = 0; i < printed.size(); ++i) {
        const nlohmann::json& record = printed[i];
        EXPECT_EQ(record["unit_id"], UnitId(static_cast<int>(i) + 1)) << record;
        EXPECT_EQ(record["result"], results[i]) << record;
        EXPECT_EQ(record["command"], "flash");
        EXPECT_EQ(record["port_given"], port);
        EXPECT_EQ(record["model"], "VX310R");
        // A unit's time is its own, from its answer on, not the wait before it.
        EXPECT_LT(record["seconds"].get<double>(), 10.0) << record;
    }
    EXPECT_EQ(printed[1]["failed_step"], "transfer");
    EXPECT_EQ(printed[1]["message"], "Receive Error !");
    EXPECT_EQ(Summary(Err(), port), (std::vector<int>{2, 1, 0})) << Err();
    // Each good unit holds the image and nothing else; the failed one was never written.
    std::string expected(SimUnit::kFlashBytes, '\xFF');
    for (int i = 0; i < 16; ++i) {
        expected[static_cast<size_t>(i)] = static_cast<char>(i);
    }
    for (const int unit : {1, 3}) {
        EXPECT_EQ(ReadFile(m_dir / "flash" / ("control-" + UnitId(unit) + ".bin")), expected)
            << unit;
    }
    EXPECT_FALSE(fs::exists(m_dir / "flash" / ("control-" + UnitId(2) + ".bin")));
}

TEST_F(Station, AFailedUnitThatStaysIsNotTakenAgain) {
    // A 6K unit for an LB1~4K file fails its model check and goes on answering.
    const std::string port = AddLine({"--unit-id", UnitId(4)}, "VX360R");
    const pid_t station = Start("--port " + port + " --log runs.jsonl");
    ASSERT_TRUE(Eventually([this] { return Logged().size() == 1; })) << Out();
    // Past the time a unit needs to be gone: it was seen all along, and is not taken again.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    kill(station, SIGINT);
    EXPECT_EQ(Exit(station), 1) << Out();
    const std::vector<nlohmann::json> logged = Logged();
    ASSERT_EQ(logged.size(), 1u) << Out();
    EXPECT_EQ(logged[0]["failed_step"], "model-check");
    EXPECT_EQ(logged[0]["unit_id"], UnitId(4));
    EXPECT_EQ(Summary(Out(), port), (std::vector<int>{0, 1, 0})) << Out();
}

TEST_F(Station, StopsOnceTheUnitsBeingFlashedAreDoneOrAtOnceOnASecondSignal) {
    // Refused before any unit: the built-in unit, and a port named twice.
    for (const std::string ports : {"--port sim", "--port 1 --port 1"}) {
        EXPECT_EQ(Exit(Start(ports)), 2) << ports;
        EXPECT_FALSE(Err().empty());
    }
    // Two ports at once; the first signal comes while both units are being flashed, and both
    // are finished.
    const std::vector<std::string> ports = {AddLine({"--unit-id", UnitId(1)}),
                                            AddLine({"--unit-id", UnitId(2)})};
    const auto answered = [this](const std::string& port) {
        return Out().find(port + ": unit VX310R") != std::string::npos;
    };
    pid_t station = Start("--port " + ports[0] + " --port " + ports[1] + " --log runs.jsonl");
    ASSERT_TRUE(Eventually([&] { return answered(ports[0]) && answered(ports[1]); })) << Out();
    kill(station, SIGINT);
    EXPECT_EQ(Exit(station), 0) << Out();
    std::vector<nlohmann::json> logged = Logged();
    ASSERT_EQ(logged.size(), 2u) << Out();
    for (const nlohmann::json& record : logged) {
        EXPECT_EQ(record["result"], "ok") << record;
    }
    for (const std::string& port : ports) {
        EXPECT_EQ(Summary(Out(), port), (std::vector<int>{1, 0, 0})) << Out();
    }
    m_lines.clear();

    // A second signal stops the unit being flashed, as a stopped flash stops.
    fs::remove(m_dir / "runs.jsonl");
    const std::string port = AddLine({"--unit-id", UnitId(3)});
    station = Start("--port " + port + " --log runs.jsonl");
    ASSERT_TRUE(Eventually([&] { return answered(port); })) << Out();
    kill(station, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(station, SIGINT);
    EXPECT_EQ(Exit(station), 128 + SIGINT) << Out();
    logged = Logged();
    ASSERT_EQ(logged.size(), 1u) << Out();
    EXPECT_EQ(logged[0]["result"], "stopped");
    EXPECT_EQ(logged[0]["unit_id"], UnitId(3));
    EXPECT_EQ(Summary(Out(), port), (std::vector<int>{0, 0, 1})) << Out();

    // A station that waits for a unit ends at once, with no record.
    fs::remove(m_dir / "runs.jsonl");
    const std::string silent = AddLine({"--faults", "silent:discovery"});
    station = Start("--port " + silent + " --log runs.jsonl");
    ASSERT_TRUE(Eventually([&] {
        return Out().find(silent + ": waiting for a unit") != std::string::npos;
    })) << Out();
    kill(station, SIGINT);
    EXPECT_EQ(Exit(station), 0) << Out();
    EXPECT_TRUE(Logged().empty());
    EXPECT_EQ(Summary(Out(), silent), (std::vector<int>{0, 0, 0})) << Out();
}

}  // namespace
