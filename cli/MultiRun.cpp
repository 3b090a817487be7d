#include "cli/MultiRun.h"

#include <cstdio>

#ifdef _WIN32

int RunMany(int, char**, const std::vector<std::string>&, bool, const std::string&) {
    std::fprintf(stderr,
                 "Several ports in one command are not available on Windows yet; start "
                 "one flashtool per port.\n");
    return 2;
}

#else

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "cli/RunRecord.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRedrawMs = 100;
constexpr int kExitFailure = 1;
constexpr int kExitSignalBase = 128;

std::atomic<int> g_signal{0};

extern "C" void OnSignal(int signal) {
    g_signal = signal;
}

struct Unit {
    std::string port;
    fs::path workDir;
    pid_t pid = -1;
    int out = -1;  // the child's stdout: its JSON record
    int err = -1;  // the child's stderr: progress and messages
    std::string outText;
    std::string errPartial;
    std::string status = "starting";
    std::string lastLine;
    int exitStatus = -1;
    std::optional<RunRecord> record;
    std::chrono::steady_clock::time_point started;
    double seconds = 0;
};

// The command line of a child: the parent's, less the options the parent itself takes, with one
// port, a private working folder and JSON output.
std::vector<std::string> ChildArguments(int argc, char** argv, const Unit& unit) {
    std::vector<std::string> args = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool taken = false;
        for (const char* option : {"--port", "--log", "--work-dir"}) {
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
    return args;
}

bool Start(Unit& unit, const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        return false;
    }
    unit.started = std::chrono::steady_clock::now();
    unit.pid = fork();
    if (unit.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (const int fd : {out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    unit.out = out[0];
    unit.err = err[0];
    for (const int fd : {unit.out, unit.err}) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return unit.pid > 0;
}

// Reads what a child wrote; returns the complete lines of its stderr.
std::vector<std::string> ReadChild(Unit& unit) {
    std::vector<std::string> lines;
    char buffer[4096];
    for (int* fd : {&unit.out, &unit.err}) {
        while (*fd >= 0) {
            const ssize_t got = read(*fd, buffer, sizeof buffer);
            if (got > 0) {
                (fd == &unit.out ? unit.outText : unit.errPartial).append(buffer, got);
                continue;
            }
            if (got == 0) {
                close(*fd);
                *fd = -1;
            }
            break;
        }
    }
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

}  // namespace

int RunMany(int argc, char** argv, const std::vector<std::string>& ports, bool json,
            const std::string& log) {
    std::FILE* shown = json ? stderr : stdout;
    const bool terminal = isatty(fileno(shown)) != 0;
    std::vector<Unit> units(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        units[i].port = ports[i];
        char pattern[] = "/tmp/flashtool-unit-XXXXXX";
        const char* dir = mkdtemp(pattern);
        if (dir == nullptr) {
            std::fprintf(stderr, "Cannot create a working folder: %s\n", std::strerror(errno));
            return kExitFailure;
        }
        units[i].workDir = dir;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    for (Unit& unit : units) {
        if (!Start(unit, ChildArguments(argc, argv, unit))) {
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
    while (running > 0) {
        if (g_signal != 0 && forwarded != g_signal) {
            // Every unit stops as a single run would: no further block goes out.
            forwarded = g_signal;
            for (const Unit& unit : units) {
                if (unit.exitStatus < 0 && unit.pid > 0) {
                    kill(unit.pid, forwarded);
                }
            }
        }
        std::vector<pollfd> fds;
        for (const Unit& unit : units) {
            for (const int fd : {unit.out, unit.err}) {
                if (fd >= 0) {
                    fds.push_back({fd, POLLIN, 0});
                }
            }
        }
        poll(fds.data(), fds.size(), kRedrawMs);
        for (Unit& unit : units) {
            for (const std::string& line : ReadChild(unit)) {
                unit.status = line;
                unit.lastLine = line;
                if (!terminal) {
                    std::fprintf(shown, "%s: %s\n", unit.port.c_str(), line.c_str());
                }
            }
            if (unit.exitStatus >= 0 || unit.out >= 0 || unit.err >= 0 || unit.pid <= 0) {
                continue;
            }
            int raw = 0;
            if (waitpid(unit.pid, &raw, 0) != unit.pid) {
                continue;
            }
            unit.exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : kExitSignalBase + WTERMSIG(raw);
            unit.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - unit.started)
                    .count();
            --running;
            unit.record = RunRecord::FromJsonLine(unit.outText.substr(0, unit.outText.find('\n')));
            if (!unit.record) {
                // The child ended before it could give its record (a usage error, a crash).
                RunRecord record;
                record.port = unit.port;
                record.seconds = unit.seconds;
                record.message = unit.lastLine.empty()
                                     ? "exit status " + std::to_string(unit.exitStatus)
                                     : unit.lastLine;
                unit.record = record;
            }
            unit.record->port = unit.port;
            unit.record->ok = unit.record->ok && unit.exitStatus == 0;
            unit.status = unit.record->ok ? "ok" : "failed: " + unit.record->message;
            const std::string line = unit.record->ToJsonLine();
            if (json) {
                std::printf("%s\n", line.c_str());
                std::fflush(stdout);
            }
            std::string reason;
            if (!log.empty() && !AppendLine(log, line, reason)) {
                std::fprintf(stderr, "Cannot write to the log %s: %s\n", log.c_str(),
                             reason.c_str());
            }
            std::error_code ignored;
            fs::remove_all(unit.workDir, ignored);
        }
        redraw();
    }
    for (Unit& unit : units) {
        if (unit.pid <= 0) {
            std::error_code ignored;
            fs::remove_all(unit.workDir, ignored);
        }
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
                     record.version.value_or("-").c_str(), record.ok ? "ok" : "failed",
                     unit.seconds, message.c_str());
    }
    std::fflush(shown);
    if (g_signal != 0) {
        return kExitSignalBase + g_signal;
    }
    return allOk ? 0 : kExitFailure;
}

#endif
