#include "link/QtSerialComm.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Ten bits a byte on the line at 8N1, more with parity and two stop bits; twelve is enough.
constexpr qint64 kMaxBitsPerByte = 12;
// Beyond the line time of a frame, how long the system may take to accept it.
constexpr qint64 kWriteMarginMs = 2000;
// One round of waiting for the system to take written bytes.
constexpr int kWriteWaitMs = 20;

std::string Text(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

#ifndef Q_OS_WIN
std::vector<std::string> SerialPortLocations() {
    std::vector<std::string> locations;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        locations.push_back(Text(info.systemLocation()));
    }
    std::sort(locations.begin(), locations.end());
    return locations;
}
#endif

// Without an event loop Qt warns, for every port it opens and writes to, that its socket
// notifiers cannot work. Nothing here needs them, since every poll asks the system; this keeps
// that one warning off the user's terminal while the port is set up or written to.
class QuietNotifiers {
public:
    QuietNotifiers() : m_active(QAbstractEventDispatcher::instance() == nullptr) {
        if (m_active) {
            s_previous = qInstallMessageHandler(&Filter);
        }
    }
    ~QuietNotifiers() {
        if (m_active) {
            qInstallMessageHandler(s_previous);
        }
    }
    QuietNotifiers(const QuietNotifiers&) = delete;
    QuietNotifiers& operator=(const QuietNotifiers&) = delete;

private:
    static void Filter(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (text.startsWith(QLatin1String("QSocketNotifier: Can only be used with threads"))) {
            return;
        }
        if (s_previous != nullptr) {
            s_previous(type, context, text);
        } else {
            std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
        }
    }

    static inline QtMessageHandler s_previous = nullptr;
    bool m_active;
};

}  // namespace

QtSerialComm::QtSerialComm(std::string fixedPort) : m_fixedPort(std::move(fixedPort)) {}

QtSerialComm::~QtSerialComm() {
    if (m_port) {
        CloseQuietly();
    }
}

std::string QtSerialComm::PortName(short port) const {
    const std::string location = Location(port);
    return location.empty() ? "serial port " + std::to_string(port) : location;
}

std::string QtSerialComm::Location(short port) const {
    if (!m_fixedPort.empty()) {
        return m_fixedPort;
    }
    if (!m_openName.empty() && port == GetCommPort()) {
        return m_openName;  // stays the same even if the device list changes while it is open
    }
#ifdef Q_OS_WIN
    return "COM" + std::to_string(port);
#else
    const std::vector<std::string> locations = SerialPortLocations();
    if (port >= 1 && static_cast<size_t>(port) <= locations.size()) {
        return locations[static_cast<size_t>(port) - 1];
    }
    return {};
#endif
}

void QtSerialComm::OpenPort(short port, const LineSettings& settings, bool dtr, bool rts) {
    const std::string name = Location(port);
#ifndef Q_OS_WIN
    if (name.empty()) {
        const std::vector<std::string> locations = SerialPortLocations();
        std::string reason = "no such port; the system reports " +
                             std::to_string(locations.size()) + " serial port(s)";
        for (size_t i = 0; i < locations.size(); ++i) {
            reason += (i == 0 ? ": " : ", ") + locations[i];
        }
        Fail(reason);
    }
#endif
    const QuietNotifiers quiet;
    m_openName = name;
    m_port = std::make_unique<QSerialPort>();
    m_port->setPortName(QString::fromLocal8Bit(name.c_str()));
    try {
        if (!m_port->open(QIODevice::ReadWrite)) {
            ThrowPortError();
        }
        ApplySettings(settings);
        if (!m_port->setFlowControl(QSerialPort::NoFlowControl)) {
            ThrowPortError();
        }
        ApplyLines(dtr, rts);
        // What arrived before the port was opened is not an answer to anything sent on it.
        m_port->clear(QSerialPort::AllDirections);
        m_port->clearError();
    } catch (...) {
        CloseQuietly();
        throw;
    }
}

void QtSerialComm::ClosePort() {
    CloseQuietly();
}

void QtSerialComm::CloseQuietly() {
    if (m_port && m_port->isOpen()) {
        // The unit resets through the modem lines, so they drop on every close, whatever the
        // system's hang-up setting. A port that has gone away cannot do it and needs not.
        m_port->setDataTerminalReady(false);
        m_port->setRequestToSend(false);
        m_port->close();
    }
    m_port.reset();
    m_openName.clear();
}

