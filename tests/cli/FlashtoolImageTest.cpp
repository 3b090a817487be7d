#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "framework/FileIo.h"
#include "tests/support/Process.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

namespace {

constexpr int kRunLimitMs = 10000;
constexpr int kPollMs = 20;

// A flashtool run watched from a process of its own, so that one that hangs or eats memory is
// stopped, and the peak resident memory is that of this run alone.
struct WatchedRun {
    ProcessResult result{-1, "", ""};
    long peakKiB = 0;
    bool stopped = false;
};

WatchedRun RunWatched(const std::string& args) {
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);  // a stop reaches the shell and flashtool as well
        const ProcessResult run = Flashtool(args);
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        std::ofstream("watch.txt") << run.status << ' ' << usage.ru_maxrss;
        _exit(0);
    }
    setpgid(child, child);
    WatchedRun watched;
    int status = 0;
    for (int waitedMs = 0; waitpid(child, &status, WNOHANG) == 0; waitedMs += kPollMs) {
        if (waitedMs >= kRunLimitMs) {
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            watched.stopped = true;
            return watched;
        }
        usleep(kPollMs * 1000);
    }
    std::ifstream("watch.txt") >> watched.result.status >> watched.peakKiB;
    watched.result.out = ReadText("out.txt");
    watched.result.err = ReadText("err.txt");
    return watched;
}

// No working file, finished or not, was left in the current folder.
void ExpectNothingWritten() {
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        const std::string name = entry.path().filename().string();
        EXPECT_FALSE(name.starts_with("tmp.bin") || name.starts_with("log1.bin") ||
                     name.starts_with("log2.bin"))
            << name;
    }
}

// A plain firmware file of about `bytes` bytes: `line(i)` for i = 0, 1, ... and an end record.
template <typename MakeLine>
std::string FileOfLines(size_t bytes, MakeLine line) {
    const std::string end = "S9030000FC\n";
    std::string text;
    text.reserve(bytes);
    for (uint32_t i = 0;; ++i) {
        const std::string next = line(i) + "\n";
        if (text.size() + next.size() + end.size() > bytes) {
            break;
        }
        text += next;
    }
    return text + end;
}

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

    // Records beyond the flash are left out, and the command says how many.
    WriteText("LB1~4K_fw.mot", SrecFile({S1Line(0x08, Ramp(16)), S2Line(0x20000, Ramp(16)),
                                         S2Line(0x30000, Ramp(16))}));
    run = Flashtool("image LB1~4K_fw.mot");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err,
              "You will update LB1~4K_fw.mot !\n2 records lie outside the 128 KiB flash and were "
              "left out of the image\n");
    EXPECT_EQ(ReadText("tmp.bin"), image);
    run = Flashtool(
        "flash LB1~4K_fw.mot --port sim --sim-virtual --sim-model VX310R "
        "--sim-version A1.03");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err,
              "You will update LB1~4K_fw.mot !\n2 records lie outside the 128 KiB flash and were "
              "left out of the image\nProgramming successfully !\n");

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

TEST(FlashtoolImage, RefusesWhatIsNotARegularFileAtOnce) {
    TempDir dir;
    std::filesystem::create_directory("LB1~4K_dir.mot");
    ASSERT_EQ(mkfifo("LB4KA_fifo.mot", 0600), 0);  // nothing ever writes to it
    std::filesystem::create_symlink("/dev/zero", "LB6K_zero.mot");
    for (const std::string name : {"LB1~4K_dir.mot", "LB4KA_fifo.mot", "LB6K_zero.mot"}) {
        const WatchedRun run = RunWatched("image " + name);
        ASSERT_FALSE(run.stopped) << name;
        EXPECT_EQ(run.result.status, 1) << name;
        EXPECT_EQ(run.result.err, "Cannot open " + name + ": not a regular file\nFile Open fail\n");
        ExpectNothingWritten();
    }
}

// A lock file that is a link is refused, so the id never goes through it.
TEST(FlashtoolImage, RefusesALinkAtTheLockFile) {
    TempDir dir;
    WriteText("LB1~4K_fw.mot", SrecFile({S1Line(0x08, Ramp(16))}));
    WriteText("decoy", "the decoy's own bytes");
    for (const char* target : {"decoy", "absent"}) {
        std::filesystem::remove(".flashtool.lock");
        std::filesystem::create_symlink(target, ".flashtool.lock");
        const ProcessResult run = Flashtool("image LB1~4K_fw.mot");
        EXPECT_EQ(run.status, 1) << target;
        EXPECT_EQ(run.err, "Cannot use the working folder " +
                               std::filesystem::current_path().string() + ": " +
                               (std::filesystem::current_path() / ".flashtool.lock").string() +
                               " is not a plain file of its own (a link, a folder, a device or a "
                               "second name of another file); remove it and try again.\n");
        EXPECT_EQ(ReadText("decoy"), "the decoy's own bytes");
        EXPECT_FALSE(Exists("absent"));
        ExpectNothingWritten();
    }
}

// Reading and building take less than ten times the file's size, for files of the smallest
// records up to the size limit; a larger file is refused unread.
TEST(FlashtoolImage, LargeFilesStayWithinTenTimesTheirSize) {
    TempDir dir;
    // One-byte S2 records at addresses of their own: most lie beyond the image's limit.
    const std::string distinct =
        FileOfLines(kMaxFileBytes, [](uint32_t i) { return S2Line(i, {static_cast<uint8_t>(i)}); });
    WriteText("LB1~4K_big.mot", distinct);
    WatchedRun run = RunWatched("image LB1~4K_big.mot");
    ASSERT_FALSE(run.stopped);
    const size_t records = std::count(distinct.begin(), distinct.end(), '\n') - 1;
    EXPECT_EQ(run.result.err, "You will update LB1~4K_big.mot !\n" +
                                  std::to_string(records - 0x20000) +
                                  " records lie outside the 128 KiB flash and were left out of "
                                  "the image\n");
    EXPECT_EQ(ReadText("tmp.bin").size(), 0x20000u);
    if (!kSanitized) {
        EXPECT_LT(run.peakKiB * 1024.0, 10.0 * double(distinct.size())) << run.peakKiB << " KiB";
    }
    std::filesystem::remove("tmp.bin");

    // The shortest records there are, S1 with one byte, which overlap once the 16-bit
    // addresses wrap: every record is read before the overlap is found.
    const std::string wrapping = FileOfLines(
        kMaxFileBytes, [](uint32_t i) { return S1Line(i & 0xFFFF, {static_cast<uint8_t>(i)}); });
    WriteText("LB1~4K_big.mot", wrapping);
    run = RunWatched("image LB1~4K_big.mot");
    ASSERT_FALSE(run.stopped);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.err, "S19 File Format Error (line 65537) !\n");
    if (!kSanitized) {
        EXPECT_LT(run.peakKiB * 1024.0, 10.0 * double(wrapping.size())) << run.peakKiB << " KiB";
    }
    ExpectNothingWritten();

    WriteText("LB1~4K_big.mot", distinct + std::string(kMaxFileBytes + 1 - distinct.size(), '\n'));
    run = RunWatched("image LB1~4K_big.mot");
    ASSERT_FALSE(run.stopped);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.err,
              "Cannot open LB1~4K_big.mot: larger than 16 MiB (not a firmware file)\nFile Open "
              "fail\n");
    ExpectNothingWritten();
}

}  // namespace
