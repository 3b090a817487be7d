// flashtool over the real serial back end against the simulator program, in real time.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/UnitSimProcess.h"

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

}  // namespace
