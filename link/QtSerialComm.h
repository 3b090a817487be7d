#pragma once

#include <memory>
#include <string>

#include "link/MSComm.h"

class QSerialPort;

// The real serial port, on Qt SerialPort. It runs without an event loop: every poll asks the
// system for what has arrived, and every frame is written out before Output returns, so the
// logic's busy polling works as it does on the original control.
//
// Port n is "COMn" on Windows; elsewhere it is the n-th serial port the system reports, in the
// order of their device paths (1 is the first). A fixed port name or device path, when given,
// is opened whatever number is selected.
class QtSerialComm : public CMSComm {
public:
    explicit QtSerialComm(std::string fixedPort = {});
    ~QtSerialComm() override;
    QtSerialComm(const QtSerialComm&) = delete;
    QtSerialComm& operator=(const QtSerialComm&) = delete;

    std::string PortName(short port) const override;

protected:
    void OpenPort(short port, const LineSettings& settings, bool dtr, bool rts) override;
    void ClosePort() override;
    void ApplySettings(const LineSettings& settings) override;
    void ApplyLines(bool dtr, bool rts) override;
    void Write(const CByteArray& frame) override;
    size_t BytesWaiting() override;
    CByteArray ReadAll() override;

private:
    // The device a port number stands for; empty when the system has no such port.
    std::string Location(short port) const;
    // Throws with the port's error unless it is none or a poll that found nothing.
    void ThrowOnError();
    [[noreturn]] void ThrowPortError();
    void CloseQuietly();

    std::string m_fixedPort;
    std::string m_openName;  // the name the open port was found under
    std::unique_ptr<QSerialPort> m_port;
};
