#include "link/SelectableComm.h"

#include "framework/Globals.h"
#include "link/NativeSerialComm.h"
#include "link/NetworkComm.h"

std::unique_ptr<CMSComm> MakePortByName(const std::string& name) {
    if (NetworkComm::IsNetworkAddress(name)) {
        return std::make_unique<NetworkComm>(name);
    }
    return MakeNativeSerialComm(name);
}

SelectableComm::SelectableComm(Factory factory) : m_factory(std::move(factory)) {}

SelectableComm::~SelectableComm() = default;

CMSComm& SelectableComm::Current() const {
    // The choice only changes between runs; an open port keeps the back end it was opened on.
    if (!m_inner || (!GetPortOpen() && m_name != g_strPortName)) {
        m_name = g_strPortName;
        m_inner = m_factory(m_name);
    }
    return *m_inner;
}

std::string SelectableComm::PortName(short port) const {
    return g_strPortName.empty() || GetPortOpen() ? Current().PortName(port) : g_strPortName;
}

bool SelectableComm::HasModemLines() const {
    return Current().HasModemLines();
}

void SelectableComm::OpenPort(short port, const LineSettings& settings, bool dtr, bool rts) {
    CMSComm& inner = Current();
    inner.SetTrace([this](Direction direction, const CByteArray& bytes) {
        if (direction == Direction::Note) {
            TraceNote(std::string(bytes.begin(), bytes.end()));
        }
    });
    inner.m_nPort = port;
    inner.m_settings = settings;
    inner.m_bDTR = dtr;
    inner.m_bRTS = rts;
    inner.OpenPort(port, settings, dtr, rts);
    inner.m_bOpen = true;
}

void SelectableComm::ClosePort() {
    Current().m_bOpen = false;
    Current().ClosePort();
}

void SelectableComm::ApplySettings(const LineSettings& settings) {
    Current().m_settings = settings;
    Current().ApplySettings(settings);
}

void SelectableComm::ApplyLines(bool dtr, bool rts) {
    Current().m_bDTR = dtr;
    Current().m_bRTS = rts;
    Current().ApplyLines(dtr, rts);
}

void SelectableComm::Write(const CByteArray& frame) {
    Current().Write(frame);
}

size_t SelectableComm::BytesWaiting() {
    return Current().BytesWaiting();
}

CByteArray SelectableComm::ReadAll() {
    return Current().ReadAll();
}

bool SelectableComm::WaitInput(int64_t timeoutNs) {
    return Current().WaitInput(timeoutNs);
}

void* SelectableComm::ArmInputEvent() {
    return Current().ArmInputEvent();
}
