#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/Process.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

TEST(FlashtoolImage, BuildsTheImageAndPrintsEveryMessage) {
    TempDir dir;
    WriteText("LB1~4K_fw.mot", SrecFile({S1Line(0x08, Ramp(16))}));
    ProcessResult run = Flashtool("image LB1~4K_fw.mot");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "You will update LB1~4K_fw.mot !\n");
    Bytes expected(64, 0xFF);
    std::copy_n(Ramp(16).begin(), 16, expected.begin() + 8);
    const std::string image = ReadText("tmp.bin");
    EXPECT_EQ(Bytes(image.begin(), image.end()), expected);

    WriteText("unknown.mot", SrecFile({S1Line(0, Ramp(16))}));
    run = Flashtool("image unknown.mot");
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.err, "This filename is unknown! Please confirm it !\n");
    EXPECT_NE(Flashtool("image").status, 0);
}

// Where srec_cat is installed it serves as an independent oracle for the image format.
TEST(FlashtoolImage, MatchesSrecCatOnGeneratedFiles) {
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "srec_cat is not installed";
    }
    TempDir dir;
    std::srand(7);
    for (int round = 0; round < 12; ++round) {
        // Sparse, unordered records of 1..40 bytes, S1 and S2 mixed, some sharing rows;
        // each starts after the end of every earlier one, so none overlap.
        std::vector<std::pair<uint32_t, Bytes>> records;
        uint32_t address = static_cast<uint32_t>(std::rand() % 300);
        uint32_t end = 0;
        const int count = 1 + std::rand() % 60;
        for (int i = 0; i < count; ++i) {
            const size_t size = 1 + std::rand() % 40;
            records.push_back({address, Ramp(size, static_cast<uint8_t>(std::rand()))});
            end = address + static_cast<uint32_t>(size);
            address = end + static_cast<uint32_t>(std::rand() % 3 == 0 ? 0 : std::rand() % 700);
        }
        for (size_t i = 0; i + 1 < records.size(); i += 3) {
            std::swap(records[i], records[i + 1]);
        }
        std::vector<std::string> lines;
        for (const auto& [at, data] : records) {
            lines.push_back(std::rand() % 2 ? S1Line(at, data) : S2Line(at, data));
        }
        WriteText("LB4KA_gen.mot", SrecFile(lines));
        ASSERT_EQ(Flashtool("image LB4KA_gen.mot").status, 0) << round;
        const uint32_t imageEnd = (end + 63) / 64 * 64;
        const std::string command = "srec_cat LB4KA_gen.mot -fill 0xFF 0 " +
                                    std::to_string(imageEnd) + " -o oracle.bin -binary 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(ReadText("tmp.bin"), ReadText("oracle.bin")) << "round " << round;
    }
}

}  // namespace
