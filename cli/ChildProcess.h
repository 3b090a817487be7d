#pragma once

// A child flashtool run with its standard output and error on pipes, and the private working
// folders such children take: what a run on several ports and a station share.

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <climits>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#endif

#include "cli/ExitStatus.h"

namespace child_process {
#ifdef _WIN32
// A command line as the C runtime splits it again: each argument quoted, with backslashes before
// a quote doubled.
inline std::string Quote(const std::string& arg) {
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
#endif
}  // namespace child_process

// A child flashtool and the pipes of its standard output and error.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { ClosePipes(); }

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
            line += (line.empty() ? "" : " ") + child_process::Quote(arg);
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
    static void WaitForOutput(const std::vector<ChildProcess*>& children, int ms) {
#ifdef _WIN32
        // Anonymous pipes cannot be waited on together; a short sleep keeps the cost small.
        (void)children;
        Sleep(static_cast<DWORD>(std::min(ms, kWindowsPollMs)));
#else
        std::vector<pollfd> fds;
        for (const ChildProcess* child : children) {
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

// A child's working folder: this prefix, the owning run's process id, a dash and a random part.
constexpr const char* kWorkFolderPrefix = "flashtool-unit-";

int OwnProcessId();

// The stop signals a parent of child runs catches: Ctrl+C, SIGTERM and SIGHUP (on Windows
// Ctrl+C, Break and the console's close, which reach every process of the console, the
// children too, so each stops as a single run does). Keeps the last one and how many came.
class ParentStop {
public:
    static void Catch();
    static int Last() { return s_signal; }
    static int Count() { return s_count; }

private:
    static void Caught(int signal) {
        s_signal = signal;
        ++s_count;
    }
#ifdef _WIN32
    static BOOL WINAPI OnConsoleControl(DWORD event);
#else
    static void OnSignal(int signal) {
        Caught(signal);
    }
#endif
    static inline std::atomic<int> s_signal{0};
    static inline std::atomic<int> s_count{0};
};
// Removes the working folders of earlier runs whose owner is gone and that no child (one
// that outlived its parent) still holds.
void RemoveStaleWorkFolders();
// A new folder of its own for a child's working files.
std::optional<std::filesystem::path> MakeWorkFolder();
// One such folder per port, made once the stale ones are removed; empty after a message when
// one cannot be made.
std::vector<std::filesystem::path> MakeWorkFolders(size_t count);
