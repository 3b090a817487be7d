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

TEST(Telnet, WhatTheDecoderHoldsIsBounded) {
    // A subnegotiation of exactly the limit, escaped 0xFF included, is taken; one byte more
    // breaks the stream and everything after it is dropped.
    for (const size_t length :
         {Decoder::kMaxSubnegotiationBytes, Decoder::kMaxSubnegotiationBytes + 1}) {
        CByteArray stream = {0x41, kIac, kSb, kComPort, kIac, kIac};
        stream.insert(stream.end(), length - 1, 0x07);
        stream.insert(stream.end(), {kIac, kSe, 0x42});
        Decoder decoder;
        CByteArray out;
        EXPECT_EQ(decoder.Feed(stream.data(), stream.size(), out), stream.size());
        const bool fits = length <= Decoder::kMaxSubnegotiationBytes;
        EXPECT_EQ(decoder.Broken(), !fits) << length;
        EXPECT_EQ(out, fits ? (CByteArray{0x41, 0x42}) : CByteArray{0x41}) << length;
        EXPECT_EQ(decoder.TakeSubnegotiations().size(), fits ? 1u : 0u) << length;
    }
    // An endless subnegotiation, and floods of requests and of short subnegotiations: Feed stops
    // when it holds what it may, takes the rest once the commands are taken, and never holds
    // more than its bound.
    const CByteArray endless = {0x07};
    const CByteArray request = {kIac, kDo, 1};
    const CByteArray answer = {kIac, kSb, kComPort, 105, 8, kIac, kSe};
    for (const CByteArray* unit : {&endless, &request, &answer}) {
        CByteArray stream;
        if (unit == &endless) {
            stream = {kIac, kSb, kComPort};
        }
        for (int i = 0; i < 1000; ++i) {
            stream.insert(stream.end(), unit->begin(), unit->end());
        }
        Decoder decoder;
        CByteArray out;
        size_t used = 0;
        size_t requests = 0;
        size_t answers = 0;
        while (used < stream.size()) {
            const size_t took = decoder.Feed(stream.data() + used, stream.size() - used, out);
            ASSERT_GT(took, 0u);
            used += took;
            ASSERT_LE(decoder.HeldBytes(), Decoder::kMaxHeldBytes);
            requests += decoder.TakeNegotiations().size();
            answers += decoder.TakeSubnegotiations().size();
        }
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(decoder.Broken(), unit == &endless);
        EXPECT_EQ(requests, unit == &request ? 1000u : 0u);
        EXPECT_EQ(answers, unit == &answer ? 1000u : 0u);
    }
}

TEST(NetworkComm, AddressesAndTheirPorts) {
    EXPECT_TRUE(NetworkComm::IsNetworkAddress("rfc2217://server:2001"));
    EXPECT_TRUE(NetworkComm::IsNetworkAddress("tcp://[::1]:2001"));
    EXPECT_FALSE(NetworkComm::IsNetworkAddress("/dev/ttyUSB0"));
    EXPECT_TRUE(NetworkComm("rfc2217://server:2001").HasModemLines());
    EXPECT_FALSE(NetworkComm("tcp://server:2001").HasModemLines());

    const std::string kPortRange = "the port must be a number from 1 to 65535";
    const struct {
        const char* address;
        const char* host;
        uint16_t port;
        std::string problem;
    } cases[] = {
        {"rfc2217://server:2001", "server", 2001, ""},
        {"tcp://127.0.0.1:1", "127.0.0.1", 1, ""},
        {"tcp://my-host.example_lan.:65535/", "my-host.example_lan.", 65535, ""},
        {"tcp://10.0.0.2:00080", "10.0.0.2", 80, ""},
        {"tcp://[::1]:47333", "::1", 47333, ""},
        {"tcp://[fe80::1%eth0]:2000", "fe80::1%eth0", 2000, ""},
        {"tcp://[::ffff:127.0.0.1]:2000", "::ffff:127.0.0.1", 2000, ""},
        {"tcp://127.0.0.1:70000", "", 0, kPortRange},
        {"tcp://127.0.0.1:65536", "", 0, kPortRange},
        {"tcp://127.0.0.1:0", "", 0, kPortRange},
        {"tcp://127.0.0.1:000000", "", 0, kPortRange},
        {"tcp://127.0.0.1:+80", "", 0, kPortRange},
        {"tcp://127.0.0.1:-1", "", 0, kPortRange},
        {"tcp://127.0.0.1: 80", "", 0, kPortRange},
        {"tcp://127.0.0.1:80 ", "", 0, kPortRange},
        {"tcp://127.0.0.1:8o", "", 0, kPortRange},
        {"tcp://127.0.0.1:0x50", "", 0, kPortRange},
        {"tcp://127.0.0.1:", "", 0, kPortRange},
        {"tcp://127.0.0.1:99999999999999999999", "", 0, kPortRange},
        {"tcp://server", "", 0, "no port after the host"},
        {"tcp://[::1]", "", 0, "no port after the host"},
        {"tcp://:2000", "", 0, "no host"},
        {"tcp://", "", 0, "no host"},
        {"tcp://[]:2000", "", 0, "not an IPv6 address between the brackets"},
        {"tcp://[server]:2000", "", 0, "not an IPv6 address between the brackets"},
        {"tcp://[fe80::1%]:2000", "", 0, "not an IPv6 address between the brackets"},
        {"tcp://[::1]x:47333", "", 0, "text after the ] of the IPv6 address"},
        {"tcp://[::1:47333", "", 0, "no ] after the IPv6 address"},
        {"tcp://::1:47333", "", 0, "an IPv6 address goes in brackets, as [::1]:PORT"},
        {"tcp://ser ver:2000", "", 0, "a host name has only letters, digits, '.', '-' and '_'"},
        {"tcp://user@server:2000", "", 0, "a host name has only letters, digits, '.', '-' and '_'"},
        {"tcp://server/x:2000", "", 0, "a host name has only letters, digits, '.', '-' and '_'"},
        {"telnet://server:2000", "", 0, "not a network address"},
    };
    for (const auto& c : cases) {
        const NetworkComm::Endpoint endpoint = NetworkComm::ParseAddress(c.address);
        EXPECT_EQ(endpoint.problem, c.problem) << c.address;
        if (c.problem.empty()) {
            EXPECT_EQ(endpoint.host, c.host) << c.address;
            EXPECT_EQ(endpoint.port, c.port) << c.address;
        }
    }

    // A malformed address is refused when the port opens, naming the address and the fault.
    NetworkComm bad("tcp://127.0.0.1:70000");
    bad.SetSettings("9600,n,8,1");
    try {
        bad.SetPortOpen(true);
        FAIL() << "an address with a port above 65535 opened";
    } catch (const CommError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "tcp://127.0.0.1:70000: not an address of the form rfc2217://HOST:PORT or "
                  "tcp://HOST:PORT (" +
                      kPortRange + ")");
    }
    EXPECT_FALSE(bad.GetPortOpen());
}

}  // namespace
