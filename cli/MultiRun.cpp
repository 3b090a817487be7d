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
#include <climits>
#include <cstdlib>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#endif

#include "cli/ExitStatus.h"
#include "cli/RunRecord.h"
#include "cli/Sha256.h"
#include "framework/WorkFolder.h"
#include "link/PortList.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRedrawMs = 100;
constexpr int kMaxPortNumber = 255;  // COM255 is the last a system names
// A child's working folder: this prefix, the owning run's process id, a dash and a random part.
constexpr const char* kWorkFolderPrefix = "flashtool-unit-";

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
        const BOOL started = CreateProcessA(program, line.data(), nullptr, nullptr, TRUE,
                                            CREATE_SUSPENDED, nullptr, nullptr, &startup, &info);
        CloseHandle(outWrite);
        CloseHandle(errWrite);
        if (!started) {
            return false;
        }
        // The children go with the parent, however it ends; they then leave no record (the
        // system has no gentler way to tell them).
        AssignProcessToJobObject(Job(), info.hProcess);
        ResumeThread(info.hThread);
        CloseHandle(info.hThread);
        m_process = info.hProcess;
        return true;
#else
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            return false;
        }
        // The program itself, by its own name, so that the children show as flashtool.
        char self[PATH_MAX] = {};
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        const std::string program = length > 0 ? std::string(self, static_cast<size_t>(length))
                                               : std::string("/proc/self/exe");
        const pid_t parent = getpid();
        m_pid = fork();
        if (m_pid == 0) {
            // Stop signals wait until the child run can take them. The child is a process group
            // of its own, so a terminal's Ctrl+C reaches it once, passed on by the parent; when
            // the parent dies, however it dies, the child is stopped as by SIGTERM.
            sigset_t stops;
            sigemptyset(&stops);
            for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
                sigaddset(&stops, signal);
            }
            sigprocmask(SIG_BLOCK, &stops, nullptr);
            setpgid(0, 0);
#ifdef __linux__
            prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
            if (getppid() != parent) {
                raise(SIGTERM);  // the parent went before the request took hold
            }
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
            execv(program.c_str(), argv.data());
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
    // ended it, and then `signal` is N.
    std::optional<int> Ended(int& signal) {
        signal = 0;
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
        if (WIFEXITED(raw)) {
            return WEXITSTATUS(raw);
        }
        signal = WTERMSIG(raw);
        return kExitSignalBase + signal;
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
    // The job that ends every child when the parent's last handle to it closes.
    static HANDLE Job() {
        static const HANDLE job = [] {
            const HANDLE created = CreateJobObjectA(nullptr, nullptr);
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                    sizeof limits);
            return created;
        }();
        return job;
    }

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

int OwnProcessId() {
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

bool ProcessAlive(int pid) {
#ifdef _WIN32
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return false;
    }
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
#else
    return kill(pid, 0) == 0 || errno == EPERM;
#endif
}

// Removes the working folders of earlier runs whose owner is gone and that no child (one
// that outlived its parent) still holds.
void RemoveStaleWorkFolders() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kWorkFolderPrefix, 0) != 0 || !entry.is_directory(error)) {
            continue;
        }
        const int owner = std::atoi(name.c_str() + std::strlen(kWorkFolderPrefix));
        if (owner <= 0 || owner == OwnProcessId() || ProcessAlive(owner)) {
            continue;
        }
        WorkFolderLock lock;
        std::string reason;
        if (lock.Acquire(entry.path().string(), reason)) {
            lock.Release();
            fs::remove_all(entry.path(), error);
        }
    }
}

// A new folder of its own for a child's working files.
std::optional<fs::path> MakeWorkFolder() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path folder =
            fs::temp_directory_path() /
            (kWorkFolderPrefix + std::to_string(OwnProcessId()) + "-" + std::to_string(random()));
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

// Refuses two names of one port; true when every port is named once.
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
    RemoveStaleWorkFolders();
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
    if (g_signal != 0) {
        return kExitSignalBase + g_signal;
    }
    return allOk && !logLost ? kExitSuccess : kExitFailure;
}
