#include "link/PosixSerialComm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "link/NativeSerialComm.h"
#include "link/PortList.h"

namespace {

// Beyond the line time of a frame, how long the system may take to accept it.
constexpr int kWriteMarginMs = 2000;
constexpr size_t kReadChunk = 4096;

struct BaudEntry {
    int baud;
    speed_t speed;
};
constexpr BaudEntry kBauds[] = {
    {110, B110},     {300, B300},     {600, B600},       {1200, B1200},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

bool IsPseudoTerminal(int fd) {
    // A pseudo-terminal answers the modem-line query with ENOTTY or EINVAL.
    int lines = 0;
    return ioctl(fd, TIOCMGET, &lines) != 0 && (errno == ENOTTY || errno == EINVAL);
}

}  // namespace

std::unique_ptr<CMSComm> MakeNativeSerialComm(const std::string& fixedPort) {
    return std::make_unique<PosixSerialComm>(fixedPort);
}

PosixSerialComm::PosixSerialComm(std::string fixedPort) : m_fixedPort(std::move(fixedPort)) {}

PosixSerialComm::~PosixSerialComm() {
    CloseQuietly();
}

std::string PosixSerialComm::PortName(short port) const {
    const std::string location = Location(port);
    return location.empty() ? "serial port " + std::to_string(port) : location;
}

std::string PosixSerialComm::Location(short port) const {
    if (!m_fixedPort.empty()) {
        return m_fixedPort;
    }
    if (!m_openName.empty() && port == GetCommPort()) {
        return m_openName;  // stays the same even if the device list changes while it is open
    }
    return PortNameOfNumber(port);
}

void PosixSerialComm::FailErrno(const std::string& what, int error) {
    std::string reason = what.empty() ? std::strerror(error) : what + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM) {
        reason += " (is the user in the dialout group?)";
    } else if (error == EBUSY || error == EWOULDBLOCK) {
        reason += " (is the port in use by another program?)";
    } else if (error == EIO || error == ENXIO || error == ENODEV) {
        reason += " (was the device unplugged?)";
    }
    Fail(reason);
}

void PosixSerialComm::OpenPort(short port, const LineSettings& settings, bool dtr, bool rts) {
    const std::string name = Location(port);
    if (name.empty()) {
        const std::vector<SerialPortInfo> ports = ListSerialPorts();
        std::string reason =
            "no such port; the system reports " + std::to_string(ports.size()) + " serial port(s)";
        for (size_t i = 0; i < ports.size(); ++i) {
            reason += (i == 0 ? ": " : ", ") + ports[i].name;
        }
        Fail(reason);
    }
    m_openName = name;
    const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        m_openName.clear();
        FailErrno("", error);
    }
    m_fd = fd;
    try {
        // Another program holding the port is refused, as on Windows.
        if (ioctl(m_fd, TIOCEXCL) != 0 && errno != ENOTTY) {
            FailErrno("cannot take the port for itself", errno);
        }
        if (flock(m_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            FailErrno("", EBUSY);
        }
        ApplySettings(settings);
        m_linesSupported = !IsPseudoTerminal(m_fd);
        if (!m_linesSupported) {
            TraceNote("no modem lines on " + name + ": DTR and RTS requests are ignored");
        }
        ApplyLines(dtr, rts);
        // What arrived before the port was opened is not an answer to anything sent on it.
        tcflush(m_fd, TCIOFLUSH);
        m_pending.clear();
    } catch (...) {
        CloseQuietly();
        throw;
    }
}

void PosixSerialComm::ClosePort() {
    CloseQuietly();
}

void PosixSerialComm::CloseQuietly() noexcept {
    if (m_fd >= 0) {
        // The unit resets through the modem lines, so they drop on every close, whatever the
        // system's hang-up setting.
        if (m_linesSupported) {
            int lines = TIOCM_DTR | TIOCM_RTS;
            ioctl(m_fd, TIOCMBIC, &lines);
        }
        close(m_fd);
        m_fd = -1;
    }
    m_openName.clear();
    m_pending.clear();
}

