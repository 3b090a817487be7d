#include "shell/qt/platform/SuspendBlocker.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#if defined(FLASHTOOL_HAVE_DBUS)
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <atomic>
#elif defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <QAbstractNativeEventFilter>
#endif

namespace {

Q_LOGGING_CATEGORY(lcSuspend, "flashtool.platform.suspend", QtWarningMsg)

// WM_POWERBROADCAST events and answers, as the Windows headers name them.
constexpr unsigned long kPbtApmQuerySuspend = 0x0000;
constexpr long kBroadcastQueryDeny = 0x424D5144;  // "BMQD"
constexpr long kTrue = 1;

}  // namespace

long PowerBroadcastReply(unsigned long event) {
    return event == kPbtApmQuerySuspend ? kBroadcastQueryDeny : kTrue;
}

#if defined(FLASHTOOL_HAVE_DBUS)

namespace {

const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kLogindManager = QStringLiteral("org.freedesktop.login1.Manager");
// A login manager that does not answer within this time is taken as absent; the program must
// not hang at start for it.
constexpr int kInhibitReplyTimeoutMs = 2000;

QString Who() {
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("flashtool") : name;
}

QDBusUnixFileDescriptor TakeSleepLock(const QDBusConnection& bus, const QString& why) {
    if (!bus.isConnected()) {
        qCDebug(lcSuspend) << "no bus:" << bus.lastError().message();
        return {};
    }
    if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        qCDebug(lcSuspend) << "the bus cannot pass file descriptors";
        return {};
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kLogindService, kLogindPath, kLogindManager, "Inhibit");
    call << QStringLiteral("sleep") << Who() << why << QStringLiteral("block");
    const QDBusReply<QDBusUnixFileDescriptor> reply =
        bus.call(call, QDBus::Block, kInhibitReplyTimeoutMs);
    if (!reply.isValid()) {
        qCDebug(lcSuspend) << "no sleep lock:" << reply.error().message();
        return {};
    }
    return reply.value();
}

}  // namespace

struct SuspendBlocker::Impl {
    // The login manager holds the lock for as long as this descriptor stays open.
    QDBusUnixFileDescriptor m_lock;
};

SuspendBlocker::SuspendBlocker(const QString& why) : m_impl(std::make_unique<Impl>()) {
    m_impl->m_lock = TakeSleepLock(QDBusConnection::systemBus(), why);
}

SuspendBlocker::SuspendBlocker(const QString& why, const QString& busAddress)
    : m_impl(std::make_unique<Impl>()) {
    static std::atomic<int> serial{0};
    const QString name = QStringLiteral("flashtool-suspend-%1").arg(++serial);
    m_impl->m_lock = TakeSleepLock(QDBusConnection::connectToBus(busAddress, name), why);
    // The lock lives on in the descriptor, not in the connection.
    QDBusConnection::disconnectFromBus(name);
}

SuspendBlocker::~SuspendBlocker() = default;

bool SuspendBlocker::Active() const {
    return m_impl->m_lock.isValid();
}

#elif defined(_WIN32)

namespace {

class PowerBroadcastFilter final : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override {
        if (eventType != "windows_generic_MSG" && eventType != "windows_dispatcher_MSG") {
            return false;
        }
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg->message != WM_POWERBROADCAST) {
            return false;
        }
        *result = PowerBroadcastReply(static_cast<unsigned long>(msg->wParam));
        return true;
    }
};

// Windows since Vista no longer asks before suspending; the execution state keeps it from
// sleeping when idle. The state is per thread and not counted, so the blockers count.
int g_awakeRequests = 0;

}  // namespace

struct SuspendBlocker::Impl {
    PowerBroadcastFilter m_filter;
    bool m_installed = false;
};

SuspendBlocker::SuspendBlocker(const QString& why) : m_impl(std::make_unique<Impl>()) {
    Q_UNUSED(why);
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        qCDebug(lcSuspend) << "no application to filter power events for";
        return;
    }
    app->installNativeEventFilter(&m_impl->m_filter);
    m_impl->m_installed = true;
    if (g_awakeRequests++ == 0) {
        SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    }
}

SuspendBlocker::SuspendBlocker(const QString& why, const QString& busAddress)
    : SuspendBlocker(why) {
    Q_UNUSED(busAddress);
}

SuspendBlocker::~SuspendBlocker() {
    if (!m_impl->m_installed) {
        return;
    }
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->removeNativeEventFilter(&m_impl->m_filter);
    }
    if (--g_awakeRequests == 0) {
        SetThreadExecutionState(ES_CONTINUOUS);
    }
}

bool SuspendBlocker::Active() const {
    return m_impl->m_installed;
}

#else

struct SuspendBlocker::Impl {};

SuspendBlocker::SuspendBlocker(const QString& why) : m_impl(std::make_unique<Impl>()) {
    Q_UNUSED(why);
    qCDebug(lcSuspend) << "suspend blocking is not available on this system";
}

SuspendBlocker::SuspendBlocker(const QString& why, const QString& busAddress)
    : SuspendBlocker(why) {
    Q_UNUSED(busAddress);
}

SuspendBlocker::~SuspendBlocker() = default;

bool SuspendBlocker::Active() const {
    return false;
}

#endif
