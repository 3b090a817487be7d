#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

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

TEST(WorkFolder, PendingFilesGoWhenTheRunIsStopped) {
    TempDir dir;
    {
        StagedFiles staged;
        WriteText(staged.Stage("tmp.bin"), "staged");
        RemovePendingFiles();  // what a stop signal does
        EXPECT_FALSE(Exists("tmp.bin.new"));
    }
    // Committed files are no longer pending.
    StagedFiles staged;
    WriteText(staged.Stage("log1.bin"), "block");
    ASSERT_TRUE(staged.Commit());
    RemovePendingFiles();
    EXPECT_EQ(ReadText("log1.bin"), "block");
}

TEST(FileSeal, MatchesOnlyWhatWasWritten) {
    ForgetAllSeals();
    EXPECT_FALSE(MatchesSeal("tmp.bin", "abc"));  // nothing sealed: nothing matches
    SealFile("tmp.bin", "abc");
    EXPECT_TRUE(MatchesSeal("tmp.bin", "abc"));
    EXPECT_FALSE(MatchesSeal("tmp.bin", "abd"));
    EXPECT_FALSE(MatchesSeal("tmp.bin", "abcd"));
    EXPECT_FALSE(MatchesSeal("log1.bin", "abc"));
    ForgetSeal("tmp.bin");
    EXPECT_FALSE(IsSealed("tmp.bin"));
}

}  // namespace
