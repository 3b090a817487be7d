#include <gtest/gtest.h>

#include "link/NetworkComm.h"
#include "link/Telnet.h"

namespace {

using namespace telnet;

TEST(Telnet, DataKeepsEveryByteBothWays) {
    const CByteArray data = {0x00, 0xFF, 0x11, 0xFF, 0xFF, 0xF0, 0x0D, 0x0A};
    const CByteArray escaped = Escape(data);
    EXPECT_EQ(escaped,
              (CByteArray{0x00, 0xFF, 0xFF, 0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0x0D, 0x0A}));
    // Whatever the pieces the connection delivers, the same bytes come out.
    for (size_t cut = 0; cut <= escaped.size(); ++cut) {
        Decoder decoder;
        CByteArray out;
        decoder.Feed(escaped.data(), cut, out);
        decoder.Feed(escaped.data() + cut, escaped.size() - cut, out);
        EXPECT_EQ(out, data) << "cut at " << cut;
    }
}

TEST(Telnet, CommandsInTheStreamAreTakenOut) {
    // Data, a negotiation, a COM-PORT answer with an escaped 0xFF in its value, a NOP, data.
    const CByteArray stream = {0x41, kIac, kWill, kBinary, 0x42, kIac, kSb,  kComPort, 101, 0x00,
                               0x00, 0x25, kIac,  kIac,    kIac, kSe,  kIac, 241,      0x43};
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Decoder decoder;
        CByteArray out;
        decoder.Feed(stream.data(), cut, out);
        decoder.Feed(stream.data() + cut, stream.size() - cut, out);
        EXPECT_EQ(out, (CByteArray{0x41, 0x42, 0x43})) << "cut at " << cut;
        EXPECT_EQ(decoder.TakeNegotiations(),
                  (std::vector<std::pair<uint8_t, uint8_t>>{{kWill, kBinary}}));
        const auto subs = decoder.TakeSubnegotiations();
        ASSERT_EQ(subs.size(), 1u);
        EXPECT_EQ(subs[0].option, kComPort);
        EXPECT_EQ(subs[0].payload, (CByteArray{101, 0x00, 0x00, 0x25, 0xFF}));
        EXPECT_TRUE(decoder.TakeNegotiations().empty());
    }
}

TEST(Telnet, ComPortCommandsAndOptionAnswers) {
    // 9600 baud; a value byte 0xFF is escaped inside the subnegotiation too.
    EXPECT_EQ(ComPortCommand(kSetBaudRate, {0x00, 0x00, 0x25, 0x80}),
              (CByteArray{kIac, kSb, kComPort, 1, 0x00, 0x00, 0x25, 0x80, kIac, kSe}));
    EXPECT_EQ(ComPortCommand(kSetControl, {0xFF}),
              (CByteArray{kIac, kSb, kComPort, 5, 0xFF, 0xFF, kIac, kSe}));

    OptionPolicy policy(true);
    policy.Offered(kWill, kBinary);
    EXPECT_TRUE(policy.Answer(kDo, kBinary).empty());  // already offered
    EXPECT_EQ(policy.Answer(kWill, kBinary), (CByteArray{kIac, kDo, kBinary}));
    EXPECT_TRUE(policy.Answer(kWill, kBinary).empty());              // never twice
    EXPECT_EQ(policy.Answer(kDo, 1), (CByteArray{kIac, kWont, 1}));  // echo: refused
    EXPECT_EQ(policy.Answer(kWill, kComPort), (CByteArray{kIac, kDont, kComPort}));
    EXPECT_EQ(policy.Answer(kDo, kComPort), (CByteArray{kIac, kWill, kComPort}));
}

TEST(NetworkComm, AddressesAndTheirPorts) {
    EXPECT_TRUE(NetworkComm::IsNetworkAddress("rfc2217://server:2001"));
    EXPECT_TRUE(NetworkComm::IsNetworkAddress("tcp://[::1]:2001"));
    EXPECT_FALSE(NetworkComm::IsNetworkAddress("/dev/ttyUSB0"));
    EXPECT_TRUE(NetworkComm("rfc2217://server:2001").HasModemLines());
    EXPECT_FALSE(NetworkComm("tcp://server:2001").HasModemLines());
    NetworkComm bad("tcp://server");
    bad.SetSettings("9600,n,8,1");
    try {
        bad.SetPortOpen(true);
        FAIL() << "an address without a port opened";
    } catch (const CommError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "tcp://server: not an address of the form rfc2217://HOST:PORT or "
                  "tcp://HOST:PORT");
    }
}

}  // namespace
