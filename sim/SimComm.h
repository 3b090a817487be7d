#pragma once

#include "framework/Clock.h"
#include "link/MSComm.h"
#include "sim/SimUnit.h"

// The serial port wired to a simulated unit in the same process. Bytes travel at the line's
// pace on the given clock: a virtual clock in tests, the real one for a demonstration run.
class SimComm : public CMSComm {
public:
    // What one poll of the port costs a busy loop.
    static constexpr int64_t kPollCostNs = 2 * kNsPerUs;

    SimComm(SimUnit& unit, Clock& clock) : m_unit(unit), m_clock(clock) {}

    std::string PortName(short) const override { return "sim"; }

protected:
    void OpenPort(short port, const LineSettings& settings, bool dtr, bool rts) override;
    void ClosePort() override;
    void ApplySettings(const LineSettings& settings) override;
    void ApplyLines(bool dtr, bool rts) override;
    void Write(const CByteArray& frame) override;
    size_t BytesWaiting() override;
    CByteArray ReadAll() override;
    bool WaitInput(int64_t timeoutNs) override;

private:
    // Lets the unit catch up with the clock and collects what reached the port.
    void Pump();
    // Bytes at another rate than the unit's arrive as noise, which this model drops.
    bool RateMatches() const { return m_baud == SimUnit::kBaud; }

    SimUnit& m_unit;
    Clock& m_clock;
    int m_baud = SimUnit::kBaud;
    int64_t m_txFreeNs = 0;
    CByteArray m_received;
};
