#include "sim/SimComm.h"

#include <algorithm>

void SimComm::OpenPort(short, const LineSettings& settings, bool dtr, bool rts) {
    m_baud = settings.baud;
    Pump();
    m_received.clear();
    m_unit.ScheduleLines(dtr, rts, m_clock.NowNs());
}

void SimComm::ClosePort() {
    Pump();
    m_received.clear();
    m_unit.ScheduleLines(false, false, m_clock.NowNs());
}

void SimComm::ApplySettings(const LineSettings& settings) {
    m_baud = settings.baud;
}

void SimComm::ApplyLines(bool dtr, bool rts) {
    m_unit.ScheduleLines(dtr, rts, m_clock.NowNs());
}

void SimComm::Write(const CByteArray& frame) {
    Pump();
    const int64_t byteNs = 1'000'000'000LL * 10 / m_baud;
    for (uint8_t byte : frame) {
        m_txFreeNs = std::max(m_txFreeNs, m_clock.NowNs()) + byteNs;
        if (RateMatches()) {
            m_unit.ScheduleReceive(byte, m_txFreeNs);
        }
    }
}

size_t SimComm::BytesWaiting() {
    m_clock.Spend(kPollCostNs);
    Pump();
    return m_received.size();
}

CByteArray SimComm::ReadAll() {
    Pump();
    CByteArray taken;
    taken.swap(m_received);
    return taken;
}

void SimComm::Pump() {
    const int64_t now = m_clock.NowNs();
    m_unit.RunUntil(now);
    CByteArray arrived;
    m_unit.TakeOutput(now, arrived);
    if (GetPortOpen() && RateMatches()) {
        m_received.insert(m_received.end(), arrived.begin(), arrived.end());
    }
}

bool SimComm::WaitInput(int64_t timeoutNs) {
    const int64_t deadline = m_clock.NowNs() + timeoutNs;
    Pump();
    // While the caller waits it sends nothing, so the unit's events before its next output
    // (each byte it receives, its timers) can run ahead of the clock; only the output is waited
    // for. Without that a 9600-baud frame would wake the caller once a byte.
    while (m_received.empty()) {
        const int64_t nextOutput = m_unit.NextOutputNs();
        const int64_t nextEvent = m_unit.NextEventNs();
        if (nextEvent < nextOutput && nextEvent <= deadline) {
            m_unit.RunUntil(nextEvent);
            continue;
        }
        const int64_t wake = std::min(deadline, nextOutput);
        if (m_clock.NowNs() >= deadline) {
            return false;
        }
        m_clock.SleepUntilNs(wake);
        Pump();
        if (m_clock.NowNs() >= deadline) {
            break;
        }
    }
    return !m_received.empty();
}
