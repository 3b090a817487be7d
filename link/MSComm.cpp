#include "link/MSComm.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <sstream>
#include <thread>

void FillByteArray(CByteArray& array, const uint8_t* bytes, int count) {
    array.clear();
    if (count > 0) {
        array.assign(bytes, bytes + count);
    }
}

LineSettings LineSettings::Parse(const std::string& text) {
    std::vector<std::string> fields;
    std::stringstream stream(text);
    std::string field;
    while (std::getline(stream, field, ',')) {
        fields.push_back(field);
    }
    LineSettings settings;
    try {
        if (fields.size() != 4 || fields[1].size() != 1) {
            throw std::invalid_argument(text);
        }
        size_t used = 0;
        settings.baud = std::stoi(fields[0], &used);
        const bool baudWhole = used == fields[0].size();
        settings.parity = static_cast<char>(std::tolower(static_cast<unsigned char>(fields[1][0])));
        settings.dataBits = std::stoi(fields[2], &used);
        const bool bitsWhole = used == fields[2].size();
        settings.stopBits = std::stod(fields[3], &used);
        if (!baudWhole || !bitsWhole || used != fields[3].size() || settings.baud <= 0 ||
            std::string("neoms").find(settings.parity) == std::string::npos ||
            settings.dataBits < 4 || settings.dataBits > 8 ||
            (settings.stopBits != 1 && settings.stopBits != 1.5 && settings.stopBits != 2)) {
            throw std::invalid_argument(text);
        }
    } catch (const std::logic_error&) {
        throw CommError("Invalid line settings \"" + text + "\"");
    }
    return settings;
}

void CMSComm::SetCommPort(short port) {
    if (m_bOpen && port != m_nPort) {
        Fail("the port is open; close it before selecting " + PortName(port));
    }
    m_nPort = port;
}

void CMSComm::SetSettings(const std::string& settings) {
    const LineSettings parsed = LineSettings::Parse(settings);
    if (m_bOpen && !(parsed == m_settings)) {
        ApplySettings(parsed);
    }
    m_settings = parsed;
}

void CMSComm::SetPortOpen(bool open) {
    if (open == m_bOpen) {
        if (open) {
            Fail("the port is already open");
        }
        return;
    }
    if (open) {
        OpenPort(m_nPort, m_settings, m_bDTR, m_bRTS);
    } else {
        ClosePort();
    }
    m_bOpen = open;
}

void CMSComm::ForceClose() noexcept {
    if (m_bOpen) {
        try {
            ClosePort();
        } catch (...) {
            // The port is given up either way.
        }
        m_bOpen = false;
    }
}

void CMSComm::SetDTREnable(bool on) {
    m_bDTR = on;
    if (m_bOpen) {
        ApplyLines(m_bDTR, m_bRTS);
    }
}

void CMSComm::SetRTSEnable(bool on) {
    m_bRTS = on;
    if (m_bOpen) {
        ApplyLines(m_bDTR, m_bRTS);
    }
}

void CMSComm::SetInputMode(long mode) {
    m_nInputMode = mode;
}

void CMSComm::Output(const CByteArray& frame) {
    RequireOpen("send");
    if (m_trace) {
        m_trace(Direction::Sent, frame);
    }
    Write(frame);
}

short CMSComm::GetInBufferCount() {
    RequireOpen("poll");
    return static_cast<short>(std::min<size_t>(BytesWaiting(), std::numeric_limits<short>::max()));
}

CByteArray CMSComm::GetInput() {
    RequireOpen("read");
    CByteArray input = ReadAll();
    if (m_trace && !input.empty()) {
        m_trace(Direction::Received, input);
    }
    return input;
}

bool CMSComm::WaitForInput(int64_t timeoutNs) {
    if (!m_bOpen) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(std::max<int64_t>(timeoutNs, 0)));
        return false;
    }
    return WaitInput(std::max<int64_t>(timeoutNs, 0));
}

int64_t CMSComm::WriteLimitMs(size_t bytes, int64_t marginMs) const {
    // Ten bits a byte at 8N1, more with parity and two stop bits; twelve is enough.
    constexpr int64_t kMaxBitsPerByte = 12;
    constexpr int64_t kMsPerSecond = 1000;
    return marginMs + static_cast<int64_t>(bytes) * kMaxBitsPerByte * kMsPerSecond /
                          std::max(m_settings.baud, 1);
}

int CMSComm::WaitMs(int64_t ns) {
    constexpr int64_t kNsPerMsHere = 1'000'000;
    return static_cast<int>(std::clamp<int64_t>((ns + kNsPerMsHere - 1) / kNsPerMsHere, 0,
                                                std::numeric_limits<int>::max()));
}

bool CMSComm::WaitInput(int64_t timeoutNs) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(timeoutNs));
    return BytesWaiting() > 0;
}

void CMSComm::TraceNote(const std::string& text) {
    if (m_trace) {
        m_trace(Direction::Note, CByteArray(text.begin(), text.end()));
    }
}

void CMSComm::Fail(const std::string& reason) const {
    throw CommError(PortName(m_nPort) + ": " + reason);
}

void CMSComm::RequireOpen(const char* operation) const {
    if (!m_bOpen) {
        Fail(std::string("cannot ") + operation + ", the port is not open");
    }
}
