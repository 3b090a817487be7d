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
#include <functional>
#include <iostream>
#include <memory>
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
// A unit of a series stays this long once left alone, and the line is then silent this long.
constexpr int kDefaultStayMs = 5000;
constexpr int kDefaultAwayMs = 1000;

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

// The units on the line, one after another: a unit left alone for stayMs (nothing more than
// identified again; see SimUnit::LastAttendedNs) is taken away, the line is silent for awayMs,
// then the next unit arrives with a fresh flash. The last one, once taken away, leaves the line
// silent. A single unit is never taken away.
class UnitSeries {
public:
    using MakeUnit = std::function<std::unique_ptr<SimUnit>(size_t index)>;

    UnitSeries(size_t count, MakeUnit make, int stayMs, int awayMs, std::FILE* events)
        : m_count(count),
          m_make(std::move(make)),
          m_stayNs(stayMs * kNsPerMs),
          m_awayNs(awayMs * kNsPerMs),
          m_events(events) {
        m_unit = m_make(0);
        Log(0, "arrived");
    }

    // The unit on the line at `now`, or nullptr while none is.
    SimUnit* Current(int64_t now) {
        if (m_unit && m_count > 1 && LeavesAtNs() <= now) {
            Log(now, "removed");
            m_unit.reset();
            m_arriveNs = m_index + 1 < m_count ? now + m_awayNs : INT64_MAX;
        }
        if (!m_unit && now >= m_arriveNs) {
            m_unit = m_make(++m_index);
            m_arriveNs = INT64_MAX;
            Log(now, "arrived");
        }
        return m_unit.get();
    }

    // When the line next changes by itself, or INT64_MAX.
    int64_t NextChangeNs() const { return m_unit ? LeavesAtNs() : m_arriveNs; }

    void Log(int64_t now, const char* event) const {
        if (m_events != nullptr) {
            std::fprintf(m_events, "%.6f %zu %s\n", static_cast<double>(now) / kNsPerSecond,
                         m_index + 1, event);
            std::fflush(m_events);
        }
    }

private:
    int64_t LeavesAtNs() const {
        const int64_t attended = m_unit->LastAttendedNs();
        if (m_count <= 1 || attended < 0 || m_unit->ModeName() == "restarting") {
            return INT64_MAX;
        }
        return attended + m_stayNs;
    }

    size_t m_count;
    MakeUnit m_make;
    int64_t m_stayNs;
    int64_t m_awayNs;
    std::FILE* m_events;
    size_t m_index = 0;
    std::unique_ptr<SimUnit> m_unit;
    int64_t m_arriveNs = INT64_MAX;
};

class PtyServer {
public:
    PtyServer(int master, UnitSeries& units) : m_master(master), m_units(units) {}

    // Serves until a stop signal arrives. SIGINT and SIGTERM must be blocked on entry; they
    // are let through only while waiting.
    void Run(const sigset_t& waitMask) {
        while (!g_stop) {
            const int64_t now = m_clock.NowNs();
            SimUnit* unit = m_units.Current(now);
            if (unit != m_unit) {
                m_unit = unit;  // what was on its way from the unit taken away is lost
                m_toClient.clear();
            }
            std::vector<uint8_t> arrived;
            if (m_unit != nullptr) {
                m_unit->RunUntil(now);
                m_unit->TakeOutput(now, arrived);
            }
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
        int64_t next = m_units.NextChangeNs();
        if (m_unit != nullptr) {
            next = std::min({next, m_unit->NextEventNs(), m_unit->NextOutputNs()});
        }
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
                    if (m_unit != nullptr) {  // with no unit on the line the bytes are lost
                        m_unit->ScheduleReceive(buffer[i], m_lastArrivalNs);
                    }
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
            if (m_unit != nullptr) {
                m_unit->ScheduleLines(false, false, m_clock.NowNs());
            }
            tcflush(m_master, TCIOFLUSH);
        }
        m_toClient.clear();
        std::vector<uint8_t> lost;
        if (m_unit != nullptr) {
            m_unit->TakeOutput(INT64_MAX, lost);
        }
    }

