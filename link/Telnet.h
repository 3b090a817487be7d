#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "link/MSComm.h"

// The telnet layer of a network serial port (RFC 854) with the COM-PORT-OPTION of RFC 2217:
// byte strings in, byte strings out, no sockets, so it is tested on its own.
namespace telnet {

constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

constexpr uint8_t kBinary = 0;
constexpr uint8_t kSuppressGoAhead = 3;
constexpr uint8_t kComPort = 44;

// COM-PORT-OPTION commands from the client; the server answers each with the same plus 100.
constexpr uint8_t kSetBaudRate = 1;
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values for the modem lines, and SET-PARITY, SET-STOPSIZE and PURGE-DATA values.
constexpr uint8_t kDtrOn = 8;
constexpr uint8_t kDtrOff = 9;
constexpr uint8_t kRtsOn = 11;
constexpr uint8_t kRtsOff = 12;
constexpr uint8_t kParityNone = 1;
constexpr uint8_t kParityOdd = 2;
constexpr uint8_t kParityEven = 3;
constexpr uint8_t kParityMark = 4;
constexpr uint8_t kParitySpace = 5;
constexpr uint8_t kStopOne = 1;
constexpr uint8_t kStopTwo = 2;
constexpr uint8_t kStopOneAndHalf = 3;
constexpr uint8_t kPurgeBoth = 3;

// Data as it goes on the connection: every 0xFF doubled.
CByteArray Escape(const CByteArray& data);

// A COM-PORT-OPTION subnegotiation: IAC SB 44 command value IAC SE, the value escaped.
CByteArray ComPortCommand(uint8_t command, const CByteArray& value);

// What the client says at the start: binary both ways, no go-ahead, and (for RFC 2217) that it
// speaks the COM-PORT-OPTION.
CByteArray OpeningNegotiation(bool comPort);

// Takes the connection's bytes apart: data goes out, commands are kept aside. Works on pieces
// of any size; a command split across two pieces is joined. What it holds is bounded: a
// subnegotiation longer than kMaxSubnegotiationBytes breaks the stream, and it takes no more
// input while it holds as many commands as it may keep untaken.
class Decoder {
public:
    struct Subnegotiation {
        uint8_t option;
        CByteArray payload;  // unescaped
    };

    // A COM-PORT-OPTION subnegotiation carries a few bytes; a server that sends more is broken.
    static constexpr size_t kMaxSubnegotiationBytes = 256;
    static constexpr size_t kMaxPendingNegotiations = 64;
    static constexpr size_t kMaxPendingSubnegotiations = 8;
    // The most HeldBytes() can be: the subnegotiation being read and the commands not taken.
    static constexpr size_t kMaxHeldBytes =
        (kMaxPendingSubnegotiations + 1) * (kMaxSubnegotiationBytes + 1) +
        kMaxPendingNegotiations * 2;

    // Appends the data bytes of `bytes` to `data` and returns how many of `bytes` it took: all of
    // them, unless it holds as many commands as it may (take them, then feed the rest). Once
    // Broken(), it takes and drops everything.
    size_t Feed(const uint8_t* bytes, size_t count, CByteArray& data);
    // True after a subnegotiation longer than kMaxSubnegotiationBytes.
    bool Broken() const { return m_state == State::Broken; }
    // The bytes it holds for commands: the subnegotiation being read and those not yet taken.
    size_t HeldBytes() const;

    // Option requests received (DO, DONT, WILL, WONT and the option), in order, since last taken.
    std::vector<std::pair<uint8_t, uint8_t>> TakeNegotiations();
    std::vector<Subnegotiation> TakeSubnegotiations();

private:
    enum class State { Data, Iac, Verb, Sb, SbData, SbIac, Broken };
    bool Full() const;
    State m_state = State::Data;
    uint8_t m_verb = 0;
    Subnegotiation m_current;
    std::vector<std::pair<uint8_t, uint8_t>> m_negotiations;
    std::vector<Subnegotiation> m_subnegotiations;
};

// The client's answer to an option request, or nothing: it agrees to binary and no go-ahead
// both ways and to the COM-PORT-OPTION on its side, and refuses everything else. `agreed`
// remembers what it has said so that it never answers the same request twice.
class OptionPolicy {
public:
    explicit OptionPolicy(bool comPort) : m_comPort(comPort) {}
    // Marks what the opening negotiation already offered.
    void Offered(uint8_t verb, uint8_t option);
    CByteArray Answer(uint8_t verb, uint8_t option);

private:
    static size_t Index(uint8_t verb, uint8_t option);
    bool m_comPort;
    // What it has said, by verb and option: at most one answer each, however often asked.
    std::bitset<4 * 256> m_said;
};

}  // namespace telnet
