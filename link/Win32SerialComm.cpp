#include "link/Win32SerialComm.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "link/NativeSerialComm.h"
#include "link/PortList.h"

namespace {

// Beyond the line time of a frame, how long the system may take to send it.
constexpr DWORD kWriteMarginMs = 2000;
// How long a read of bytes the driver already holds may take.
constexpr DWORD kQueuedReadLimitMs = 1000;

HANDLE H(void* handle) {
    return static_cast<HANDLE>(handle);
}

std::string SystemMessage(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length) : "";
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : message;
}

}  // namespace

std::unique_ptr<CMSComm> MakeNativeSerialComm(const std::string& fixedPort) {
    return std::make_unique<Win32SerialComm>(fixedPort);
}

Win32SerialComm::Win32SerialComm(std::string fixedPort) : m_fixedPort(std::move(fixedPort)) {}

Win32SerialComm::~Win32SerialComm() {
    CloseQuietly();
}

std::string Win32SerialComm::PortName(short port) const {
    if (!m_fixedPort.empty()) {
        return m_fixedPort;
    }
    return PortNameOfNumber(port);
}

void Win32SerialComm::FailLastError(const std::string& what) {
    const DWORD error = GetLastError();
    std::string reason = (what.empty() ? "" : what + ": ") + SystemMessage(error);
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        reason += " (is the port in use by another program?)";
    } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        reason += " (no such port)";
    } else if (error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
               error == ERROR_OPERATION_ABORTED || error == ERROR_GEN_FAILURE) {
        reason += " (was the device unplugged?)";
    }
    Fail(reason);
}

void Win32SerialComm::OpenPort(short port, const LineSettings& settings, bool dtr, bool rts) {
    std::string name = PortName(port);
    // COM10 and above open only through the device namespace; it serves the others too.
    const std::string path = name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        FailLastError("");
    }
    m_handle = handle;
    m_openName = name;
    try {
        m_probeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_ioEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (m_probeEvent == nullptr || m_ioEvent == nullptr) {
            FailLastError("cannot create an event");
        }
        SetupComm(handle, 4096, 4096);
        ApplySettings(settings);
        // No time-outs: a read ends when it has its bytes. Input is awaited by a one-byte read
        // kept pending (a communications-event wait polls the line every millisecond under
        // Wine), the queued bytes are read only when they are there, and writes get a generous
        // limit of their own.
        COMMTIMEOUTS timeouts{};
        if (!SetCommTimeouts(handle, &timeouts)) {
            FailLastError("cannot set the time-outs");
        }
        m_linesSupported = true;
        ApplyLines(dtr, rts);
        // What arrived before the port was opened is not an answer to anything sent on it.
        PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    } catch (...) {
        CloseQuietly();
        throw;
    }
}

void Win32SerialComm::ClosePort() {
    CloseQuietly();
}

void Win32SerialComm::CloseQuietly() noexcept {
    if (m_handle != nullptr) {
        if (m_probePending) {
            CancelIo(H(m_handle));
            DWORD got = 0;
            GetOverlappedResult(H(m_handle), m_probeOverlapped.get(), &got, TRUE);
            m_probePending = false;
        }
        m_probeHeld = false;
        if (m_linesSupported) {
            EscapeCommFunction(H(m_handle), CLRDTR);
            EscapeCommFunction(H(m_handle), CLRRTS);
        }
        CloseHandle(H(m_handle));
        m_handle = nullptr;
    }
    for (void** event : {&m_probeEvent, &m_ioEvent}) {
        if (*event != nullptr) {
            CloseHandle(H(*event));
            *event = nullptr;
        }
    }
    m_probeOverlapped.reset();
    m_openName.clear();
}

void Win32SerialComm::ApplySettings(const LineSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(H(m_handle), &dcb)) {
        FailLastError("cannot read the line settings");
    }
    dcb.BaudRate = static_cast<DWORD>(settings.baud);
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
    switch (settings.parity) {
        case 'e':
            dcb.Parity = EVENPARITY;
            break;
        case 'o':
            dcb.Parity = ODDPARITY;
            break;
        case 'm':
            dcb.Parity = MARKPARITY;
            break;
        case 's':
            dcb.Parity = SPACEPARITY;
            break;
        default:
            dcb.Parity = NOPARITY;
    }
    dcb.fParity = dcb.Parity != NOPARITY;
    dcb.StopBits = settings.stopBits == 2     ? TWOSTOPBITS
                   : settings.stopBits == 1.5 ? ONE5STOPBITS
                                              : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    // The lines stay where ApplyLines puts them.
    dcb.fDtrControl = GetDTREnable() ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = GetRTSEnable() ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    if (!SetCommState(H(m_handle), &dcb)) {
        FailLastError("cannot apply the line settings");
    }
}

void Win32SerialComm::ApplyLines(bool dtr, bool rts) {
    if (!m_linesSupported) {
        return;
    }
    const struct {
        DWORD function;
        const char* name;
    } requests[] = {{dtr ? static_cast<DWORD>(SETDTR) : static_cast<DWORD>(CLRDTR), "DTR"},
                    {rts ? static_cast<DWORD>(SETRTS) : static_cast<DWORD>(CLRRTS), "RTS"}};
    for (const auto& request : requests) {
        if (!EscapeCommFunction(H(m_handle), request.function)) {
            if (GetLastError() == ERROR_NOT_SUPPORTED) {
                // A port without modem lines (a pseudo-terminal behind an emulated port).
                m_linesSupported = false;
                TraceNote("no modem lines on " + m_openName + ": DTR and RTS requests are ignored");
                return;
            }
            FailLastError(std::string("cannot set ") + request.name);
        }
    }
}

