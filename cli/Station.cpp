#include "cli/Station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#endif

#include "cli/ChildProcess.h"
#ifdef _WIN32
#undef MessageBox  // the host's own names, not the system's character-set macros
#undef DrawText
#endif
#include "cli/ExitStatus.h"
#include "cli/MultiRun.h"
#include "cli/Sha256.h"
#include "cli/UnitWatch.h"
#include "device/DrovaneView.h"
#include "framework/Clock.h"

namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

constexpr int kRedrawMs = 100;
// A port whose child ended before any unit answered (it could not be opened, say) is tried
// again after this long.
constexpr int kPortRetryMs = 5000;
constexpr size_t kStatusWidth = 60;

// What a child writes on stderr as it waits, for the station to follow its state.
constexpr std::string_view kLineWaiting = "station: waiting for a unit";
constexpr std::string_view kLineRemoval = "station: waiting for the unit ";  // ID to be taken away
constexpr std::string_view kLineRemovalEnd = " to be taken away";
constexpr std::string_view kLineFound = "station: found ";  // ID MODEL

// Stop signals (ParentStop): the first ends the station once the units being flashed are done,
// the second stops those too.

enum class Phase { Starting, Waiting, Removal, Flashing, Pause, Ended };

struct Port {
    std::string name;
    fs::path workDir;
    std::unique_ptr<ChildProcess> child;
    Phase phase = Phase::Starting;
    bool dismissed = false;   // stopped by the station while it waited for a unit
    bool secondStop = false;  // the second stop signal reached its run
    std::string outText;
    std::string errPartial;
    std::string lastLine;
    std::string unitId;  // the unit on the port (being flashed, or the one served last)
    std::string model;
    std::string served;  // the unit served last, which is not taken again until it went away
    Steady::time_point unitAt;
    std::string unitUtc;
    Steady::time_point retryAt;
    int done = 0;
    int failed = 0;
    int stopped = 0;
};

std::string Fit(std::string text, size_t width) {
    if (text.size() > width) {
        text.resize(width);
    }
    return text;
}

bool IsOption(const std::string& arg, const char* name, bool& hasValue) {
    const std::string option = name;
    hasValue = arg == option;
    return hasValue || arg.rfind(option + "=", 0) == 0;
}

// A child's command line: the station's, as a flash on one port in the port's working folder,
// with JSON output, no log of its own (the station logs each unit's record), and the wait for
// its unit.
std::vector<std::string> ChildArguments(int argc, char** argv, const Port& port) {
    std::vector<std::string> args = {argv[0]};
    bool command = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool hasValue = false;
        if (IsOption(arg, "--port", hasValue) || IsOption(arg, "--work-dir", hasValue) ||
            IsOption(arg, "--log", hasValue)) {
            i += hasValue ? 1 : 0;
            continue;
        }
        if (arg == "--json") {
            continue;
        }
        if (!command && arg == "station") {
            command = true;
            args.push_back("flash");
            continue;
        }
        args.push_back(arg);
    }
    args.insert(args.end(), {"--port", port.name, "--work-dir", port.workDir.string(), "--json",
                             "--log", "", "--station-wait"});
    if (!port.served.empty()) {
        args.insert(args.end(), {"--station-after", port.served});
    }
    return args;
}

// The record of a unit whose child ended without giving one.
RunRecord RecordOfLostRun(const Port& port, const RunRecord& base, const std::string& sha256,
                          int status, int signal) {
    RunRecord record = base;
    record.port = port.name;
    record.portGiven = port.name;
    record.sha256 = sha256;
    record.unitId = port.unitId;
    if (!port.model.empty()) {
        record.model = port.model;
    }
    record.started = port.unitUtc;
    record.ended = UtcNow();
    record.seconds = std::chrono::duration<double>(Steady::now() - port.unitAt).count();
    record.exitStatus = status;
    record.failedStep = "child";
    record.Note(signal != 0
                    ? "Killed by signal " + std::to_string(signal) + " (" + SignalName(signal) + ")"
                    : "exit status " + std::to_string(status));
    if (!port.lastLine.empty()) {
        record.Note(port.lastLine);
    }
    return record;
}

