#include "link/Telnet.h"

namespace telnet {

CByteArray Escape(const CByteArray& data) {
    CByteArray out;
    out.reserve(data.size() + data.size() / 8);
    for (const uint8_t byte : data) {
        out.push_back(byte);
        if (byte == kIac) {
            out.push_back(kIac);
        }
    }
    return out;
}

CByteArray ComPortCommand(uint8_t command, const CByteArray& value) {
    CByteArray out = {kIac, kSb, kComPort, command};
    const CByteArray escaped = Escape(value);
    out.insert(out.end(), escaped.begin(), escaped.end());
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

CByteArray OpeningNegotiation(bool comPort) {
    CByteArray out;
    const auto say = [&out](uint8_t verb, uint8_t option) {
        out.push_back(kIac);
        out.push_back(verb);
        out.push_back(option);
    };
    for (const uint8_t option : {kBinary, kSuppressGoAhead}) {
        say(kWill, option);
        say(kDo, option);
    }
    if (comPort) {
        say(kWill, kComPort);
    }
    return out;
}

size_t Decoder::Feed(const uint8_t* bytes, size_t count, CByteArray& data) {
    size_t i = 0;
    for (; i < count && !Full(); ++i) {
        const uint8_t byte = bytes[i];
        switch (m_state) {
            case State::Data:
                if (byte == kIac) {
                    m_state = State::Iac;
                } else {
                    data.push_back(byte);
                }
                break;
            case State::Iac:
                if (byte == kIac) {
                    data.push_back(kIac);  // a doubled 0xFF is one data byte
                    m_state = State::Data;
                } else if (byte >= kWill && byte <= kDont) {
                    m_verb = byte;
                    m_state = State::Verb;
                } else if (byte == kSb) {
                    m_state = State::Sb;
                } else {
                    m_state = State::Data;  // a two-byte command (NOP, GA, ...): nothing to do
                }
                break;
            case State::Verb:
                m_negotiations.emplace_back(m_verb, byte);
                m_state = State::Data;
                break;
            case State::Sb:
                m_current = Subnegotiation{byte, {}};
                m_state = State::SbData;
                break;
            case State::SbData:
                if (byte == kIac) {
                    m_state = State::SbIac;
                } else if (m_current.payload.size() == kMaxSubnegotiationBytes) {
                    m_current = {};
                    m_state = State::Broken;
                } else {
                    m_current.payload.push_back(byte);
                }
                break;
            case State::SbIac:
                if (byte == kIac) {
                    if (m_current.payload.size() == kMaxSubnegotiationBytes) {
                        m_current = {};
                        m_state = State::Broken;
                        break;
                    }
                    m_current.payload.push_back(kIac);
                    m_state = State::SbData;
                } else {
                    // IAC SE ends it; anything else after IAC ends it too, as a broken one.
                    m_subnegotiations.push_back(std::move(m_current));
                    m_current = {};
                    m_state = State::Data;
                }
                break;
            case State::Broken:
                return count;  // nothing after it can be read as the server meant it
        }
    }
    return m_state == State::Broken ? count : i;
}

bool Decoder::Full() const {
    return m_negotiations.size() >= kMaxPendingNegotiations ||
           m_subnegotiations.size() >= kMaxPendingSubnegotiations;
}

size_t Decoder::HeldBytes() const {
    size_t held = m_current.payload.size() + 1 + m_negotiations.size() * 2;
    for (const Subnegotiation& sub : m_subnegotiations) {
        held += sub.payload.size() + 1;
    }
    return held;
}

std::vector<std::pair<uint8_t, uint8_t>> Decoder::TakeNegotiations() {
    std::vector<std::pair<uint8_t, uint8_t>> taken;
    taken.swap(m_negotiations);
    return taken;
}

std::vector<Decoder::Subnegotiation> Decoder::TakeSubnegotiations() {
    std::vector<Subnegotiation> taken;
    taken.swap(m_subnegotiations);
    return taken;
}

size_t OptionPolicy::Index(uint8_t verb, uint8_t option) {
    return static_cast<size_t>(verb - kWill) * 256 + option;
}

void OptionPolicy::Offered(uint8_t verb, uint8_t option) {
    m_said.set(Index(verb, option));
}

CByteArray OptionPolicy::Answer(uint8_t verb, uint8_t option) {
    const bool ours =
        option == kBinary || option == kSuppressGoAhead || (option == kComPort && m_comPort);
    uint8_t reply = 0;
    if (verb == kDo) {
        reply = ours ? kWill : kWont;  // the server asks us to do something
    } else if (verb == kWill) {
        // The server offers to do something; the COM-PORT-OPTION is the client's side only.
        reply = ours && option != kComPort ? kDo : kDont;
    } else if (verb == kDont) {
        reply = kWont;
    } else {
        reply = kDont;
    }
    if (m_said.test(Index(reply, option))) {
        return {};
    }
    m_said.set(Index(reply, option));
    return {kIac, reply, option};
}

}  // namespace telnet
