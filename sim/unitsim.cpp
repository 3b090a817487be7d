// unitsim: the simulated unit on a pseudo-terminal, in real time at the line's pace, so the real
// serial back end (or any terminal program) can talk to it. The first line of the output is the
// device path to open.

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "framework/Clock.h"
#include "sim/FaultPlan.h"
#include "sim/SimUnit.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// While no client has the port open the master reports a hang-up at once on every poll.
constexpr int64_t kIdlePollNs = 5 * kNsPerMs;
constexpr size_t kReadChunk = 4096;

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

[[noreturn]] void SystemFailure(const std::string& what) {
    std::cerr << "unitsim: " << what << ": " << std::strerror(errno) << '\n';
    std::exit(kExitFailure);
}

// Opens the master side; returns its descriptor and the slave's path. The slave is put in raw
// mode through a descriptor that is closed again, so that the next close by a client is seen
// here as a hang-up.
int OpenPseudoTerminal(std::string& slavePath) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        SystemFailure("posix_openpt");
    }
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        SystemFailure("grantpt/unlockpt");
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        SystemFailure("ptsname");
    }
    slavePath = name;
    const int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        SystemFailure(slavePath);
    }
    termios raw{};
    if (tcgetattr(slave, &raw) != 0) {
        SystemFailure("tcgetattr " + slavePath);
    }
    cfmakeraw(&raw);
    if (tcsetattr(slave, TCSANOW, &raw) != 0) {
        SystemFailure("tcsetattr " + slavePath);
    }
    close(slave);
    if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        SystemFailure("fcntl");
    }
    return master;
}

