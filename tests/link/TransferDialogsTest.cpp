#include <gtest/gtest.h>

#include <filesystem>

#include "framework/FileSeal.h"
#include "framework/Globals.h"
#include "framework/InstallPaths.h"
#include "image/DrovaneDoc.h"
#include "link/KernelDownloadDlg.h"
#include "link/ProgramDlg.h"
#include "link/ResponseWaitDlg.h"
#include "tests/support/SimBench.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

using Texts = std::vector<std::string>;

Bytes Pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 13);
    }
    return bytes;
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    WriteText(path, std::string(bytes.begin(), bytes.end()));
}

// The image as the builder would leave it: written and sealed.
void WriteImage(const Bytes& bytes) {
    WriteBytes(kImageFile, bytes);
    SealFile(kImageFile, std::string(bytes.begin(), bytes.end()));
}

class TransferDialogs : public ::testing::Test {
protected:
    explicit TransferDialogs(const std::string& faults = "", bool bootMode = false)
        : m_bench(Options(faults, bootMode)), m_view(m_bench.m_comm) {
        SetInstallRoot(m_dir.Path("install"));
        std::filesystem::create_directories(m_dir.Path("install/Kestrune"));
        g_bKernelLoaded = 0;
        g_nStepCount = 1;
        g_nStepIndex = 0;
        g_nAckPolls = 0;
        m_bench.m_comm.SetPortOpen(true);
    }
    ~TransferDialogs() override { SetInstallRoot(""); }

    static SimUnit::Options Options(const std::string& faults, bool bootMode) {
        SimUnit::Options options;
        options.faults = FaultPlan::Parse(faults);
        options.bootMode = bootMode;
        return options;
    }

    // Hands the unit over to its loader and announces an image of `length` bytes.
    int Announce(uint32_t length) {
        m_bench.Exchange(" flash", 1000);
        m_bench.m_comm.Output(wire::kBlockTable);
        int result = Wait();
        m_bench.m_comm.Output({0, 0, 0, 0, uint8_t(length >> 24), uint8_t(length >> 16),
                               uint8_t(length >> 8), uint8_t(length)});
        return result == IDOK ? Wait() : result;
    }
    int Wait() {
        m_wait.SetView(&m_view);
        return m_wait.DoModal();
    }
    int Program() {
        m_program.SetView(&m_view);
        return m_program.DoModal();
    }
    Texts Shown(const std::string& title) const {
        Texts texts;
        for (const auto& shown : m_bench.m_host.m_shown) {
            if (shown.title == title) {
                texts.push_back(shown.text);
            }
        }
        return texts;
    }
    int64_t NowMs() { return m_bench.m_host.Clock().NowNs() / kNsPerMs; }

    TempDir m_dir;
    SimBench m_bench;
    CTransferView m_view;
    CResponseWaitDlg m_wait;
    CProgramDlg m_program;
    CKernelDownloadDlg m_kernel;
};

TEST_F(TransferDialogs, ProgramsAPaddedImageAndShowsItsSteps) {
    const Bytes image = Pattern(130, 1);
    WriteImage(image);
    ASSERT_EQ(Announce(130), IDOK);
    g_nAckPolls = 500;  // left over from an earlier run: the wait is not shortened
    EXPECT_EQ(Program(), IDOK);
    Bytes expected = image;
    expected.resize(SimUnit::kFlashBytes, 0xFF);
    EXPECT_EQ(m_bench.m_unit.Flash(Processor::Control), expected);
    EXPECT_EQ(Shown("Programming ....."),
              (Texts{"0 %", "Step1/1: 49%", "Step1/1: 98%", "Step1/1: 100%"}));
    EXPECT_TRUE(m_bench.m_host.Texts().empty());
    EXPECT_EQ(m_program.m_nBytesSent, 3 * 65 + 2);
}