void Win32SerialComm::Write(const CByteArray& frame) {
    if (frame.empty()) {
        return;
    }
    const auto limitMs = static_cast<DWORD>(WriteLimitMs(frame.size(), kWriteMarginMs));
    OVERLAPPED overlapped{};
    overlapped.hEvent = H(m_ioEvent);
    ResetEvent(H(m_ioEvent));
    DWORD written = 0;
    if (!WriteFile(H(m_handle), frame.data(), static_cast<DWORD>(frame.size()), &written,
                   &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            FailLastError("cannot send");
        }
        if (WaitForSingleObject(H(m_ioEvent), limitMs) != WAIT_OBJECT_0) {
            CancelIo(H(m_handle));
            GetOverlappedResult(H(m_handle), &overlapped, &written, TRUE);
            Fail("the system did not take the data within " + std::to_string(limitMs) + " ms");
        }
        if (!GetOverlappedResult(H(m_handle), &overlapped, &written, FALSE)) {
            FailLastError("cannot send");
        }
    }
    if (written != frame.size()) {
        Fail("the system took " + std::to_string(written) + " of " + std::to_string(frame.size()) +
             " bytes");
    }
}

size_t Win32SerialComm::QueuedBytes() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(H(m_handle), &errors, &status)) {
        FailLastError("cannot read from the port");
    }
    return status.cbInQue;
}

bool Win32SerialComm::TakeProbe(bool cancel) {
    if (!m_probePending) {
        return m_probeHeld;
    }
    if (!cancel && WaitForSingleObject(H(m_probeEvent), 0) != WAIT_OBJECT_0) {
        return false;
    }
    if (cancel) {
        CancelIo(H(m_handle));
    }
    DWORD got = 0;
    const BOOL done = GetOverlappedResult(H(m_handle), m_probeOverlapped.get(), &got, TRUE);
    m_probePending = false;
    if (!done && GetLastError() != ERROR_OPERATION_ABORTED) {
        FailLastError("cannot read from the port");
    }
    m_probeHeld = got == 1;
    return m_probeHeld;
}

size_t Win32SerialComm::BytesWaiting() {
    TakeProbe(false);
    return (m_probeHeld ? 1 : 0) + QueuedBytes();
}

CByteArray Win32SerialComm::ReadAll() {
    // The probe read goes first: the driver hands the next byte to the read already pending.
    TakeProbe(true);
    CByteArray bytes;
    if (m_probeHeld) {
        bytes.push_back(m_probe);
        m_probeHeld = false;
    }
    const size_t queued = QueuedBytes();
    if (queued == 0) {
        return bytes;
    }
    const size_t held = bytes.size();
    bytes.resize(held + queued);
    OVERLAPPED overlapped{};
    overlapped.hEvent = H(m_ioEvent);
    ResetEvent(H(m_ioEvent));
    DWORD got = 0;
    if (!ReadFile(H(m_handle), bytes.data() + held, static_cast<DWORD>(queued), &got,
                  &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            FailLastError("cannot read from the port");
        }
        // The bytes are in the driver's queue already; a read of them that does not end is
        // the system's fault, and what it took is kept.
        if (WaitForSingleObject(H(m_ioEvent), kQueuedReadLimitMs) != WAIT_OBJECT_0) {
            CancelIo(H(m_handle));
        }
        if (!GetOverlappedResult(H(m_handle), &overlapped, &got, TRUE) &&
            GetLastError() != ERROR_OPERATION_ABORTED) {
            FailLastError("cannot read from the port");
        }
    }
    bytes.resize(held + got);
    return bytes;
}

bool Win32SerialComm::InputWaiting() {
    return TakeProbe(false) || QueuedBytes() > 0;
}

bool Win32SerialComm::ArmProbe() {
    if (InputWaiting()) {
        return true;
    }
    // One read of a single byte is kept pending across calls, with an OVERLAPPED and an event
    // of its own; it ends when the next byte arrives.
    if (!m_probePending) {
        if (!m_probeOverlapped) {
            m_probeOverlapped = std::make_unique<OVERLAPPED>();
        }
        OVERLAPPED* overlapped = m_probeOverlapped.get();
        *overlapped = OVERLAPPED{};
        overlapped->hEvent = H(m_probeEvent);
        ResetEvent(H(m_probeEvent));
        DWORD got = 0;
        if (ReadFile(H(m_handle), &m_probe, 1, &got, overlapped)) {
            m_probeHeld = got == 1;
            return InputWaiting();
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            FailLastError("cannot wait for input");
        }
        m_probePending = true;
    }
    return InputWaiting();
}

bool Win32SerialComm::WaitInput(int64_t timeoutNs) {
    if (ArmProbe()) {
        return true;
    }
    if (m_probePending) {
        WaitForSingleObject(H(m_probeEvent), static_cast<DWORD>(WaitMs(timeoutNs)));
    }
    return InputWaiting();
}

void* Win32SerialComm::ArmInputEvent() {
    if (ArmProbe() && !m_probePending) {
        SetEvent(H(m_probeEvent));  // nothing pending on it: the host's wait ends at once
    }
    return m_probeEvent;
}
