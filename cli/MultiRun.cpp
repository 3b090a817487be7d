#include "cli/MultiRun.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "cli/ExitStatus.h"
#include "cli/RunRecord.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRedrawMs = 100;

std::atomic<int> g_signal{0};

#ifdef _WIN32
// Ctrl+C reaches every process of the console, the children too, and each stops as a single run
// does; the parent stays to gather them.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        g_signal = SIGINT;
        return TRUE;
    }
    return FALSE;
}

// A command line as the C runtime splits it again: each argument quoted, with backslashes before
// a quote doubled.
std::string Quote(const std::string& arg) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}
#else
extern "C" void OnSignal(int signal) {
    g_signal = signal;
}
#endif

// A child flashtool and the pipes of its standard output and error.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { ClosePipes(); }

    bool Start(const std::vector<std::string>& args) {
#ifdef _WIN32
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE outWrite = nullptr;
        HANDLE errWrite = nullptr;
        if (!CreatePipe(&m_out, &outWrite, &inherit, 0) ||
            !CreatePipe(&m_err, &errWrite, &inherit, 0)) {
            return false;
        }
        SetHandleInformation(m_out, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(m_err, HANDLE_FLAG_INHERIT, 0);
        std::string line;
        for (const std::string& arg : args) {
            line += (line.empty() ? "" : " ") + Quote(arg);
        }
        char program[MAX_PATH];
        GetModuleFileNameA(nullptr, program, MAX_PATH);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = outWrite;
        startup.hStdError = errWrite;
        PROCESS_INFORMATION info{};
        const BOOL started = CreateProcessA(program, line.data(), nullptr, nullptr, TRUE, 0,
                                            nullptr, nullptr, &startup, &info);
        CloseHandle(outWrite);
        CloseHandle(errWrite);
        if (!started) {
            return false;
        }
        CloseHandle(info.hThread);
        m_process = info.hProcess;
        return true;
#else
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            return false;
        }
        m_pid = fork();
        if (m_pid == 0) {
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
        m_out = out[0];
        m_err = err[0];
        for (const int fd : {m_out, m_err}) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        return m_pid > 0;
#endif
    }

    // Appends what the child wrote to each stream, without waiting.
    void Read(std::string& out, std::string& err) {
        ReadPipe(m_out, out);
        ReadPipe(m_err, err);
    }

    bool PipesOpen() const {
        return m_out != kNoPipe || m_err != kNoPipe;
    }

    // The child's exit status once it ended and its pipes are drained; 128 + N when a signal
    // ended it.
    std::optional<int> Ended() {
        if (PipesOpen()) {
            return std::nullopt;
        }
#ifdef _WIN32
        if (m_process == nullptr) {
            return 127;
        }
        WaitForSingleObject(m_process, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(m_process, &code);
        CloseHandle(m_process);
        m_process = nullptr;
        return static_cast<int>(code);
#else
        int raw = 0;
        if (m_pid <= 0 || waitpid(m_pid, &raw, 0) != m_pid) {
            return 127;
        }
        m_pid = -1;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : kExitSignalBase + WTERMSIG(raw);
#endif
    }

    // Passes a stop signal on (on Windows the console's Ctrl+C already reached the child).
    void Stop(int signal) {
#ifdef _WIN32
        (void)signal;
#else
        if (m_pid > 0) {
            kill(m_pid, signal);
        }
#endif
    }

    // Sleeps until one of the children wrote something, or `ms` passed.
    static void WaitForOutput(const std::vector<Child*>& children, int ms) {
#ifdef _WIN32
        // Anonymous pipes cannot be waited on together; a short sleep keeps the cost small.
        (void)children;
        Sleep(static_cast<DWORD>(std::min(ms, kWindowsPollMs)));
#else
        std::vector<pollfd> fds;
        for (const Child* child : children) {
            for (const int fd : {child->m_out, child->m_err}) {
                if (fd >= 0) {
                    fds.push_back({fd, POLLIN, 0});
                }
            }
        }
        poll(fds.data(), fds.size(), ms);
#endif
    }

private:
#ifdef _WIN32
    using Pipe = HANDLE;
    static constexpr Pipe kNoPipe = nullptr;
    static constexpr int kWindowsPollMs = 20;
    HANDLE m_process = nullptr;
#else
    using Pipe = int;
    static constexpr Pipe kNoPipe = -1;
    pid_t m_pid = -1;
#endif

    static void ReadPipe(Pipe& pipe, std::string& text) {
        char buffer[4096];
        while (pipe != kNoPipe) {
#ifdef _WIN32
            DWORD waiting = 0;
            if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) {
                CloseHandle(pipe);  // the child closed its end
                pipe = kNoPipe;
                break;
            }
            if (waiting == 0) {
                break;
            }
            DWORD got = 0;
            if (!ReadFile(pipe, buffer, std::min<DWORD>(waiting, sizeof buffer), &got, nullptr)) {
                CloseHandle(pipe);
                pipe = kNoPipe;
                break;
            }
            text.append(buffer, got);
#else
            const ssize_t got = read(pipe, buffer, sizeof buffer);
            if (got > 0) {
                text.append(buffer, static_cast<size_t>(got));
                continue;
            }
            if (got == 0) {
                close(pipe);
                pipe = kNoPipe;
            }
            break;
#endif
        }
    }

    void ClosePipes() {
        for (Pipe* pipe : {&m_out, &m_err}) {
            if (*pipe != kNoPipe) {
#ifdef _WIN32
                CloseHandle(*pipe);
#else
                close(*pipe);
#endif
                *pipe = kNoPipe;
            }
        }
    }

    Pipe m_out = kNoPipe;
    Pipe m_err = kNoPipe;
};

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
    std::optional<RunRecord> record;
    std::chrono::steady_clock::time_point startedAt;
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

// A new folder of its own for a child's working files.
std::optional<fs::path> MakeWorkFolder() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path folder =
            fs::temp_directory_path() / ("flashtool-unit-" + std::to_string(random()));
        std::error_code error;
        if (fs::create_directory(folder, error)) {
            return folder;
        }
    }
    return std::nullopt;
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
        const std::optional<fs::path> folder = MakeWorkFolder();
        if (!folder) {
            std::fprintf(stderr, "Cannot create a working folder in %s\n",
                         fs::temp_directory_path().string().c_str());
            return kExitFailure;
        }
        units[i].workDir = *folder;
    }
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
#endif
    for (Unit& unit : units) {
        unit.startedAt = std::chrono::steady_clock::now();
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
        if (g_signal != 0 && forwarded != g_signal) {
            // Every unit stops as a single run would: no further block goes out.
            forwarded = g_signal;
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
            const std::optional<int> status = unit.child.Ended();
            if (!status) {
                continue;
            }
            unit.exitStatus = *status;
            unit.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - unit.startedAt)
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
                     record.version.value_or("-").c_str(), record.ok ? "ok" : "failed",
                     unit.seconds, message.c_str());
    }
    std::fflush(shown);
    if (g_signal != 0) {
        return kExitSignalBase + g_signal;
    }
    return allOk && !logLost ? kExitSuccess : kExitFailure;
}