TEST_F(TransferDialogs, CountsDownTheRestartOnlyWhenStepsRemain) {
    WriteImage(Pattern(64, 2));
    ASSERT_EQ(Announce(64), IDOK);
    g_nStepCount = 2;
    const int64_t start = NowMs();
    EXPECT_EQ(Program(), IDOK);
    const Texts shown = Shown("Programming .....");
    ASSERT_EQ(shown.size(), 22u);
    EXPECT_EQ(shown[1], "Step1/2: 100%");
    EXPECT_EQ(shown[2], "Restart 19 Sec.");
    EXPECT_EQ(shown.back(), "Restart 00 Sec.");
    EXPECT_NEAR(double(NowMs() - start), 20000 + 70, 20);
}

TEST_F(TransferDialogs, LineTimeBoundsTheTransfer) {
    const Bytes image = Pattern(64 * 64, 3);
    WriteImage(image);
    ASSERT_EQ(Announce(uint32_t(image.size())), IDOK);
    EXPECT_EQ(Program(), IDOK);
    const double lineNs = double((64 * 66 + 3) * SimUnit::kByteNs);
    EXPECT_LT(double(m_program.m_endNs - m_program.m_startNs), lineNs * 1.03);
}

struct FaultCase {
    const char* faults;
    Texts messages;
    bool flashed = false;  // the unit's flash holds the image afterwards
};

class ProgramFaults : public TransferDialogs, public ::testing::WithParamInterface<FaultCase> {
protected:
    ProgramFaults() : TransferDialogs(GetParam().faults) {}
};

TEST_P(ProgramFaults, EndTheRunWithItsMessage) {
    WriteImage(Pattern(256, 4));
    ASSERT_EQ(Announce(256), IDOK);
    const int64_t start = NowMs();
    const int result = Program();
    EXPECT_EQ(m_bench.m_host.Texts(), GetParam().messages);
    EXPECT_EQ(result, GetParam().messages.empty() ? IDOK : IDCANCEL);
    const Bytes& flash = m_bench.m_unit.Flash(Processor::Control);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 256) == Pattern(256, 4), GetParam().flashed);
    if (GetParam().messages == Texts{"Time out !"}) {
        EXPECT_GE(NowMs() - start, 1600);
        EXPECT_LT(NowMs() - start, 1900);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ProgramFaults,
    ::testing::Values(
        // Completion with frames still to send is no completion; after the last data frame it
        // is (a loader may count the announced length).
        FaultCase{"answer:frame#2=0x06", {"Receive Error !"}}, FaultCase{"answer:frame#4=0x06", {}},
        // A doubled answer lets a frame go early; the stream stays whole.
        FaultCase{"twice:frame#2", {}, true}, FaultCase{"answer:frame#3=0x15", {"Receive Error !"}},
        FaultCase{"silent:frame#2", {"Time out !"}},
        FaultCase{"corrupt:20", {"Receive Error !"}},  // the loader refuses the sum
        // 0x11 to the closing frame: it goes again, to a unit now restarting.
        FaultCase{"answer:closing=0x11", {"Time out !"}, true}));

class DoubledAnswers : public TransferDialogs {
protected:
    DoubledAnswers() : TransferDialogs("twice:frame") {}
};

TEST_F(DoubledAnswers, TheTransferLastsUntilItsLastByteIsOut) {
    // Every frame is answered twice, so the closing frame goes again while the first is still
    // on the line, and the completion answer comes before it is out.
    WriteImage(Pattern(64, 6));
    ASSERT_EQ(Announce(64), IDOK);
    ASSERT_EQ(Program(), IDOK);
    const int64_t byteNs = kNsPerSecond * 10 / 9600;
    EXPECT_EQ(m_program.m_nBytesSent, 65 + 2 + 2);
    EXPECT_LE(m_program.m_nBytesSent * byteNs, m_program.m_endNs - m_program.m_startNs);
}

