#include "cli/MultiRun.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <signal.h>
#include <unistd.h>
#include <climits>
#endif

#include "cli/ChildProcess.h"
#include "cli/ExitStatus.h"
#include "cli/RunRecord.h"
#include "cli/Sha256.h"
#include "framework/WorkFolder.h"
#include "link/PortList.h"

namespace {

namespace fs = std::filesystem;
using Child = ChildProcess;

constexpr int kRedrawMs = 100;
constexpr int kMaxPortNumber = 255;  // COM255 is the last a system names

struct Unit {
    std::string port;
    fs::path workDir;
    Child child;
    bool started = false;
    std::string outText;
    std::string errPartial;
    std::string status = "starting";
    std::string lastLine;
    int exitStatus = -1;
    int killedBy = 0;  // the signal that ended the child, if one did
    std::optional<RunRecord> record;
    std::chrono::steady_clock::time_point startedAt;
    std::string startedUtc;  // as records write it
    double seconds = 0;
};

// Where the records reach the log. On Windows appends from several processes may overlap, and
// the children end with the parent anyway, so the parent writes every record there.
#ifdef _WIN32
constexpr bool kChildrenLog = false;
#else
constexpr bool kChildrenLog = true;
#endif

// The command line of a child: the parent's, less the options the parent itself takes, with one
// port, a private working folder and JSON output (and the log, where children write to it).
std::vector<std::string> ChildArguments(int argc, char** argv, const Unit& unit) {
    std::vector<std::string> args = {argv[0]};
    const std::vector<std::string> takenOptions =
        kChildrenLog ? std::vector<std::string>{"--port", "--work-dir"}
                     : std::vector<std::string>{"--port", "--log", "--work-dir"};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool taken = false;
        for (const std::string& option : takenOptions) {
            const std::string name = option;
            if (arg == name) {
                ++i;  // and its value
                taken = true;
            } else if (arg.rfind(name + "=", 0) == 0) {
                taken = true;
            }
        }
        if (!taken && arg != "--json") {
            args.push_back(arg);
        }
    }
    for (const std::string& extra : {std::string("--port"), unit.port, std::string("--work-dir"),
                                     unit.workDir.string(), std::string("--json")}) {
        args.push_back(extra);
    }
    if (!kChildrenLog) {
        // An empty log on its command line keeps a child from the one of the environment or
        // the configuration file.
        args.insert(args.end(), {"--log", ""});
    }
    return args;
}

