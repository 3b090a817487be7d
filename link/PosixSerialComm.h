#pragma once

#include <string>

#include "link/MSComm.h"

// A serial port through termios, raw 8-bit, without flow control. Input is read with poll, so a
// wait for input sleeps until a byte arrives. A pseudo-terminal has no modem lines: setting
// them there is a no-op (traced); on a real port a failure is an error.
class PosixSerialComm : public CMSComm {
public:
    explicit PosixSerialComm(std::string fixedPort = {});
    ~PosixSerialComm() override;
    PosixSerialComm(const PosixSerialComm&) = delete;
    PosixSerialComm& operator=(const PosixSerialComm&) = delete;

    std::string PortName(short port) const override;

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
    std::string Location(short port) const;
    [[noreturn]] void FailErrno(const std::string& what, int error);
    // Reads what the system holds into m_pending; throws when the device went away.
    void Drain();
    void CloseQuietly() noexcept;

    std::string m_fixedPort;
    std::string m_openName;
    int m_fd = -1;
    bool m_linesSupported = true;
    CByteArray m_pending;  // read from the system, not yet taken
};
