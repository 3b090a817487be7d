#include <gtest/gtest.h>

#include <map>

#include "framework/Globals.h"
#include "link/SelectableComm.h"
#include "sim/SimComm.h"

namespace {

TEST(SelectableComm, EachOpenTakesThePortChosenThen) {
    VirtualClock clock;
    SimUnit unitA{SimUnit::Options{}};
    SimUnit unitB{SimUnit::Options{}};
    std::vector<std::string> made;
    SelectableComm comm([&](const std::string& name) -> std::unique_ptr<CMSComm> {
        made.push_back(name);
        return std::make_unique<SimComm>(name == "b" ? unitB : unitA, clock);
    });
    g_strPortName.clear();
    comm.SetSettings("9600,n,8,1");
    comm.SetPortOpen(true);
    comm.Output({0xAA});
    // A new choice while the port is open waits for the next open.
    g_strPortName = "b";
    EXPECT_EQ(comm.PortName(1), "sim");
    comm.SetPortOpen(false);
    EXPECT_EQ(comm.PortName(1), "b");
    comm.SetPortOpen(true);
    EXPECT_TRUE(comm.GetPortOpen());
    comm.SetDTREnable(true);
    comm.SetPortOpen(false);
    EXPECT_EQ(made, (std::vector<std::string>{"", "b"}));
    g_strPortName.clear();
    EXPECT_EQ(MakePortByName("tcp://server:2000")->PortName(1), "tcp://server:2000");
}

}  // namespace