timespec ToTimespec(int64_t ns) {
    return {static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
}

class PtyServer {
public:
    PtyServer(int master, SimUnit& unit) : m_master(master), m_unit(unit) {}

    // Serves until a stop signal arrives. SIGINT and SIGTERM must be blocked on entry; they
    // are let through only while waiting.
    void Run(const sigset_t& waitMask) {
        while (!g_stop) {
            const int64_t now = m_clock.NowNs();
            m_unit.RunUntil(now);
            std::vector<uint8_t> arrived;
            m_unit.TakeOutput(now, arrived);
            if (m_clientOpen) {
                m_toClient.insert(m_toClient.end(), arrived.begin(), arrived.end());
                WritePending();
            }

            pollfd master{m_master, POLLIN, 0};
            if (!m_toClient.empty()) {
                master.events |= POLLOUT;
            }
            const int64_t wait = WaitNs(now);
            timespec timeout = ToTimespec(wait);
            const int ready = ppoll(&master, 1, wait < 0 ? nullptr : &timeout, &waitMask);
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                SystemFailure("poll");
            }
            bool hungUp = (master.revents & (POLLHUP | POLLERR)) != 0;
            if (master.revents & POLLIN) {
                hungUp = !ReadFromClient() || hungUp;
            }
            if (hungUp) {
                OnHangUp();
                // Nothing to wait on: the hang-up stays reported until a client opens the port.
                const int64_t untilEvent = WaitNs(m_clock.NowNs());
                timespec idle =
                    ToTimespec(untilEvent < 0 ? kIdlePollNs : std::min(kIdlePollNs, untilEvent));
                ppoll(nullptr, 0, &idle, &waitMask);
            } else {
                m_clientOpen = true;
            }
        }
    }

private:
    // Until the next thing the unit does, or -1 for no limit.
    int64_t WaitNs(int64_t now) const {
        const int64_t next = std::min(m_unit.NextEventNs(), m_unit.NextOutputNs());
        if (next == INT64_MAX) {
            return -1;
        }
        return std::max<int64_t>(next - now, 0);
    }

    // False when the client has gone.
    bool ReadFromClient() {
        uint8_t buffer[kReadChunk];
        for (;;) {
            const ssize_t count = read(m_master, buffer, sizeof buffer);
            if (count > 0) {
                m_clientOpen = true;
                const int64_t now = m_clock.NowNs();
                for (ssize_t i = 0; i < count; ++i) {
                    m_lastArrivalNs = std::max(now, m_lastArrivalNs) + SimUnit::kByteNs;
                    m_unit.ScheduleReceive(buffer[i], m_lastArrivalNs);
                }
                continue;
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return true;
            }
            if (count < 0 && errno != EIO) {
                SystemFailure("read");
            }
            return false;  // EIO (or end of file): the slave side is closed
        }
    }

    void WritePending() {
        while (!m_toClient.empty()) {
            const ssize_t count = write(m_master, m_toClient.data(), m_toClient.size());
            if (count > 0) {
                m_toClient.erase(m_toClient.begin(), m_toClient.begin() + count);
                continue;
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EIO) {
                SystemFailure("write");
            }
            return;  // full, or the client has gone: the hang-up is handled by the poll
        }
    }

    // A closed port drops the modem lines; what was on its way to the client is lost with it.
    void OnHangUp() {
        if (m_clientOpen) {
            m_clientOpen = false;
            m_unit.ScheduleLines(false, false, m_clock.NowNs());
            tcflush(m_master, TCIOFLUSH);
        }
        m_toClient.clear();
        std::vector<uint8_t> lost;
        m_unit.TakeOutput(INT64_MAX, lost);
    }

    int m_master;
    SimUnit& m_unit;
    RealClock m_clock;
    bool m_clientOpen = false;
    int64_t m_lastArrivalNs = 0;
    std::vector<uint8_t> m_toClient;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Simulated solar power unit on a pseudo-terminal, in real time at 9600 baud.\n"
        "Prints the device path to open as the first line, then serves until SIGINT or "
        "SIGTERM."};

    SimUnit::Options options;
    std::string faults;
    std::string flashDir;
    std::string unitId;
    app.add_option("--model", options.model, "Model name the unit reports")->capture_default_str();
    app.add_option("--version", options.version, "Firmware version the unit reports")
        ->capture_default_str();
    app.add_option("--unit-id", unitId,
                   "The unit's own identification: the ten data bytes of its discovery answer, "
                   "as 20 hexadecimal digits")
        ->check([](const std::string& hex) {
            std::vector<uint8_t> id;
            return SimUnit::ParseUnitId(hex, id) ? std::string()
                                                 : std::string("20 hexadecimal digits expected");
        });
    app.add_flag("--boot-mode", options.bootMode,
                 "Start in the controller's boot mode (a pseudo-terminal has no DTR/RTS to "
                 "enter it)");
    app.add_option("--in-loader", options.inLoader,
                   "Start waiting in the flash loader of a processor, as after a failed transfer")
        ->check(CLI::IsMember({"control", "mppt"}));
    app.add_option("--faults", faults,
                   "Fault plan, a comma-separated list such as silent:frame#2,drop:70 "
                   "(kinds: silent, answer, twice, drop, corrupt, restart-ms, id-length, "
                   "bad-echo)");
    app.add_option("--restart-ms", options.restartMs,
                   "Milliseconds the unit stays silent after a block was written")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--flash-dir", flashDir,
                   "Save control.bin and mppt.bin here after each completed write (the folder "
                   "is created if missing)");

    app.footer(
        "Fault plan items:\n"
        "  silent:STEP[#N]       no answer at STEP (only its N-th time, counting from 1)\n"
        "  answer:STEP[#N]=0xHH  answer the byte HH instead\n"
        "  twice:STEP[#N]        answer twice\n"
        "  drop:K, corrupt:K     lose or invert byte K of a programming transfer (from 0)\n"
        "  restart-ms:N          take N ms to restart after a block was written\n"
        "  id-length:N           answer the identity query with N bytes instead of 75\n"
        "  bad-echo:N[@K]        echo kernel byte K (default 0) wrongly N times\n"
        "STEP: discovery, identity, handover, sync, sync-aa, echo, kernel-done, table, length,\n"
        "frame, closing.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? kExitSuccess : kExitUsage;
    }
    if (!unitId.empty()) {
        SimUnit::ParseUnitId(unitId, options.unitId);
    }
    if (!flashDir.empty()) {
        std::error_code error;
        std::filesystem::create_directories(flashDir, error);
        if (error || !std::filesystem::is_directory(flashDir, error)) {
            std::cerr << "unitsim: --flash-dir " << flashDir << ": "
                      << (error ? error.message() : "not a folder") << '\n';
            return kExitFailure;
        }
    }

    try {
        options.faults = FaultPlan::Parse(faults);
    } catch (const std::invalid_argument& error) {
        std::cerr << "unitsim: --faults: " << error.what() << '\n';
        return kExitUsage;
    }

    options.linesUnseen = true;
    SimUnit unit(options);
    if (options.bootMode) {
        // As if DTR and RTS were raised: the first close of the port drops them, which resets
        // the controller into its user program.
        unit.ScheduleLines(true, true, 0);
    }
    if (!flashDir.empty()) {
        unit.SetOnWrite([&unit, flashDir] {
            if (!unit.SaveFlash(flashDir)) {
                std::cerr << "unitsim: cannot save the flash into " << flashDir << '\n';
            }
        });
    }

    // The stop signals are only delivered inside the waits, so none is missed between a check
    // of the flag and the next wait.
    sigset_t stopSignals;
    sigset_t waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::string slavePath;
    const int master = OpenPseudoTerminal(slavePath);
    std::printf("%s\n", slavePath.c_str());
    std::fflush(stdout);

    PtyServer(master, unit).Run(waitMask);
    close(master);
    return kExitSuccess;
}
