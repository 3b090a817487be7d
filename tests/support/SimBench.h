#pragma once

#include <string>
#include <vector>

#include "link/MSComm.h"
#include "sim/SimComm.h"
#include "sim/SimUnit.h"
#include "sim/VirtualHost.h"

// A simulated unit on the port, in virtual time, with the host installed.
class SimBench {
public:
    explicit SimBench(SimUnit::Options options = {})
        : m_unit(std::move(options)), m_comm(m_unit, m_host.Clock()) {
        m_comm.SetSettings("9600,n,8,1");
    }

    // Sends `frame`, waits `ms` and takes what arrived.
    CByteArray Exchange(const CByteArray& frame, int ms) {
        m_comm.Output(frame);
        m_host.Sleep(ms);
        return m_comm.GetInput();
    }
    CByteArray Exchange(const std::string& text, int ms) {
        return Exchange(CByteArray(text.begin(), text.end()), ms);
    }

    // What the unit is doing now.
    std::string UnitMode() {
        m_unit.RunUntil(m_host.Clock().NowNs());
        return m_unit.ModeName();
    }

    VirtualHost m_host;
    ScopedHost m_installed{m_host};
    SimUnit m_unit;
    SimComm m_comm;
};

// Wire frames the tool sends, as they stand on the wire.
namespace wire {
inline const CByteArray kFirstQuery = {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x00,
                                       0x00, 0x04, 0x00, 0x01, 0x59};
inline const CByteArray kDiscoveryQuery = {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x01, 0x55};
inline const CByteArray kIdentityQuery = {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x01,
                                          0x01, 0x03, 0x00, 0x01, 0x5A};
inline const CByteArray kBlockTable = {0x57, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04,
                                       0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x0C, 0x00,
                                       0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00,
                                       0x01, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00};
inline const CByteArray kAccepted = {'*', 'F', 'L', 'A', 'S', 'H', '\n', '\r'};
}  // namespace wire
