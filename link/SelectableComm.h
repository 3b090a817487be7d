#pragma once

#include <functional>
#include <memory>
#include <string>

#include "link/MSComm.h"

// The desktop programs' port: the system's port of the selected number, or the port chosen by
// name (a device path, "COM7", or a network address), whichever g_strPortName says when the port
// is opened. Each open makes the back end the choice needs and forwards every operation to it.
class SelectableComm : public CMSComm {
public:
    // Makes the back end for a port name; an empty name stands for the numbered ports.
    using Factory = std::function<std::unique_ptr<CMSComm>(const std::string& name)>;

    explicit SelectableComm(Factory factory);
    ~SelectableComm() override;

    std::string PortName(short port) const override;
    bool HasModemLines() const override;

protected:
    void OpenPort(short port, const LineSettings& settings, bool dtr, bool rts) override;
    void ClosePort() override;
    void ApplySettings(const LineSettings& settings) override;
    void ApplyLines(bool dtr, bool rts) override;
    void Write(const CByteArray& frame) override;
    size_t BytesWaiting() override;
    CByteArray ReadAll() override;
    bool WaitInput(int64_t timeoutNs) override;
    void* ArmInputEvent() override;

private:
    // The back end for the current choice, made anew when the choice changed.
    CMSComm& Current() const;

    Factory m_factory;
    mutable std::string m_name;
    mutable std::unique_ptr<CMSComm> m_inner;
};

// The back end for a port name: a network port for rfc2217:// and tcp://, else the system's.
std::unique_ptr<CMSComm> MakePortByName(const std::string& name);