// Reads what a child wrote; returns the complete lines of its stderr.
std::vector<std::string> ReadChild(Unit& unit) {
    unit.child.Read(unit.outText, unit.errPartial);
    std::vector<std::string> lines;
    size_t end;
    while ((end = unit.errPartial.find_first_of("\n\r")) != std::string::npos) {
        std::string line = unit.errPartial.substr(0, end);
        unit.errPartial.erase(0, end + 1);
        if (line.find_first_not_of(' ') != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string Fit(std::string text, size_t width) {
    if (text.size() > width) {
        text.resize(width);
    }
    return text;
}

// The port number that "7" (or the digits after "COM") names, or 0.
int PortNumber(const std::string& digits) {
    const bool numeric = !digits.empty() && digits.size() <= 3 &&
                         std::all_of(digits.begin(), digits.end(), ::isdigit);
    const int value = numeric ? std::stoi(digits) : 0;
    return value >= 1 && value <= kMaxPortNumber ? value : 0;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The record of a child that ended without giving its own.
RunRecord RecordOfLostChild(const Unit& unit, const RunRecord& base, const std::string& sha256) {
    RunRecord record = base;
    record.port = unit.port;
    record.portGiven = unit.port;
    record.sha256 = sha256;
    record.seconds = unit.seconds;
    record.started = unit.startedUtc;
    record.ended = UtcNow();
    record.exitStatus = unit.killedBy != 0 ? kExitSignalBase + unit.killedBy : unit.exitStatus;
    record.failedStep = unit.exitStatus == kExitUsage ? "usage" : "child";
    if (unit.killedBy != 0) {
        record.Note("Killed by signal " + std::to_string(unit.killedBy) + " (" +
                    SignalName(unit.killedBy) + ")");
    } else {
        record.Note("exit status " + std::to_string(unit.exitStatus));
    }
    const std::string last = unit.lastLine.substr(0, unit.lastLine.find_last_not_of(' ') + 1);
    if (!last.empty()) {
        record.Note(last);
    }
    return record;
}

}  // namespace

bool EachPortOnce(const std::vector<std::string>& ports) {
    std::map<std::string, std::string> given;  // by key
    for (const std::string& port : ports) {
        const std::string key = PortKey(port);
        const auto [first, fresh] = given.emplace(key, port);
        if (!fresh) {
            std::fprintf(stderr, "--port %s and --port %s name the same port (%s)\n",
                         first->second.c_str(), port.c_str(), key.c_str());
            return false;
        }
    }
    return true;
}

std::string PortKey(const std::string& port) {
    if (port == "sim") {
        return port;  // one built-in unit, however often named
    }
    const size_t scheme = port.find("://");
    if (scheme != std::string::npos) {
        const std::string address = port.substr(scheme + 3);
        return Lower(address.substr(0, address.find('/')));  // host:port, whichever protocol
    }
    int number = PortNumber(port);
#ifdef _WIN32
    std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
    if (number == 0 && name.size() > 3 && Lower(name.substr(0, 3)) == "com") {
        number = PortNumber(name.substr(3));
    }
    return number != 0 ? "COM" + std::to_string(number) : Lower(name);
#else
    std::string path = port;
    if (number != 0) {
        const std::vector<SerialPortInfo> listed = ListSerialPorts();
        if (static_cast<size_t>(number) > listed.size()) {
            return "port " + std::to_string(number);
        }
        path = listed[static_cast<size_t>(number) - 1].name;
    }
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
#endif
}

int RunMany(int argc, char** argv, const std::vector<std::string>& ports, bool json,
            const std::string& log, const RunRecord& base) {
    const std::string& firmware = base.file;
    // Nothing is touched before the ports and the log are known to be good.
    if (!EachPortOnce(ports)) {
        return kExitUsage;
    }
    RecordLog logFile;
    std::string reason;
    if (!log.empty() && !logFile.Open(log, reason)) {
        std::fprintf(stderr, "Cannot write to the log %s: %s\n", log.c_str(), reason.c_str());
        return kExitFailure;
    }
    // For the record of a child that gives none: the file as it stood when the run began.
    const std::string sha256 = firmware.empty() ? std::string() : FileSha256(firmware);
    std::FILE* shown = json ? stderr : stdout;
    const bool terminal = isatty(fileno(shown)) != 0;
    const std::vector<fs::path> folders = MakeWorkFolders(ports.size());
    if (folders.empty()) {
        return kExitFailure;
    }
    std::vector<Unit> units(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        units[i].port = ports[i];
        units[i].workDir = folders[i];
    }
    ParentStop::Catch();
    for (Unit& unit : units) {
        unit.startedAt = std::chrono::steady_clock::now();
        unit.startedUtc = UtcNow();
        unit.started = unit.child.Start(ChildArguments(argc, argv, unit));
        if (!unit.started) {
            unit.status = "could not be started";
        }
    }
    size_t width = 4;
    for (const Unit& unit : units) {
        width = std::max(width, unit.port.size());
    }
    bool drawn = false;
    const auto redraw = [&] {
        if (!terminal) {
            return;
        }
        if (drawn) {
            std::fprintf(shown, "\033[%zuA", units.size());
        }
        for (const Unit& unit : units) {
            std::fprintf(shown, "\r\033[K%-*s  %s\n", static_cast<int>(width), unit.port.c_str(),
                         Fit(unit.status, 100).c_str());
        }
        std::fflush(shown);
        drawn = true;
    };
    int forwarded = 0;
    size_t running = units.size();
    bool logLost = false;
    while (running > 0) {
        if (ParentStop::Last() != 0 && forwarded != ParentStop::Last()) {
            // Every unit stops as a single run would: no further block goes out.
            forwarded = ParentStop::Last();
            for (Unit& unit : units) {
                if (unit.exitStatus < 0) {
                    unit.child.Stop(forwarded);
                }
            }
        }
        std::vector<Child*> children;
        for (Unit& unit : units) {
            children.push_back(&unit.child);
        }
        Child::WaitForOutput(children, kRedrawMs);
        for (Unit& unit : units) {
            for (const std::string& line : ReadChild(unit)) {
                unit.status = line;
                unit.lastLine = line;
                if (!terminal) {
                    std::fprintf(shown, "%s: %s\n", unit.port.c_str(), line.c_str());
                }
            }
            if (unit.exitStatus >= 0) {
                continue;
            }
            int signal = 0;
            const std::optional<int> status = unit.child.Ended(signal);
            if (!status) {
                continue;
            }
            unit.exitStatus = *status;
            unit.killedBy = signal;
            unit.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - unit.startedAt)
                    .count();
            --running;
            unit.record = RunRecord::FromJsonLine(unit.outText.substr(0, unit.outText.find('\n')));
            // A child that gave its record appended it to the log itself.
            const bool logged = unit.record.has_value() && kChildrenLog;
            if (!unit.record) {
                // The child ended before it could give its record (a usage error, a signal).
                unit.record = RecordOfLostChild(unit, base, sha256);
            }
            if (unit.record->portGiven.empty()) {
                unit.record->portGiven = unit.port;
            }
            unit.record->ok = unit.record->ok && unit.exitStatus == 0;
            unit.record->exitStatus =
                unit.killedBy != 0 ? kExitSignalBase + unit.killedBy : unit.exitStatus;
            if (!unit.record->ok && !unit.record->failedStep) {
                unit.record->failedStep = "child";
            }
            unit.status = unit.record->ok ? "ok" : "failed: " + unit.record->message;
            const std::string line = unit.record->ToJsonLine();
            if (json) {
                std::printf("%s\n", line.c_str());
                std::fflush(stdout);
            }
            if (!logged && logFile.IsOpen() && !logFile.Append(line, reason)) {
                logLost = true;  // a record that did not reach the log fails the command
                std::fprintf(stderr, "Cannot write to the log %s: %s\n", log.c_str(),
                             reason.c_str());
            }
            std::error_code ignored;
            fs::remove_all(unit.workDir, ignored);
        }
        redraw();
    }

    // The summary: port, unit, result, seconds, and what went wrong.
    std::fprintf(shown, "\n%-*s  %-16s  %-7s  %-6s  %8s  %s\n", static_cast<int>(width), "PORT",
                 "MODEL", "VERSION", "RESULT", "SECONDS", "MESSAGE");
    bool allOk = true;
    for (const Unit& unit : units) {
        const RunRecord none;
        const RunRecord& record = unit.record ? *unit.record : none;
        allOk = allOk && record.ok;
        std::string message = record.ok ? "" : record.message;
        std::replace(message.begin(), message.end(), '\n', ' ');
        std::fprintf(shown, "%-*s  %-16s  %-7s  %-6s  %8.1f  %s\n", static_cast<int>(width),
                     unit.port.c_str(), record.model.value_or("-").c_str(),
                     record.version.value_or("-").c_str(),
                     record.ok        ? "ok"
                     : record.stopped ? "stopped"
                                      : "failed",
                     unit.seconds, message.c_str());
    }
    std::fflush(shown);
    if (ParentStop::Last() != 0) {
        return kExitSignalBase + ParentStop::Last();
    }
    return allOk && !logLost ? kExitSuccess : kExitFailure;
}
