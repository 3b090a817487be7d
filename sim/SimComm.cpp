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