void PosixSerialComm::ApplySettings(const LineSettings& settings) {
    const auto found = std::find_if(std::begin(kBauds), std::end(kBauds),
                                    [&](const BaudEntry& e) { return e.baud == settings.baud; });
    if (found == std::end(kBauds)) {
        Fail(std::to_string(settings.baud) + " baud is not supported");
    }
    termios tio{};
    if (tcgetattr(m_fd, &tio) != 0) {
        FailErrno("cannot read the line settings", errno);
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~CMSPAR;
#endif
    switch (settings.dataBits) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        case 8:
            tio.c_cflag |= CS8;
            break;
        default:
            Fail(std::to_string(settings.dataBits) + " data bits are not supported");
    }
    switch (settings.parity) {
        case 'e':
            tio.c_cflag |= PARENB;
            break;
        case 'o':
            tio.c_cflag |= PARENB | PARODD;
            break;
#ifdef CMSPAR
        case 'm':
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 's':
            tio.c_cflag |= PARENB | CMSPAR;
            break;
#endif
        case 'n':
            break;
        default:
            Fail(std::string("parity ") + settings.parity + " is not supported");
    }
    if (settings.stopBits != 1) {
        tio.c_cflag |= CSTOPB;  // 1.5 stop bits go out as two
    }
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    // With the descriptor non-blocking, an empty read says EAGAIN and only a hang-up (an
    // unplugged adapter) reads as an end of file.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, found->speed) != 0 || cfsetospeed(&tio, found->speed) != 0 ||
        tcsetattr(m_fd, TCSANOW, &tio) != 0) {
        FailErrno("cannot apply the line settings", errno);
    }
}

void PosixSerialComm::ApplyLines(bool dtr, bool rts) {
    if (!m_linesSupported) {
        return;
    }
    const struct {
        bool on;
        int line;
        const char* name;
    } requests[] = {{dtr, TIOCM_DTR, "DTR"}, {rts, TIOCM_RTS, "RTS"}};
    for (const auto& request : requests) {
        int line = request.line;
        if (ioctl(m_fd, request.on ? TIOCMBIS : TIOCMBIC, &line) != 0) {
            FailErrno(std::string("cannot set ") + request.name, errno);
        }
    }
}

void PosixSerialComm::Write(const CByteArray& frame) {
    const int64_t limitMs = WriteLimitMs(frame.size(), kWriteMarginMs);
    size_t written = 0;
    int64_t waitedMs = 0;
    while (written < frame.size()) {
        const ssize_t done = write(m_fd, frame.data() + written, frame.size() - written);
        if (done > 0) {
            written += static_cast<size_t>(done);
            continue;
        }
        if (done < 0 && errno != EAGAIN && errno != EINTR) {
            FailErrno("cannot send", errno);
        }
        // The system's buffer is full: wait until it takes more.
        if (waitedMs > limitMs) {
            Fail("the system did not take the data within " + std::to_string(limitMs) + " ms");
        }
        pollfd out{m_fd, POLLOUT, 0};
        constexpr int kWriteWaitMs = 20;
        poll(&out, 1, kWriteWaitMs);
        waitedMs += kWriteWaitMs;
    }
}

void PosixSerialComm::Drain() {
    for (;;) {
        uint8_t buffer[kReadChunk];
        const ssize_t got = read(m_fd, buffer, sizeof buffer);
        if (got > 0) {
            m_pending.insert(m_pending.end(), buffer, buffer + got);
            continue;
        }
        if (got == 0) {
            // An end of file on a terminal: the device (or the other end) went away.
            Fail("cannot read from the port (was the device unplugged?)");
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return;
        }
        FailErrno("cannot read from the port", errno);
    }
}

size_t PosixSerialComm::BytesWaiting() {
    Drain();
    return m_pending.size();
}

CByteArray PosixSerialComm::ReadAll() {
    Drain();
    CByteArray taken;
    taken.swap(m_pending);
    return taken;
}

bool PosixSerialComm::WaitInput(int64_t timeoutNs) {
    if (!m_pending.empty()) {
        return true;
    }
    pollfd in{m_fd, POLLIN, 0};
    const int ready = poll(&in, 1, WaitMs(timeoutNs));
    if (ready < 0 && errno != EINTR) {
        FailErrno("cannot wait for input", errno);
    }
    // A hang-up or an error counts as input: the read that follows reports it.
    return ready > 0;
}