const char* PhaseName(const Port& port) {
    switch (port.phase) {
        case Phase::Starting:
            return port.served.empty() ? "waiting" : "waiting for removal";
        case Phase::Waiting:
            return "waiting";
        case Phase::Removal:
            return "waiting for removal";
        case Phase::Flashing:
            return "flashing";
        case Phase::Pause:
            return "port error";
        case Phase::Ended:
            return "ended";
    }
    return "";
}

class Station {
public:
    Station(int argc, char** argv, bool json, const RunRecord& base, RecordLog& log,
            std::string logName)
        : m_argc(argc),
          m_argv(argv),
          m_json(json),
          m_base(base),  // a lost unit's record is the flash's
          m_log(log),
          m_logName(std::move(logName)),
          m_shown(json ? stderr : stdout),
          m_terminal(isatty(fileno(m_shown)) != 0),
          m_sha256(base.file.empty() ? std::string() : FileSha256(base.file)) {
        m_base.command = "flash";
    }

    int Run(std::vector<Port>& ports) {
        for (const Port& port : ports) {
            m_width = std::max(m_width, port.name.size());
        }
        for (Port& port : ports) {
            StartChild(port);
        }
        int handled = 0;
        while (std::any_of(ports.begin(), ports.end(),
                           [](const Port& port) { return port.phase != Phase::Ended; })) {
            if (const int signals = ParentStop::Count(); signals != handled) {
                handled = signals;
                OnStop(ports, handled);
            }
            std::vector<ChildProcess*> children;
            for (Port& port : ports) {
                if (port.child) {
                    children.push_back(port.child.get());
                }
            }
            ChildProcess::WaitForOutput(children, kRedrawMs);
            for (Port& port : ports) {
                Serve(port);
                if (m_usage) {
                    return kExitUsage;
                }
            }
            Redraw(ports);
        }
        return Summary(ports);
    }

private:
    void StartChild(Port& port) {
        port.child = std::make_unique<ChildProcess>();
        port.outText.clear();
        port.errPartial.clear();
        port.dismissed = false;
        port.secondStop = false;
        port.phase = Phase::Starting;
        if (!port.child->Start(ChildArguments(m_argc, m_argv, port))) {
            port.child.reset();
            port.lastLine = "flashtool could not be started";
            Pause(port);
        }
    }

    void Pause(Port& port) {
        port.phase = m_stopping ? Phase::Ended : Phase::Pause;
        port.retryAt = Steady::now() + std::chrono::milliseconds(kPortRetryMs);
    }

    // The first stop takes no new unit: the children that wait for one are ended. The second
    // is passed on to the units being flashed, which stop as a stopped flash does.
    void OnStop(std::vector<Port>& ports, int signals) {
        m_stopping = true;
        for (Port& port : ports) {
            if (!port.child) {
                port.phase = Phase::Ended;
                continue;
            }
            ReadLines(port);
            if (port.phase != Phase::Flashing) {
                port.dismissed = true;
                port.child->Stop(SIGTERM);
            } else if (signals >= 2 && !port.secondStop) {
                port.secondStop = true;
                port.child->Stop(ParentStop::Last());
            }
        }
        if (!m_terminal) {
            std::fprintf(m_shown, signals >= 2
                                      ? "Stopping the units being flashed.\n"
                                      : "The station takes no new unit; the units being flashed "
                                        "are finished (a second Ctrl+C stops them).\n");
            std::fflush(m_shown);
        }
    }

    void Say(const Port& port, const std::string& text) {
        if (!m_terminal) {
            std::fprintf(m_shown, "%s: %s\n", port.name.c_str(), text.c_str());
            std::fflush(m_shown);
        }
    }

