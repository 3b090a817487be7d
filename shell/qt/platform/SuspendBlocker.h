#pragma once

#include <QString>
#include <memory>

// Keeps the computer awake while a firmware transfer runs: a unit left half-written by a
// suspended host has to be recovered through its boot mode.
//
// Linux: a "sleep" inhibitor lock of the login manager, held as the file descriptor it hands
// out; closing that descriptor releases the lock. Windows: the process refuses suspend queries
// (WM_POWERBROADCAST) and asks the system to stay awake. Where neither is available the program
// runs without it; Active() tells which case holds.
class SuspendBlocker {
public:
    explicit SuspendBlocker(const QString& why = QStringLiteral("Firmware update in progress"));
    // Asks the login manager on the bus at busAddress instead of the system bus, so tests can
    // run their own. Ignored where there is no D-Bus.
    SuspendBlocker(const QString& why, const QString& busAddress);
    ~SuspendBlocker();
    SuspendBlocker(const SuspendBlocker&) = delete;
    SuspendBlocker& operator=(const SuspendBlocker&) = delete;

    bool Active() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The answer to WM_POWERBROADCAST while a blocker lives: a suspend query (PBT_APMQUERYSUSPEND)
// is denied, every other power event acknowledged with TRUE. Plain so it is testable anywhere.
long PowerBroadcastReply(unsigned long event);
