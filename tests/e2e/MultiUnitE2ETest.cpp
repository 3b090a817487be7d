// Several units in one flashtool command, each a unitsim on a pseudo-terminal of its own.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tests/e2e/UnitSimProcess.h"

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
            "--flash-dir",  (dir / ("flash" + std::to_string(i))).string()};
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
            const nlohmann::json record = nlohmann::json::parse(line);
            records[record["port"].get<std::string>()] = record;
        }
        ASSERT_EQ(records.size(), 3u) << ReadFile(dir / "out.txt");
        const nlohmann::json& good = records[ports[0]];
        EXPECT_EQ(good["result"], "ok");
        EXPECT_EQ(good["model"], "VX310R");
        EXPECT_EQ(good["version"], "A1.03");
        EXPECT_EQ(good["steps"]["done"], 1);
        EXPECT_EQ(good["bytes"], 67);
        EXPECT_EQ(good["sha256"].get<std::string>().size(), 64u);
        EXPECT_TRUE(good["message"].is_null());
        EXPECT_EQ(records[ports[1]]["result"], "failed");
        EXPECT_EQ(records[ports[1]]["message"], "System not Ready !");
        EXPECT_EQ(records[ports[2]]["result"], "failed");
        EXPECT_NE(records[ports[2]]["message"].get<std::string>().find("Programming Process Error"),
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
        lines.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines.back()["port"], ports[0]);
    EXPECT_EQ(lines.back()["result"], "ok");
    fs::remove_all(dir);
}

}  // namespace
