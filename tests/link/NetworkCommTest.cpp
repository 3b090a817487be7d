// NetworkComm against a misbehaving serial server: a thread on a loopback socket that answers
// the opening COM-PORT commands and then floods the connection.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "link/NetworkComm.h"
#include "link/Telnet.h"

namespace {

using namespace std::chrono;

enum class Flood { EndlessSubnegotiation, Negotiations, Data };

// The server stops by itself after this much, or this long, or when the client goes.
constexpr size_t kMaxFloodBytes = 128 * 1024 * 1024;
constexpr auto kMaxFloodTime = seconds(6);
constexpr size_t kFloodBlock = 64 * 1024;

long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

class FloodingServer {
public:
    FloodingServer(bool rfc2217, Flood flood) : m_rfc2217(rfc2217), m_flood(flood) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_listener, 1);
        socklen_t length = sizeof address;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FloodingServer() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }
    std::string Address() const {
        return std::string(m_rfc2217 ? "rfc2217" : "tcp") +
               "://127.0.0.1:" + std::to_string(m_port);
    }
    // What the client sent once the flood began: its answers to the requests.
    size_t RepliesReceived() const { return m_replies; }

private:
    void Serve() {
        pollfd waiting{m_listener, POLLIN, 0};
        if (poll(&waiting, 1, 2000) <= 0) {
            return;
        }
        const int client = accept(m_listener, nullptr, nullptr);
        fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
        if (!m_rfc2217 || AnswerOpening(client)) {
            Send(client);
        }
        close(client);
    }

    // Answers each COM-PORT command (IAC SB 44 command value IAC SE) as a server does, until
    // the purge that ends the opening. The client's values hold no 0xFF.
    bool AnswerOpening(int client) {
        CByteArray received;
        size_t scanned = 0;
        const auto until = steady_clock::now() + seconds(2);
        while (!m_stop && steady_clock::now() < until) {
            pollfd readable{client, POLLIN, 0};
            poll(&readable, 1, 50);
            uint8_t buffer[4096];
            const ssize_t got = recv(client, buffer, sizeof buffer, 0);
            if (got == 0) {
                return false;
            }
            if (got > 0) {
                received.insert(received.end(), buffer, buffer + got);
            }
            const CByteArray start = {telnet::kIac, telnet::kSb, telnet::kComPort};
            const CByteArray end = {telnet::kIac, telnet::kSe};
            for (;;) {
                const auto open = std::search(received.begin() + scanned, received.end(),
                                              start.begin(), start.end());
                const auto close = std::search(open, received.end(), end.begin(), end.end());
                if (close == received.end() || close - open < 4) {
                    break;
                }
                const uint8_t command = open[3];
                const CByteArray answer =
                    telnet::ComPortCommand(static_cast<uint8_t>(command + telnet::kServerOffset),
                                           CByteArray(open + 4, close));
                ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
                scanned = static_cast<size_t>(close - received.begin()) + end.size();
                if (command == telnet::kPurgeData) {
                    return true;
                }
            }
        }
        return false;
    }

    void Send(int client) {
        CByteArray block;
        if (m_flood == Flood::EndlessSubnegotiation) {
            block = {telnet::kIac, telnet::kSb, telnet::kComPort};
        }
        for (size_t option = 0; block.size() < kFloodBlock; ++option) {
            if (m_flood == Flood::Negotiations) {
                const uint8_t verb = option % 2 == 0 ? telnet::kDo : telnet::kWill;
                block.insert(block.end(),
                             {telnet::kIac, verb, static_cast<uint8_t>(option / 2 % 256)});
            } else {
                block.push_back(0x55);
            }
        }
        const auto until = steady_clock::now() + kMaxFloodTime;
        size_t sent = 0;
        size_t at = 0;
        while (!m_stop && steady_clock::now() < until) {
            uint8_t reply[4096];
            const ssize_t got = recv(client, reply, sizeof reply, 0);
            if (got == 0) {
                return;  // the client gave up
            }
            m_replies += got > 0 ? static_cast<size_t>(got) : 0;
            if (sent >= kMaxFloodBytes) {
                std::this_thread::sleep_for(milliseconds(10));  // flooded enough: wait for the end
                continue;
            }
            const ssize_t done = ::send(client, block.data() + at, block.size() - at, MSG_NOSIGNAL);
            if (done < 0 && errno != EAGAIN) {
                return;
            }
            if (done > 0) {
                sent += static_cast<size_t>(done);
                at = (at + static_cast<size_t>(done)) % block.size();
                // Every block after the first is all payload, requests or data.
                if (at == 0 && m_flood == Flood::EndlessSubnegotiation &&
                    block[0] == telnet::kIac) {
                    block.assign(kFloodBlock, 0x55);
                }
            } else {
                pollfd writable{client, POLLOUT, 0};
                poll(&writable, 1, 20);
            }
        }
    }

    bool m_rfc2217;
    Flood m_flood;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_replies{0};
    std::thread m_thread;
};

