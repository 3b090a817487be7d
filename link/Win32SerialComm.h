#pragma once

#include <memory>
#include <string>

#include "link/MSComm.h"

struct _OVERLAPPED;

// A COM port through the Win32 communications API: 8-bit binary, no flow control, reads of
// what is there, and waits for input on a one-byte read kept pending.
class Win32SerialComm : public CMSComm {
public:
    explicit Win32SerialComm(std::string fixedPort = {});
    ~Win32SerialComm() override;
    Win32SerialComm(const Win32SerialComm&) = delete;
    Win32SerialComm& operator=(const Win32SerialComm&) = delete;

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
    void* ArmInputEvent() override;

private:
    // Keeps the one-byte probe read pending; true when input is waiting already.
    bool ArmProbe();
    // Takes the probe read's byte if it has ended (or, with `cancel`, ends it first); true
    // while a byte is held.
    bool TakeProbe(bool cancel);
    // The probe's byte or bytes in the driver's queue.
    bool InputWaiting();
    [[noreturn]] void FailLastError(const std::string& what);
    size_t QueuedBytes();
    void CloseQuietly() noexcept;

    std::string m_fixedPort;
    std::string m_openName;
    void* m_handle = nullptr;      // the port, opened for overlapped I/O
    void* m_probeEvent = nullptr;  // signalled when the probe read ends
    void* m_ioEvent = nullptr;     // for the other reads and the writes
    bool m_probePending = false;
    bool m_probeHeld = false;  // the probe's byte, not yet handed on
    unsigned char m_probe = 0;
    std::unique_ptr<_OVERLAPPED> m_probeOverlapped;  // of the probe read
    bool m_linesSupported = true;
};
