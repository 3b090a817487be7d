// libFuzzer target for the telnet decoder of the network serial port: the first input byte picks
// how the rest is cut into pieces, the rest is what a server sends.
//
// Besides what the sanitizers catch: the decoder never holds more than its bound, takes every
// byte unless it holds as many commands as it may, and gives the data, option requests and
// subnegotiations that a plain reading of the whole stream finds (up to a subnegotiation longer
// than the bound, where both stop).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "link/Telnet.h"

namespace {

using telnet::Decoder;

struct Reading {
    CByteArray data;
    std::vector<std::pair<uint8_t, uint8_t>> negotiations;
    std::vector<std::pair<uint8_t, CByteArray>> subnegotiations;
    bool broken = false;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "telnet_fuzzer: %s\n", what);
    std::abort();
}

// The stream read whole, after RFC 854: IAC IAC is a data 0xFF, IAC and a verb from WILL to DONT
// take one option byte, IAC SB takes an option and a payload up to IAC and anything but IAC, any
// other IAC pair is a command without effect. A command cut off at the end gives nothing.
Reading ReadWhole(const uint8_t* bytes, size_t count) {
    Reading reading;
    size_t i = 0;
    while (i < count) {
        if (bytes[i] != telnet::kIac) {
            reading.data.push_back(bytes[i++]);
            continue;
        }
        if (i + 1 >= count) {
            break;
        }
        const uint8_t command = bytes[i + 1];
        if (command == telnet::kIac) {
            reading.data.push_back(telnet::kIac);
            i += 2;
        } else if (command >= telnet::kWill && command <= telnet::kDont) {
            if (i + 2 >= count) {
                break;
            }
            reading.negotiations.emplace_back(command, bytes[i + 2]);
            i += 3;
        } else if (command == telnet::kSb) {
            if (i + 2 >= count) {
                break;
            }
            CByteArray payload;
            size_t at = i + 3;
            bool ended = false;
            while (at < count && !ended) {
                if (bytes[at] != telnet::kIac) {
                    payload.push_back(bytes[at++]);
                } else if (at + 1 >= count) {
                    break;
                } else if (bytes[at + 1] == telnet::kIac) {
                    payload.push_back(telnet::kIac);
                    at += 2;
                } else {
                    ended = true;
                    at += 2;
                }
                if (payload.size() > Decoder::kMaxSubnegotiationBytes) {
                    reading.broken = true;
                    return reading;
                }
            }
            if (!ended) {
                break;
            }
            reading.subnegotiations.emplace_back(bytes[i + 2], std::move(payload));
            i = at;
        } else {
            i += 2;
        }
    }
    return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t cut = input[0];
    const uint8_t* stream = input + 1;
    const size_t length = size - 1;

    Decoder decoder;
    Reading got;
    const auto take = [&decoder, &got] {
        const auto negotiations = decoder.TakeNegotiations();
        const auto subnegotiations = decoder.TakeSubnegotiations();
        got.negotiations.insert(got.negotiations.end(), negotiations.begin(), negotiations.end());
        for (const auto& sub : subnegotiations) {
            got.subnegotiations.emplace_back(sub.option, sub.payload);
        }
        return negotiations.size() == Decoder::kMaxPendingNegotiations ||
               subnegotiations.size() == Decoder::kMaxPendingSubnegotiations;
    };
    // Pieces of 1 to 64 bytes in a pattern the first byte picks; 0 feeds the stream whole.
    for (size_t at = 0, k = 1; at < length; ++k) {
        const size_t want = cut == 0 ? length : 1 + (cut * k * 7 + k / 3) % 64;
        const size_t end = at + want < length ? at + want : length;
        while (at < end) {
            const size_t took = decoder.Feed(stream + at, end - at, got.data);
            if (decoder.HeldBytes() > Decoder::kMaxHeldBytes) {
                Fail("the decoder holds more than its bound");
            }
            at += took;
            const bool full = take();
            if (took == 0 || (at < end && !full)) {
                Fail("the decoder stopped before the end of a piece without holding its most");
            }
        }
    }
    got.broken = decoder.Broken();

    const Reading want = ReadWhole(stream, length);
    if (got.broken != want.broken) {
        Fail("the decoder and the plain reading disagree on a too long subnegotiation");
    }
    if (got.data != want.data) {
        Fail("the data bytes differ from the plain reading");
    }
    if (got.negotiations != want.negotiations) {
        Fail("the option requests differ from the plain reading");
    }
    if (got.subnegotiations != want.subnegotiations) {
        Fail("the subnegotiations differ from the plain reading");
    }
    return 0;
}