TEST_F(TransferDialogs, ProgramFileErrorsEscapeAndSerialErrors) {
    EXPECT_EQ(Program(), IDCANCEL);
    g_bKernelLoaded = 1;
    EXPECT_EQ(Program(), IDCANCEL);
    EXPECT_EQ(m_bench.m_host.Texts(),
              (Texts{"BIN File Read Error !", "PreFlash.bin File Read Error !"}));
    g_bKernelLoaded = 0;
    // An image this run did not build is not sent.
    WriteImage(Pattern(128, 5));
    WriteBytes(kImageFile, Pattern(128, 6));
    EXPECT_EQ(Program(), IDCANCEL);
    EXPECT_EQ(m_bench.m_host.Texts().back(), "BIN File Read Error !");
    EXPECT_EQ(m_program.m_nBytesSent, 0);
    m_bench.m_host.m_messages.erase(m_bench.m_host.m_messages.end() - 1);

    WriteImage(Pattern(64 * 100, 5));
    ASSERT_EQ(Announce(64 * 100), IDOK);
    m_bench.m_host.CancelAt(m_bench.m_host.Clock().NowNs() + 500 * kNsPerMs);  // Escape
    EXPECT_EQ(Program(), IDCANCEL);
    EXPECT_EQ(m_bench.m_host.Texts().size(), 2u);

    m_bench.m_comm.SetPortOpen(false);  // the port went away
    EXPECT_EQ(Program(), IDCANCEL);
    EXPECT_EQ(m_bench.m_host.Texts().back(), "sim: cannot send, the port is not open");
    EXPECT_TRUE(m_program.IsEnded());
}

TEST_F(TransferDialogs, ResponseWaitAcceptsOneAcknowledgementByte) {
    m_bench.Exchange(" flash", 1000);
    m_bench.m_comm.Output(wire::kBlockTable);
    EXPECT_EQ(Wait(), IDOK);
    // Silence: 150 ticks, the last count shown is 149.
    const int64_t start = NowMs();
    EXPECT_EQ(Wait(), IDCANCEL);
    EXPECT_EQ(NowMs() - start, 15000);
    EXPECT_EQ(Shown("Waiting for System Response ...").back(), "Parsing... 149");
    EXPECT_EQ(m_bench.m_host.Texts(), Texts{"Time out !"});
    // Stop: no message.
    m_bench.m_host.CancelAt(m_bench.m_host.Clock().NowNs() + 450 * kNsPerMs);
    EXPECT_EQ(Wait(), IDCANCEL);
    EXPECT_EQ(m_bench.m_host.Texts().size(), 1u);
}

class ResponseFaults : public TransferDialogs, public ::testing::WithParamInterface<FaultCase> {
protected:
    ResponseFaults() : TransferDialogs(GetParam().faults) {}
};

TEST_P(ResponseFaults, WrongAnswers) {
    EXPECT_EQ(Announce(64), GetParam().messages.empty() ? IDOK : IDCANCEL);
    EXPECT_EQ(m_bench.m_host.Texts(), GetParam().messages);
}

INSTANTIATE_TEST_SUITE_P(Answers, ResponseFaults,
                         ::testing::Values(FaultCase{"answer:table=0x11", {}},
                                           FaultCase{"answer:length=0x15", {"Response Error(A) !"}},
                                           FaultCase{"twice:table", {"Response Error(A) !"}}));

class BootHandshake : public TransferDialogs {
protected:
    explicit BootHandshake(const std::string& faults = "") : TransferDialogs(faults, true) {
        m_view.m_bBootHandshake = 1;
    }
    int Handshake() {
        m_view.m_bSyncReceived = 0;
        m_bench.m_comm.Output({0x00});
        if (Wait() != IDOK || m_view.m_bSyncReceived != 1) {
            return IDCANCEL;
        }
        m_bench.m_comm.Output({0x55});
        return Wait();
    }
    int Download() {
        m_kernel.SetView(&m_view);
        return m_kernel.DoModal();
    }
};

