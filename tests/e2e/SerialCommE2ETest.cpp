// The system serial back end against the simulator program on a pseudo-terminal, in real time.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "link/PosixSerialComm.h"
#include "sim/SimUnit.h"
#include "tests/e2e/UnitSimProcess.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::HasSubstr;
using testing::StartsWith;

constexpr milliseconds kAnswerTimeout{1000};
constexpr milliseconds kLoaderListensAfter{150};  // the unit's hand-over time, with a margin

const CByteArray kIdentification = {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x01, 0x55};
constexpr size_t kIdentificationAnswer = 21;
const CByteArray kFlashRequest = {' ', 'f', 'l', 'a', 's', 'h'};
const CByteArray kFlashAccepted = {0x2A, 0x46, 0x4C, 0x41, 0x53, 0x48, 0x0A, 0x0D};
const CByteArray kBlockTable = {0x57, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04,
                                0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x0C, 0x00,
                                0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00,
                                0x01, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00};
const CByteArray kAck = {0x06};
const CByteArray kFrameAck = {0x11};
constexpr uint8_t kFrameStart = 0x11;
constexpr size_t kFrameData = 64;

// Polls as the logic does until `count` bytes came or the time is up.
CByteArray Receive(CMSComm& comm, size_t count, milliseconds timeout = kAnswerTimeout) {
    CByteArray received;
    const auto deadline = steady_clock::now() + timeout;
    while (received.size() < count && steady_clock::now() < deadline) {
        if (comm.GetInBufferCount() > 0) {
            const CByteArray input = comm.GetInput();
            received.insert(received.end(), input.begin(), input.end());
        } else {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
    return received;
}

CByteArray Exchange(CMSComm& comm, const CByteArray& frame, size_t answer) {
    comm.Output(frame);
    return Receive(comm, answer);
}

void Open(PosixSerialComm& comm) {
    comm.SetCommPort(1);
    comm.SetSettings("9600,n,8,1");
    comm.SetInputMode(1);
    comm.SetPortOpen(true);
}

class UnitSimTest : public testing::Test {
protected:
    void Start(std::vector<std::string> args = {}) {
        m_unitsim = std::make_unique<UnitSimProcess>(args);
        m_path = m_unitsim->ReadLine();
        ASSERT_THAT(m_path, StartsWith("/dev/"));
    }

    std::unique_ptr<UnitSimProcess> m_unitsim;
    std::string m_path;
};

TEST_F(UnitSimTest, AnswersAtLinePaceAndForgetsAClosedPort) {
    Start();
    PosixSerialComm comm(m_path);
    comm.SetDTREnable(true);  // a pseudo-terminal has no modem lines: requests are no-ops
    Open(comm);
    EXPECT_EQ(comm.PortName(1), m_path);
    comm.SetRTSEnable(true);
    comm.SetDTREnable(false);

    const auto sent = steady_clock::now();
    const CByteArray answer = Exchange(comm, kIdentification, kIdentificationAnswer);
    const auto took = steady_clock::now() - sent;
    ASSERT_EQ(answer.size(), kIdentificationAnswer);
    EXPECT_EQ(answer[0], 0xAA);
    EXPECT_EQ(answer[1], 0xAA);
    // 11 bytes there and 21 back at 9600 baud.
    EXPECT_GE(took, std::chrono::nanoseconds((kIdentification.size() + kIdentificationAnswer) *
                                             SimUnit::kByteNs));

    // An answer still on its way when the port closes is not there after it reopens.
    comm.Output(kIdentification);
    comm.SetPortOpen(false);
    std::this_thread::sleep_for(milliseconds(100));
    comm.SetPortOpen(true);
    EXPECT_TRUE(Receive(comm, 1, milliseconds(100)).empty());

    EXPECT_EQ(Exchange(comm, kFlashRequest, kFlashAccepted.size()), kFlashAccepted);
}

TEST_F(UnitSimTest, WaitsSleepUntilInputComesAndBytesPassUnchanged) {
    Start();
    PosixSerialComm comm(m_path);
    Open(comm);
    // Nothing sent, nothing comes: the wait lasts its whole time.
    auto before = steady_clock::now();
    comm.WaitForInput(std::chrono::nanoseconds(milliseconds(200)).count());
    EXPECT_GE(steady_clock::now() - before, milliseconds(195));
    EXPECT_EQ(comm.GetInBufferCount(), 0);
    // The identification's answer ends a long wait as soon as its first byte is there.
    comm.Output(kIdentification);
    before = steady_clock::now();
    comm.WaitForInput(std::chrono::nanoseconds(milliseconds(5000)).count());
    EXPECT_LT(steady_clock::now() - before, milliseconds(1000));
    EXPECT_GT(comm.GetInBufferCount(), 0);
    EXPECT_EQ(Receive(comm, kIdentificationAnswer).size(), kIdentificationAnswer);
    // Input already waiting ends a wait at once.
    comm.Output(kIdentification);
    ASSERT_FALSE(Receive(comm, 1).empty());
    before = steady_clock::now();
    comm.WaitForInput(std::chrono::nanoseconds(milliseconds(5000)).count());
    EXPECT_LT(steady_clock::now() - before, milliseconds(100));
}

TEST_F(UnitSimTest, LoaderTransferReachesTheFlashFile) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("unitsim-e2e-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    Start({"--flash-dir", dir.string()});
    PosixSerialComm comm(m_path);
    Open(comm);

    ASSERT_EQ(Exchange(comm, kFlashRequest, kFlashAccepted.size()), kFlashAccepted);
    std::this_thread::sleep_for(kLoaderListensAfter);
    ASSERT_EQ(Exchange(comm, kBlockTable, 1), kAck);
    ASSERT_EQ(Exchange(comm, {0, 0, 0, 0, 0, 0, 0, kFrameData}, 1), kAck);
    CByteArray frame = {kFrameStart};
    uint8_t sum = 0;
    for (size_t i = 0; i < kFrameData; ++i) {
        // Every byte a terminal might take for a control character goes through as it is.
        static const uint8_t kSpecial[] = {0x00, 0x11, 0x13, 0xFF, 0x0D, 0x0A, 0x03, 0x7F, 0x1A};
        frame.push_back(i < sizeof kSpecial ? kSpecial[i] : static_cast<uint8_t>(0x30 + i * 7));
        sum = static_cast<uint8_t>(sum + frame.back());
    }
    ASSERT_EQ(Exchange(comm, frame, 1), kFrameAck);
    ASSERT_EQ(Exchange(comm, {kFrameStart, static_cast<uint8_t>(0xFF - sum)}, 1), kAck);

    std::ifstream file(dir / "control.bin", std::ios::binary);
    const CByteArray flash{std::istreambuf_iterator<char>(file), {}};
    std::filesystem::remove_all(dir);
    ASSERT_EQ(flash.size(), SimUnit::kFlashBytes);
    EXPECT_TRUE(std::equal(frame.begin() + 1, frame.end(), flash.begin()));
    EXPECT_EQ(flash[kFrameData], 0xFF);
}

TEST_F(UnitSimTest, PortFailuresNameThePort) {
    PosixSerialComm missing("/dev/does-not-exist");
    try {
        Open(missing);
        FAIL() << "a missing port opened";
    } catch (const CommError& error) {
        EXPECT_THAT(error.what(), StartsWith("/dev/does-not-exist: "));
        EXPECT_THAT(error.what(), HasSubstr("No such file or directory"));
    }
    EXPECT_FALSE(missing.GetPortOpen());

    Start();
    PosixSerialComm comm(m_path);
    Open(comm);
    PosixSerialComm second(m_path);
    try {
        Open(second);
        FAIL() << "a port in use opened again";
    } catch (const CommError& error) {
        EXPECT_THAT(error.what(), StartsWith(m_path + ": "));
    }

    // The device goes away in the middle of a run: polls fail rather than find nothing forever.
    m_unitsim->Stop(SIGKILL);
    EXPECT_THROW(Receive(comm, 1), CommError);
    EXPECT_THROW(comm.Output(kIdentification), CommError);
    comm.SetPortOpen(false);
}

TEST(UnitSimProgram, RefusesABadFaultPlanAndStopsCleanly) {
    UnitSimProcess bad({"--faults", "silent:nowhere"}, true);
    EXPECT_THAT(bad.ReadAll(), HasSubstr("nowhere"));
    const int badStatus = bad.Wait();
    ASSERT_TRUE(WIFEXITED(badStatus));
    EXPECT_NE(WEXITSTATUS(badStatus), 0);

    UnitSimProcess good({"--faults", "silent:frame#2,restart-ms:10"});
    EXPECT_THAT(good.ReadLine(), StartsWith("/dev/"));
    const int goodStatus = good.Stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(goodStatus));
    EXPECT_EQ(WEXITSTATUS(goodStatus), 0);
}

}  // namespace