    // Takes the child's complete stderr lines; the station's own ones move the port's state.
    void ReadLines(Port& port) {
        port.child->Read(port.outText, port.errPartial);
        size_t end;
        while ((end = port.errPartial.find_first_of("\n\r")) != std::string::npos) {
            std::string line = port.errPartial.substr(0, end);
            port.errPartial.erase(0, end + 1);
            if (line.find_first_not_of(' ') == std::string::npos) {
                continue;
            }
            const std::string_view text = line;
            if (text == kLineWaiting) {
                port.phase = Phase::Waiting;
                Say(port, "waiting for a unit");
            } else if (text.rfind(kLineRemoval, 0) == 0) {
                port.phase = Phase::Removal;
                Say(port, "waiting for the unit " + port.served + " to be taken away");
            } else if (text.rfind(kLineFound, 0) == 0) {
                const std::string rest(text.substr(kLineFound.size()));
                const size_t space = rest.find(' ');
                port.unitId = rest.substr(0, space);
                port.model = space == std::string::npos ? "" : rest.substr(space + 1);
                port.unitAt = Steady::now();
                port.unitUtc = UtcNow();
                port.phase = Phase::Flashing;
                Say(port, "unit " + port.model + " (unit id " + port.unitId + ") answered");
            } else {
                port.lastLine = line;
                Say(port, line);
            }
        }
    }

    void Serve(Port& port) {
        if (port.phase == Phase::Pause && Steady::now() >= port.retryAt) {
            StartChild(port);
        }
        if (!port.child) {
            return;
        }
        ReadLines(port);
        int signal = 0;
        const std::optional<int> status = port.child->Ended(signal);
        if (!status) {
            return;
        }
        port.child.reset();
        if (port.phase != Phase::Flashing) {
            // No unit was taken: the station ended the wait, or the port could not be used.
            if (port.dismissed || m_stopping) {
                port.phase = Phase::Ended;
            } else if (*status == kExitUsage) {
                std::fprintf(stderr, "%s: %s\n", port.name.c_str(), port.lastLine.c_str());
                m_usage = true;
            } else {
                Say(port,
                    "the port is tried again in " + std::to_string(kPortRetryMs / 1000) + " s");
                Pause(port);
            }
            return;
        }
        std::optional<RunRecord> record =
            RunRecord::FromJsonLine(port.outText.substr(0, port.outText.find('\n')));
        if (!record) {
            record = RecordOfLostRun(port, m_base, m_sha256, *status, signal);
        }
        record->ok = record->ok && *status == kExitSuccess;
        if (signal != 0) {
            record->exitStatus = kExitSignalBase + signal;
        }
        if (!record->ok && !record->failedStep) {
            record->failedStep = "child";
        }
        if (record->ok) {
            ++port.done;
        } else if (record->stopped || (signal != 0 && port.secondStop)) {
            ++port.stopped;
        } else {
            ++port.failed;
        }
        m_unitStopped = m_unitStopped || (port.secondStop && !record->ok);
        Say(port, std::string(record->ok        ? "ok"
                              : record->stopped ? "stopped"
                                                : "failed") +
                      ": " + port.model + " (unit id " + port.unitId + ")" +
                      (record->ok ? std::string() : ": " + record->message) + "; done " +
                      std::to_string(port.done) + ", failed " + std::to_string(port.failed));
        const std::string line = record->ToJsonLine();
        if (m_json) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
        std::string reason;
        if (m_log.IsOpen() && !m_log.Append(line, reason)) {
            m_logLost = true;  // a record that did not reach the log fails the station
            std::fprintf(stderr, "Cannot write to the log %s: %s\n", m_logName.c_str(),
                         reason.c_str());
        }
        port.served = port.unitId;
        if (m_stopping) {
            port.phase = Phase::Ended;
        } else {
            StartChild(port);
        }
    }

    void Redraw(const std::vector<Port>& ports) {
        if (!m_terminal) {
            return;
        }
        if (m_drawn) {
            std::fprintf(m_shown, "\033[%zuA", ports.size());
        }
        for (const Port& port : ports) {
            std::string unit = "-";
            if (!port.unitId.empty()) {
                unit = port.model + " " + port.unitId;
            }
            std::string state = PhaseName(port);
            if (port.phase == Phase::Flashing || port.phase == Phase::Pause) {
                state += ": " + Fit(port.lastLine, kStatusWidth);
            }
            if (m_stopping && port.phase == Phase::Flashing) {
                state += ParentStop::Count() >= 2 ? "  (stopping)" : "  (last unit)";
            }
            std::fprintf(m_shown, "\r\033[K%-*s  done %-3d failed %-3d  %-28s  %s\n",
                         static_cast<int>(m_width), port.name.c_str(), port.done, port.failed,
                         unit.c_str(), state.c_str());
        }
        std::fflush(m_shown);
        m_drawn = true;
    }