TEST(NetworkComm, AFloodingServerEndsTheRunWithinItsDeadlineAndBoundedMemory) {
    constexpr int64_t kWaitNs = 300'000'000;
    // Room for a loaded machine or a sanitizer build; far below the flood's own end.
    constexpr auto kSlack = milliseconds(2000);
    constexpr long kMaxGrowthKb = 64 * 1024;
    constexpr auto kLogicPause = milliseconds(200);
    const struct {
        bool rfc2217;
        Flood flood;
        std::string message;  // empty: the waits run to their deadline and take nothing
    } cases[] = {
        {true, Flood::EndlessSubnegotiation,
         "the server sent a telnet subnegotiation longer than 256 bytes"},
        {true, Flood::Negotiations, ""},
        {true, Flood::Data, "the server sent more data than a unit can"},
        {false, Flood::Data, "the server sent more data than a unit can"},
    };
    for (const auto& c : cases) {
        FloodingServer server(c.rfc2217, c.flood);
        SCOPED_TRACE(server.Address() + " flood " + std::to_string(static_cast<int>(c.flood)));
        const long before = PeakRssKb();
        NetworkComm comm(server.Address());
        comm.SetSettings("9600,n,8,1");
        const auto start = steady_clock::now();
        std::string message;
        bool input = false;
        try {
            comm.SetPortOpen(true);  // the flood may begin while the port opens
            // The logic pauses between its steps (200 ms after a query): what piles up meanwhile
            // comes in one drain, as it does from a fast server on a loaded machine too.
            std::this_thread::sleep_for(kLogicPause);
            // As the logic waits for an answer: three waits, each with its deadline.
            for (int i = 0; i < 3; ++i) {
                input = comm.WaitForInput(kWaitNs) || input;
                input = !comm.GetInput().empty() || input;
            }
        } catch (const CommError& error) {
            message = error.what();
        }
        const auto elapsed = duration_cast<milliseconds>(steady_clock::now() - start);
        comm.ForceClose();
        const long growth = PeakRssKb() - before;
        std::cout << server.Address() << ": " << elapsed.count() << " ms, peak memory +" << growth
                  << " KiB, replies " << server.RepliesReceived() << " bytes\n";
        if (c.message.empty()) {
            EXPECT_EQ(message, "");
            EXPECT_FALSE(input);
            EXPECT_LT(elapsed, 3 * duration_cast<milliseconds>(nanoseconds(kWaitNs)) + kSlack);
            // Each request is answered once: a few bytes for every option there is.
            EXPECT_LE(server.RepliesReceived(), 3u * 2u * 256u);
        } else {
            EXPECT_EQ(message, server.Address() + ": " + c.message);
            EXPECT_LT(elapsed, kSlack);
        }
        EXPECT_LT(growth, kMaxGrowthKb);
    }
}

}  // namespace
