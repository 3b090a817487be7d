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
        m_waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_ioEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (m_waitEvent == nullptr || m_ioEvent == nullptr) {
            FailLastError("cannot create an event");
        }
        SetupComm(handle, 4096, 4096);
        ApplySettings(settings);
        // Reads return at once with what is there; writes get a generous limit of their own.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        if (!SetCommTimeouts(handle, &timeouts)) {
            FailLastError("cannot set the time-outs");
        }
        if (!SetCommMask(handle, EV_RXCHAR)) {
            FailLastError("cannot watch for input");
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
        if (m_waitPending) {
            SetCommMask(H(m_handle), 0);  // ends the pending wait
            DWORD done = 0;
            GetOverlappedResult(H(m_handle), m_waitOverlapped.get(), &done, TRUE);
            m_waitPending = false;
        }
        if (m_linesSupported) {
            EscapeCommFunction(H(m_handle), CLRDTR);
            EscapeCommFunction(H(m_handle), CLRRTS);
        }
        CloseHandle(H(m_handle));
        m_handle = nullptr;
    }
    for (void** event : {&m_waitEvent, &m_ioEvent}) {
        if (*event != nullptr) {
            CloseHandle(H(*event));
            *event = nullptr;
        }
    }
    m_waitOverlapped.reset();
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

size_t Win32SerialComm::BytesWaiting() {
    return QueuedBytes();
}

CByteArray Win32SerialComm::ReadAll() {
    const size_t queued = QueuedBytes();
    CByteArray bytes(queued);
    if (queued == 0) {
        return bytes;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = H(m_ioEvent);
    ResetEvent(H(m_ioEvent));
    DWORD got = 0;
    if (!ReadFile(H(m_handle), bytes.data(), static_cast<DWORD>(queued), &got, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING ||
            !GetOverlappedResult(H(m_handle), &overlapped, &got, TRUE)) {
            FailLastError("cannot read from the port");
        }
    }
    bytes.resize(got);
    return bytes;
}

bool Win32SerialComm::ArmWait() {
    if (QueuedBytes() > 0) {
        return true;
    }
    // One communications-event wait is kept pending across calls, with an OVERLAPPED and an
    // event of its own.
    if (!m_waitPending) {
        if (!m_waitOverlapped) {
            m_waitOverlapped = std::make_unique<OVERLAPPED>();
        }
        OVERLAPPED* overlapped = m_waitOverlapped.get();
        *overlapped = OVERLAPPED{};
        overlapped->hEvent = H(m_waitEvent);
        ResetEvent(H(m_waitEvent));
        if (WaitCommEvent(H(m_handle), &m_eventMask, overlapped)) {
            return QueuedBytes() > 0;  // an event came meanwhile
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            FailLastError("cannot wait for input");
        }
        m_waitPending = true;
        if (QueuedBytes() > 0) {
            return true;  // arrived between the first look and the wait
        }
    }
    return false;
}

bool Win32SerialComm::WaitInput(int64_t timeoutNs) {
    if (ArmWait()) {
        return true;
    }
    if (!m_waitPending) {
        return false;
    }
    if (WaitForSingleObject(H(m_waitEvent), static_cast<DWORD>(WaitMs(timeoutNs))) ==
        WAIT_OBJECT_0) {
        DWORD done = 0;
        GetOverlappedResult(H(m_handle), m_waitOverlapped.get(), &done, FALSE);
        m_waitPending = false;
    }
    return QueuedBytes() > 0;
}

void* Win32SerialComm::ArmInputEvent() {
    if (ArmWait() && !m_waitPending) {
        SetEvent(H(m_waitEvent));  // nothing pending on it: the host's wait ends at once
    }
    return m_waitEvent;
}