    int m_master;
    UnitSeries& m_units;
    SimUnit* m_unit = nullptr;
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
    std::vector<std::string> nextUnits;
    size_t faultsUnit = 0;
    int stayMs = kDefaultStayMs;
    int awayMs = kDefaultAwayMs;
    std::string eventsPath;
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
                   "is created if missing; with --next-units: control-ID.bin and mppt-ID.bin, "
                   "ID the unit's id)");
    const auto unitIdCheck = [](const std::string& hex) {
        std::vector<uint8_t> id;
        return SimUnit::ParseUnitId(hex, id) ? std::string()
                                             : std::string("20 hexadecimal digits expected");
    };
    app.add_option("--next-units", nextUnits,
                   "Units that follow the first one on the line, by unit id (ID,ID,...): each "
                   "unit is taken away once left alone for --stay-ms, the line stays silent for "
                   "--away-ms, then the next arrives with an empty flash; after the last the "
                   "line stays silent")
        ->delimiter(',')
        ->check(unitIdCheck);
    app.add_option("--stay-ms", stayMs,
                   "With --next-units: how long a unit stays once the tool left it alone (no "
                   "hand-over, no block, table or frame taken, no restart under way; the first "
                   "identity answer counts, further identifications do not)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--away-ms", awayMs,
                   "With --next-units: silence between one unit taken away and the next")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--faults-unit", faultsUnit,
                   "With --next-units: the fault plan is unit K's alone (counting from 1); "
                   "without it every unit has the plan")
        ->check(CLI::PositiveNumber);
    app.add_option("--events", eventsPath,
                   "Append a line per event to this file: seconds (the simulator's clock), the "
                   "unit's number in the series and arrived, answer (its first identity "
                   "answer), handover, table (the write starts), written or removed");

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
    std::vector<std::vector<uint8_t>> unitIds = {options.unitId};
    for (const std::string& hex : nextUnits) {
        unitIds.emplace_back();
        SimUnit::ParseUnitId(hex, unitIds.back());
    }
    if (faultsUnit > unitIds.size()) {
        std::cerr << "unitsim: --faults-unit " << faultsUnit << ": the line has " << unitIds.size()
                  << " unit(s)\n";
        return kExitUsage;
    }

    try {
        options.faults = FaultPlan::Parse(faults);
    } catch (const std::invalid_argument& error) {
        std::cerr << "unitsim: --faults: " << error.what() << '\n';
        return kExitUsage;
    }

    std::FILE* events = nullptr;
    if (!eventsPath.empty()) {
        // Appended to, never through a link.
        const int fd =
            open(eventsPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
        events = fd < 0 ? nullptr : fdopen(fd, "a");
        if (events == nullptr) {
            SystemFailure(eventsPath);
        }
    }

    options.linesUnseen = true;
    const bool series = unitIds.size() > 1;
    UnitSeries* seriesPointer = nullptr;
    const UnitSeries::MakeUnit make = [&](size_t index) {
        SimUnit::Options unitOptions = options;
        unitOptions.unitId = unitIds[index];
        if (faultsUnit != 0 && faultsUnit != index + 1) {
            unitOptions.faults = FaultPlan{};
        }
        auto unit = std::make_unique<SimUnit>(std::move(unitOptions));
        SimUnit& made = *unit;
        if (options.bootMode) {
            // As if DTR and RTS were raised: the first close of the port drops them, which
            // resets the controller into its user program.
            made.ScheduleLines(true, true, 0);
        }
        if (!flashDir.empty()) {
            // Each unit of a series keeps its own files; the hex id names them.
            std::string suffix;
            if (series) {
                for (const uint8_t byte : unitIds[index]) {
                    char pair[3];
                    std::snprintf(pair, sizeof pair, "%02X", byte);
                    suffix += pair;
                }
                suffix = "-" + suffix;
            }
            made.SetOnWrite([&made, flashDir, suffix] {
                if (!made.SaveFlash(flashDir, suffix)) {
                    std::cerr << "unitsim: cannot save the flash into " << flashDir << '\n';
                }
            });
        }
        if (events != nullptr) {
            made.SetOnEvent([&made, &seriesPointer](const char* event) {
                seriesPointer->Log(made.NowNs(), event);
            });
        }
        return unit;
    };
    UnitSeries units(unitIds.size(), make, stayMs, awayMs, events);
    seriesPointer = &units;

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

    PtyServer(master, units).Run(waitMask);
    close(master);
    return kExitSuccess;
}
