#include <gtest/gtest.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "framework/FileIo.h"
#include "framework/FileSeal.h"
#include "framework/WorkFolder.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

TEST(WorkFolder, OneHolderAtATimeAndFilesInside) {
    TempDir dir;
    WorkFolderLock first;
    std::string reason;
    EXPECT_FALSE(first.Acquire("missing", reason));
    EXPECT_NE(reason.find("Cannot use the working folder"), std::string::npos) << reason;
    ASSERT_TRUE(first.Acquire("", reason)) << reason;
    EXPECT_EQ(ReadText(WorkFolderLock::kLockFile), std::to_string(getpid()) + "\n");

    WorkFolderLock second;  // a lock of its own, as another process would take it
    EXPECT_FALSE(second.Acquire(".", reason));
    EXPECT_NE(reason.find("in use by another flashtool run (process " + std::to_string(getpid())),
              std::string::npos)
        << reason;
    EXPECT_TRUE(second.HeldElsewhere());
    EXPECT_EQ(second.HolderId(), std::to_string(getpid()));
    first.Release();
    EXPECT_TRUE(second.Acquire(".", reason)) << reason;
    EXPECT_FALSE(second.HeldElsewhere());

    SetWorkFolder("");
    EXPECT_EQ(WorkFile("tmp.bin"), "tmp.bin");
    SetWorkFolder("units/3");
    EXPECT_EQ(std::filesystem::path(WorkFile("tmp.bin")), std::filesystem::path("units/3/tmp.bin"));
    SetWorkFolder("");
}

// The names in the current folder.
std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(WorkFolder, PendingFilesGoWhenTheRunIsStopped) {
    TempDir dir;
    {
        StagedFiles staged;
        ASSERT_TRUE(staged.Write("tmp.bin", "staged"));
        EXPECT_EQ(Names().size(), 1u);
        RemovePendingFiles();  // what a stop signal does
        EXPECT_TRUE(Names().empty());
    }
    {
        StagedFiles staged;  // never committed: its files go with it
        ASSERT_TRUE(staged.Write("tmp.bin", "staged"));
    }
    EXPECT_TRUE(Names().empty());
    // Committed files are no longer pending.
    StagedFiles staged;
    ASSERT_TRUE(staged.Write("log1.bin", "block"));
    ASSERT_TRUE(staged.Commit());
    RemovePendingFiles();
    EXPECT_EQ(ReadText("log1.bin"), "block");
    EXPECT_EQ(Names(), std::vector<std::string>{"log1.bin"});
}

// A link planted where the tool writes: to a decoy whose bytes must stay, or dangling, to a name
// that must not come into being.
constexpr const char* kDecoy = "decoy";
constexpr const char* kDecoyBytes = "the decoy's own bytes";
constexpr const char* kAbsent = "absent";

TEST(WorkFolder, LockIsRefusedUnlessAPlainFileOfItsOwn) {
    const std::string lock = WorkFolderLock::kLockFile;
    const struct {
        const char* what;
        std::function<bool()> plant;  // false where the system cannot make it
    } cases[] = {
        {"link to a file", [&] { return PlantLink(kDecoy, lock); }},
        {"dangling link", [&] { return PlantLink(kAbsent, lock); }},
        {"link to a folder", [&] { return PlantLink(".", lock); }},
        {"folder", [&] { return std::filesystem::create_directory(lock); }},
        {"second name of a file",
         [&] {
             std::error_code error;
             std::filesystem::create_hard_link(kDecoy, lock, error);
             return !error;
         }},
#ifndef _WIN32
        {"pipe", [&] { return mkfifo(lock.c_str(), 0600) == 0; }},
#endif
    };
    for (const auto& planted : cases) {
        TempDir dir;
        WriteText(kDecoy, kDecoyBytes);
        if (!planted.plant()) {
            continue;  // Windows without the right to make links
        }
        WorkFolderLock held;
        std::string reason;
        EXPECT_FALSE(held.Acquire("", reason)) << planted.what;
        EXPECT_NE(reason.find(std::filesystem::absolute(lock).lexically_normal().string() +
                              " is not a plain file of its own"),
                  std::string::npos)
            << planted.what << ": " << reason;
        EXPECT_EQ(ReadText(kDecoy), kDecoyBytes) << planted.what;
        EXPECT_FALSE(Exists(kAbsent)) << planted.what;
    }
    // A lock file left behind by an earlier run is taken over, its old id replaced.
    TempDir dir;
    WriteText(lock, "1234567890\n");
    WorkFolderLock held;
    std::string reason;
    ASSERT_TRUE(held.Acquire(".", reason)) << reason;
    EXPECT_EQ(ReadText(lock), std::to_string(getpid()) + "\n");
}

TEST(WorkFolder, WritesReplaceAPlantedNameAndNeverGoThroughIt) {
    // The final name, and the names files were once staged under beside it.
    for (const std::string planted :
         {"tmp.bin", "tmp.bin.new", "tmp.bin.part", "tmp.bin.new.part"}) {
        for (const char* target : {kDecoy, kAbsent}) {
            TempDir dir;
            WriteText(kDecoy, kDecoyBytes);
            if (!PlantLink(target, planted)) {
                GTEST_SKIP() << "no symbolic links here";
            }
            EXPECT_TRUE(WriteFileAtomically("tmp.bin", "image")) << planted;
            EXPECT_EQ(ReadText(kDecoy), kDecoyBytes) << planted << " -> " << target;
            EXPECT_FALSE(Exists(kAbsent)) << planted << " -> " << target;
            EXPECT_TRUE(
                std::filesystem::is_regular_file(std::filesystem::symlink_status("tmp.bin")))
                << planted;
            EXPECT_EQ(ReadText("tmp.bin"), "image") << planted;
            // Nothing is left but the decoy, the file and a planted name other than the file's.
            EXPECT_EQ(Names().size(), planted == "tmp.bin" ? 2u : 3u) << planted;
        }
    }
}

TEST(FileSeal, MatchesOnlyWhatWasWritten) {
    ForgetAllSeals();
    EXPECT_FALSE(MatchesSeal("tmp.bin", "abc"));  // nothing sealed: nothing matches
    SealFile("tmp.bin", "abc");
    EXPECT_TRUE(MatchesSeal("tmp.bin", "abc"));
    EXPECT_FALSE(MatchesSeal("tmp.bin", "abd"));
    EXPECT_FALSE(MatchesSeal("tmp.bin", "abcd"));
    EXPECT_FALSE(MatchesSeal("log1.bin", "abc"));
    // Any one byte changed, in a whole word or in the tail, and two words swapped.
    std::string image(37, '\xFF');
    SealFile("tmp.bin", image);
    for (size_t i = 0; i < image.size(); ++i) {
        std::string changed = image;
        changed[i] ^= static_cast<char>(1u << (i % 8));
        EXPECT_FALSE(MatchesSeal("tmp.bin", changed)) << i;
    }
    image.replace(0, 16, "0123456789abcdef");
    SealFile("tmp.bin", image);
    EXPECT_FALSE(MatchesSeal("tmp.bin", "89abcdef01234567" + image.substr(16)));
    ForgetSeal("tmp.bin");
    EXPECT_FALSE(IsSealed("tmp.bin"));
}

}  // namespace