TEST_F(BootHandshake, HandshakeThenKernelWithRealLength) {
    ASSERT_EQ(Handshake(), IDOK);
    const Bytes kernel = Pattern(1558, 0xAA);  // begins with a byte equal to the closing answer
    WriteBytes(KernelPath(), kernel);
    EXPECT_EQ(Download(), IDOK);
    EXPECT_EQ(g_bKernelLoaded, 1);
    EXPECT_EQ(m_bench.m_unit.Kernel(), kernel);
    const Texts shown = Shown("Boot mode Download .....");
    EXPECT_EQ(shown.front(), "0 %");
    EXPECT_EQ(shown.back(), "100 %");
    EXPECT_TRUE(m_bench.m_host.Texts().empty());
}

TEST_F(BootHandshake, KernelFileErrors) {
    ASSERT_EQ(Handshake(), IDOK);
    EXPECT_EQ(Download(), IDCANCEL);  // missing
    WriteBytes(KernelPath(), Pattern(65536, 1));
    EXPECT_EQ(Download(), IDCANCEL);  // too long for its length field
    EXPECT_EQ(m_bench.m_host.Texts(),
              (Texts{"3062f.bin File Read Error !", "3062f.bin File Read Error !"}));
    EXPECT_EQ(g_bKernelLoaded, 0);
}

TEST(BootHandshakeFaults, BadEchoesAndSilence) {
    struct Case {
        const char* faults;
        int eraseMs;
        Texts messages;
    };
    for (const Case& c :
         {Case{"bad-echo:2@700", 2000, {}}, Case{"bad-echo:3@700", 2000, {"Receive Error(A)!"}},
          Case{"", 19000, {}},  // a slow erase is waited for
          Case{"silent:echo#300", 2000, {"Time out !"}},
          Case{"silent:kernel-done", 2000, {"Time out !"}}}) {
        TempDir dir;
        SetInstallRoot(dir.Path("install"));
        std::filesystem::create_directories(dir.Path("install/Kestrune"));
        WriteBytes(KernelPath(), Pattern(1558, 7));
        SimUnit::Options options;
        options.bootMode = true;
        options.eraseMs = c.eraseMs;
        options.faults = FaultPlan::Parse(c.faults);
        SimBench bench(options);
        CTransferView view(bench.m_comm);
        bench.m_comm.SetPortOpen(true);
        for (uint8_t byte : {0x00, 0x55}) {
            bench.Exchange(Bytes{byte}, 100);
        }
        g_bKernelLoaded = 0;
        CKernelDownloadDlg dlg;
        dlg.SetView(&view);
        const int64_t start = bench.m_host.Clock().NowNs();
        EXPECT_EQ(dlg.DoModal(), c.messages.empty() ? IDOK : IDCANCEL) << c.faults;
        EXPECT_EQ(bench.m_host.Texts(), c.messages) << c.faults;
        if (c.messages.empty()) {
            EXPECT_EQ(bench.m_unit.Kernel(), Pattern(1558, 7)) << c.faults;
        } else if (c.messages[0] == "Time out !") {
            EXPECT_GT(bench.m_host.Clock().NowNs() - start, 1000 * kNsPerMs) << c.faults;
        }
        SetInstallRoot("");
    }
}

TEST(BootHandshakeFaults, TwoSyncAnswersTogetherAreAResponseError) {
    SimUnit::Options options;
    options.bootMode = true;
    options.faults = FaultPlan::Parse("twice:sync");
    SimBench bench(options);
    CTransferView view(bench.m_comm);
    view.m_bBootHandshake = 1;
    bench.m_comm.SetPortOpen(true);
    CResponseWaitDlg wait;
    wait.SetView(&view);
    // The dialog itself keeps sending 0x00 until an answer comes.
    EXPECT_EQ(wait.DoModal(), IDCANCEL);
    EXPECT_EQ(bench.m_host.Texts(), Texts{"Boot Mode Response Error !"});
    EXPECT_EQ(view.m_bSyncReceived, 0);
}

}  // namespace
