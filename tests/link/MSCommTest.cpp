#include <gtest/gtest.h>

#include "tests/support/SimBench.h"

namespace {

TEST(ByteFrames, FillAndWholeValueComparison) {
    const uint8_t bytes[] = {0x11, 0x06};
    CByteArray array = {1, 2, 3};
    FillByteArray(array, bytes, 0);
    EXPECT_TRUE(array.empty());
    FillByteArray(array, bytes, 2);
    EXPECT_EQ(array, (CByteArray{0x11, 0x06}));
    EXPECT_FALSE(ReplyEquals(array, CByteArray{0x11}));  // two bytes match no one-byte pattern
    EXPECT_TRUE(ReplyEquals(CByteArray{0x06}, CByteArray{0x06}));
}

TEST(SerialPort, PortAndSettingsRulesWhileOpen) {
    SimBench bench;
    CMSComm& comm = bench.m_comm;
    EXPECT_THROW(comm.Output({0x00}), CommError);  // closed
    EXPECT_THROW(comm.GetInBufferCount(), CommError);
    EXPECT_THROW(comm.SetSettings("9600,x,8,1"), CommError);
    EXPECT_THROW(comm.SetSettings("fast"), CommError);
    comm.SetCommPort(2);
    comm.SetPortOpen(true);
    comm.SetCommPort(2);  // unchanged: no effect
    EXPECT_THROW(comm.SetCommPort(3), CommError);
    EXPECT_EQ(comm.GetCommPort(), 2);
    comm.SetSettings("19200,n,8,1");  // may change while open
    EXPECT_EQ(comm.GetSettings().baud, 19200);
    // At another rate than the unit's nothing gets through.
    EXPECT_TRUE(bench.Exchange(wire::kDiscoveryQuery, 300).empty());
    comm.SetSettings("9600,n,8,1");
    EXPECT_EQ(bench.Exchange(wire::kDiscoveryQuery, 300).size(), 21u);
    try {
        comm.SetPortOpen(true);
        FAIL() << "opened twice";
    } catch (const CommError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("sim: ", 0), 0u) << error.what();
    }
}

TEST(SerialPort, CountLeavesTheBufferAndInputTakesEverything) {
    SimBench bench;
    CMSComm& comm = bench.m_comm;
    comm.SetPortOpen(true);
    comm.Output(wire::kDiscoveryQuery);
    EXPECT_EQ(comm.GetInBufferCount(), 0);
    bench.m_host.Sleep(300);
    EXPECT_EQ(comm.GetInBufferCount(), 21);
    EXPECT_EQ(comm.GetInBufferCount(), 21);
    EXPECT_EQ(comm.GetInput().size(), 21u);
    EXPECT_EQ(comm.GetInBufferCount(), 0);
    EXPECT_TRUE(comm.GetInput().empty());

    std::vector<std::pair<CMSComm::Direction, CByteArray>> trace;
    comm.SetTrace([&](CMSComm::Direction direction, const CByteArray& bytes) {
        trace.emplace_back(direction, bytes);
    });
    bench.Exchange(" flash", 100);
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].first, CMSComm::Direction::Sent);
    EXPECT_EQ(trace[1].second, wire::kAccepted);
}

}  // namespace