    int Summary(const std::vector<Port>& ports) {
        std::fprintf(m_shown, "\n%-*s  %6s  %6s  %7s\n", static_cast<int>(m_width), "PORT", "DONE",
                     "FAILED", "STOPPED");
        bool failed = m_logLost;
        for (const Port& port : ports) {
            std::fprintf(m_shown, "%-*s  %6d  %6d  %7d\n", static_cast<int>(m_width),
                         port.name.c_str(), port.done, port.failed, port.stopped);
            failed = failed || port.failed > 0;
        }
        std::fflush(m_shown);
        if (m_unitStopped) {
            return kExitSignalBase + ParentStop::Last();
        }
        return failed ? kExitFailure : kExitSuccess;
    }

    int m_argc;
    char** m_argv;
    bool m_json;
    RunRecord m_base;
    RecordLog& m_log;
    std::string m_logName;
    std::FILE* m_shown;
    bool m_terminal;
    std::string m_sha256;  // of the file as the station began, for a record a child left out
    size_t m_width = 4;
    bool m_drawn = false;
    bool m_stopping = false;
    bool m_usage = false;
    bool m_logLost = false;
    bool m_unitStopped = false;  // a unit was stopped in the middle of its run
};

}  // namespace

int RunStation(int argc, char** argv, const std::vector<std::string>& ports, bool json,
               const std::string& log, const RunRecord& base) {
    for (const std::string& port : ports) {
        if (port == "sim") {
            std::fprintf(stderr,
                         "station: --port sim is one built-in unit, never taken away nor "
                         "replaced; a station needs serial ports (unitsim --next-units presents "
                         "units one after another)\n");
            return kExitUsage;
        }
    }
    if (!EachPortOnce(ports)) {
        return kExitUsage;
    }
    RecordLog logFile;
    std::string reason;
    if (!log.empty() && !logFile.Open(log, reason)) {
        std::fprintf(stderr, "Cannot write to the log %s: %s\n", log.c_str(), reason.c_str());
        return kExitFailure;
    }
    const std::vector<fs::path> folders = MakeWorkFolders(ports.size());
    if (folders.empty()) {
        return kExitFailure;
    }
    std::vector<Port> stationPorts(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        stationPorts[i].name = ports[i];
        stationPorts[i].workDir = folders[i];
    }
    ParentStop::Catch();
    const int status = Station(argc, argv, json, base, logFile, log).Run(stationPorts);
    for (Port& port : stationPorts) {
        if (port.child) {
            port.child->Stop(SIGTERM);
            int signal = 0;
            port.child->Ended(signal);
        }
        std::error_code ignored;
        fs::remove_all(port.workDir, ignored);
    }
    return status;
}

std::function<bool(const UnitIdentity&)> StationUnitChooser(const std::string& previousId,
                                                            Clock& clock,
                                                            std::function<void()> onTaken) {
    auto watch = std::make_shared<UnitWatch>(previousId, clock.NowNs());
    const auto tell = [](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    };
    tell(previousId.empty()
             ? std::string(kLineWaiting)
             : std::string(kLineRemoval) + previousId + std::string(kLineRemovalEnd));
    return [watch, &clock, tell, onTaken = std::move(onTaken)](const UnitIdentity& unit) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        std::string hex;
        for (const uint8_t byte : unit.id) {
            hex += kDigits[byte >> 4];
            hex += kDigits[byte & 0x0F];
        }
        const UnitWatch::State before = watch->GetState();
        const bool take = watch->Take(unit.answered, hex, clock.NowNs());
        if (take) {
            onTaken();
            tell(std::string(kLineFound) + hex + " " + unit.Name());
        } else if (before != watch->GetState()) {
            tell(std::string(kLineWaiting));
        }
        return take;
    };
}