void QtSerialComm::ApplySettings(const LineSettings& settings) {
    QSerialPort::Parity parity = QSerialPort::NoParity;
    switch (settings.parity) {
        case 'e':
            parity = QSerialPort::EvenParity;
            break;
        case 'o':
            parity = QSerialPort::OddParity;
            break;
        case 'm':
            parity = QSerialPort::MarkParity;
            break;
        case 's':
            parity = QSerialPort::SpaceParity;
            break;
        default:
            break;
    }
    if (settings.dataBits < QSerialPort::Data5 || settings.dataBits > QSerialPort::Data8) {
        Fail(std::to_string(settings.dataBits) + " data bits are not supported");
    }
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    if (settings.stopBits == 2) {
        stopBits = QSerialPort::TwoStop;
    } else if (settings.stopBits == 1.5) {
        stopBits = QSerialPort::OneAndHalfStop;
    }
    if (!m_port->setBaudRate(settings.baud) ||
        !m_port->setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits)) ||
        !m_port->setParity(parity) || !m_port->setStopBits(stopBits)) {
        ThrowPortError();
    }
}

void QtSerialComm::ApplyLines(bool dtr, bool rts) {
    const bool set[] = {m_port->setDataTerminalReady(dtr), m_port->setRequestToSend(rts)};
    for (bool ok : set) {
        // A port without modem lines, such as a pseudo-terminal, takes the request as a no-op.
        if (!ok && m_port->error() != QSerialPort::UnsupportedOperationError) {
            ThrowPortError();
        }
    }
    // Reading the lines back fails on such a port too; that is no failure of the port.
    m_port->clearError();
}

void QtSerialComm::Write(const CByteArray& frame) {
    if (frame.empty()) {
        return;
    }
    const QuietNotifiers quiet;
    const qint64 size = static_cast<qint64>(frame.size());
    if (m_port->write(reinterpret_cast<const char*>(frame.data()), size) != size) {
        ThrowPortError();
    }
    const qint64 limitMs =
        kWriteMarginMs + size * kMaxBitsPerByte * 1000 / std::max(GetSettings().baud, 1);
    QElapsedTimer elapsed;
    elapsed.start();
    m_port->flush();
    ThrowOnError();
    while (m_port->bytesToWrite() > 0) {
        if (elapsed.elapsed() > limitMs) {
            Fail("the system did not take the data within " + std::to_string(limitMs) + " ms");
        }
        m_port->waitForBytesWritten(kWriteWaitMs);
        ThrowOnError();
    }
}

size_t QtSerialComm::BytesWaiting() {
    m_port->waitForReadyRead(0);
    ThrowOnError();
    return static_cast<size_t>(m_port->bytesAvailable());
}

CByteArray QtSerialComm::ReadAll() {
    m_port->waitForReadyRead(0);
    ThrowOnError();
    const QByteArray data = m_port->readAll();
    ThrowOnError();
    return CByteArray(data.begin(), data.end());
}

void QtSerialComm::ThrowOnError() {
    switch (m_port->error()) {
        case QSerialPort::NoError:
            return;
        case QSerialPort::TimeoutError:
            m_port->clearError();  // a poll that found nothing
            return;
        default:
            ThrowPortError();
    }
}

void QtSerialComm::ThrowPortError() {
    const std::string text = Text(m_port->errorString());
    switch (m_port->error()) {
        case QSerialPort::PermissionError: {
#ifndef Q_OS_WIN
            const QFileInfo device(QString::fromLocal8Bit(m_openName.c_str()));
            if (!device.exists()) {
                // Qt takes the port's lock file before it looks at the device, so a missing
                // device that another program is trying at the same time reads as a locked one.
                Fail(std::strerror(ENOENT));
            }
#endif
#ifdef Q_OS_LINUX
            if (!(device.isReadable() && device.isWritable())) {
                Fail(text + " (is the user in the dialout group?)");
            }
#endif
            Fail(text + " (is the port in use by another program?)");
        }
        case QSerialPort::ReadError:
            // A port that has gone away reads as an end of file, which Qt reports with whatever
            // system error came last; that text would only mislead.
            Fail("cannot read from the port (was the device unplugged?)");
        case QSerialPort::ResourceError:
        case QSerialPort::WriteError:
            Fail(text + " (was the device unplugged?)");
        default:
            Fail(text);
    }
}
