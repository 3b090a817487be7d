#pragma once

#include <memory>
#include <string>

#include "link/MSComm.h"

struct _OVERLAPPED;

// A COM port through the Win32 communications API: 8-bit binary, no flow control, reads that
// return at once with what is there, and waits for input on a communications event.
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
    // Keeps a communications-event wait pending; true when input is waiting already.
    bool ArmWait();
    [[noreturn]] void FailLastError(const std::string& what);
    size_t QueuedBytes();
    void CloseQuietly() noexcept;

    std::string m_fixedPort;
    std::string m_openName;
    void* m_handle = nullptr;     // the port, opened for overlapped I/O
    void* m_waitEvent = nullptr;  // signalled when the pending communications event completes
    void* m_ioEvent = nullptr;    // for reads and writes
    bool m_waitPending = false;
    unsigned long m_eventMask = 0;
    std::unique_ptr<_OVERLAPPED> m_waitOverlapped;  // of the pending wait
    bool m_linesSupported = true;
};
