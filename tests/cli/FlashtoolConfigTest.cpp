// The settings a station keeps, through the real flashtool: the command line over the
// environment over the configuration file, and the faults of a file.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

const std::vector<std::string> kSettings = {"XDG_CONFIG_HOME",    "HOME",
                                            "FLASHTOOL_PORT",     "FLASHTOOL_LOG",
                                            "FLASHTOOL_CONFIRM",  "FLASHTOOL_RETRIES",
                                            "FLASHTOOL_WORK_DIR", "FLASHTOOL_INSTALL_DIR",
                                            "FLASHTOOL_EDITION"};

// Every run sees a home of its own, with the station's file in its default place, and none of
// the caller's settings; the caller's come back after the test.
class FlashtoolConfig : public ::testing::Test {
protected:
    FlashtoolConfig() {
        for (const std::string& name : kSettings) {
            const char* value = getenv(name.c_str());
            m_saved.emplace_back(value != nullptr ? std::optional<std::string>(value)
                                                  : std::nullopt);
            unsetenv(name.c_str());
        }
        setenv("HOME", m_dir.Path("home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", m_dir.Path("config").c_str(), 1);
        std::filesystem::create_directories("config/flashtool");
    }
    ~FlashtoolConfig() override {
        for (size_t i = 0; i < kSettings.size(); ++i) {
            if (m_saved[i]) {
                setenv(kSettings[i].c_str(), m_saved[i]->c_str(), 1);
            } else {
                unsetenv(kSettings[i].c_str());
            }
        }
    }
    std::string StationFile() const { return m_dir.Path("config/flashtool/flashtool.conf"); }

    TempDir m_dir;
    std::vector<std::optional<std::string>> m_saved;
};

// The line --print-config shows for `key`.
std::string Shown(const std::string& out, const std::string& key) {
    const size_t start = out.find("\n" + key + " ");
    return start == std::string::npos
               ? std::string()
               : out.substr(start + 1, out.find('\n', start + 1) - start - 1);
}

TEST_F(FlashtoolConfig, TheCommandLineWinsOverTheEnvironmentOverTheFile) {
    const struct {
        const char* key;
        const char* fileLine;
        const char* environment;
        const char* environmentValue;
        const char* option;
        const char* fromFile;
        const char* fromEnvironment;
        const char* fromCommandLine;
    } cases[] = {
        {"port", "port = [\"1\", \"2\"]", "FLASHTOOL_PORT", "3, sim", "--port 4", "1, 2", "3, sim",
         "4"},
        {"log", "log = \"station log.jsonl\"", "FLASHTOOL_LOG", "env.jsonl", "--log cl.jsonl",
         "station log.jsonl", "env.jsonl", "cl.jsonl"},
        {"confirm", "confirm = true", "FLASHTOOL_CONFIRM", "no", "--confirm", "true", "false",
         "true"},
        {"retries", "retries = 2", "FLASHTOOL_RETRIES", "5", "--retries 7", "2", "5", "7"},
        {"work-dir", "work_dir = 'C:\\runs'", "FLASHTOOL_WORK_DIR", "/srv/w", "--work-dir w",
         "C:\\runs", "/srv/w", "w"},
        {"install-dir", "install-dir = \"/opt/f\"", "FLASHTOOL_INSTALL_DIR", "/opt/g",
         "--install-dir i", "/opt/f", "/opt/g", "i"},
    };
    const std::string fromFile = "(file " + StationFile() + ")";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        WriteText(StationFile(), std::string("# the station\n") + c.fileLine + "\n");
        ProcessResult run = Flashtool("--print-config");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(Shown(run.out, c.key).find(std::string(c.fromFile) + "  " + fromFile),
                  std::string::npos)
            << run.out;

        setenv(c.environment, c.environmentValue, 1);
        run = Flashtool("flash x.mot --print-config");
        EXPECT_NE(
            Shown(run.out, c.key)
                .find(std::string(c.fromEnvironment) + "  (environment " + c.environment + ")"),
            std::string::npos)
            << run.out;
        run = Flashtool(std::string("flash x.mot --print-config ") + c.option);
        EXPECT_NE(Shown(run.out, c.key).find(std::string(c.fromCommandLine) + "  (command line)"),
                  std::string::npos)
            << run.out;
        unsetenv(c.environment);
    }
}

TEST_F(FlashtoolConfig, ARunTakesTheStationsSettings) {
    WriteText("LB1~4K_fw.mot", SrecFile(RecordLines(64)));
    WriteText(StationFile(), "port = \"sim\"\nlog = \"station.jsonl\"\nwork-dir = \"runs\"\n");
    ProcessResult run = Flashtool(
        "flash LB1~4K_fw.mot --sim-virtual --sim-model VX310R "
        "--sim-version A1.03");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Exists("runs/tmp.bin"));
    EXPECT_FALSE(Exists("tmp.bin"));
    EXPECT_NE(ReadText("station.jsonl").find("\"port\":\"sim\""), std::string::npos);

    // Without XDG_CONFIG_HOME the file is looked for under ~/.config; none there is no fault.
    unsetenv("XDG_CONFIG_HOME");
    run = Flashtool("--print-config");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("configuration file  " + m_dir.Path("home") +
                                "/.config/flashtool/flashtool.conf (not found)\n",
                            0),
              0u)
        << run.out;
    EXPECT_NE(run.out.find("\nport                none  (default)\n"), std::string::npos);
    EXPECT_EQ(Flashtool("flash LB1~4K_fw.mot").err,
              "--port is required\nRun with --help for more information.\n");
}

TEST_F(FlashtoolConfig, AFaultyFileOrSettingIsAUsageError) {
    const struct {
        const char* file;         // written to bad.conf
        const char* environment;  // NAME=VALUE, or empty
        const char* args;
        const char* message;
    } cases[] = {
        {"port = 1\nretries 3\n", "", "--config bad.conf --print-config",
         "bad.conf, line 2: expected KEY = VALUE"},
        {"[flash]\nport = 1\n", "", "identify --config bad.conf",
         "bad.conf: unknown key flash.port (the keys are port, log"},
        {"prot = 1\n", "", "--print-config --config bad.conf", "bad.conf: unknown key prot"},
        {"log = [\"a\", \"b\"]\n", "", "--config bad.conf --print-config",
         "bad.conf: log takes one value"},
        {"retries = many\n", "", "--config bad.conf --print-config",
         "file bad.conf: retries: --retries: Value many"},
        {"", "", "--config missing.conf identify --port sim",
         "Cannot read the configuration file missing.conf: no such file"},
        {"", "FLASHTOOL_RETRIES=100", "flash x.mot --port 1 --config bad.conf",
         "environment FLASHTOOL_RETRIES: retries: --retries: Value 100 not in range 0 to 99"},
        {"", "FLASHTOOL_EDITION=C", "--print-config", "environment FLASHTOOL_EDITION: edition:"},
        {"", "FLASHTOOL_PORT=sim,sim", "identify", "name the same port"},
        {"", "", "", "A subcommand is required"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        WriteText("bad.conf", c.file);
        const std::string environment = c.environment;
        const size_t equals = environment.find('=');
        if (equals != std::string::npos) {
            setenv(environment.substr(0, equals).c_str(), environment.c_str() + equals + 1, 1);
        }
        const ProcessResult run = Flashtool(c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        if (equals != std::string::npos) {
            unsetenv(environment.substr(0, equals).c_str());
        }
    }
}

}  // namespace
