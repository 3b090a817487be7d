#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

constexpr std::chrono::milliseconds kStartTimeout{5000};

// The simulator program, started with `args`; its stdout (and stderr, if asked) on a pipe.
class UnitSimProcess {
public:
    explicit UnitSimProcess(const std::vector<std::string>& args, bool withStderr = false) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        std::vector<std::string> words = {UNITSIM_BIN};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(pipeFds[1], STDOUT_FILENO);
            if (withStderr) {
                dup2(pipeFds[1], STDERR_FILENO);
            }
            execv(UNITSIM_BIN, argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        m_output = pipeFds[0];
    }

    ~UnitSimProcess() {
        Stop(SIGKILL);
        close(m_output);
    }

    // The first line of the output (the device path), or what came before the end.
    std::string ReadLine() {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
        char c = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd readable{m_output, POLLIN, 0};
            if (poll(&readable, 1, 10) <= 0) {
                continue;
            }
            if (read(m_output, &c, 1) != 1 || c == '\n') {
                break;
            }
            line.push_back(c);
        }
        return line;
    }

    // Everything up to the end of the output.
    std::string ReadAll() {
        std::string text;
        for (std::string line = ReadLine(); !line.empty(); line = ReadLine()) {
            text += line + '\n';
        }
        return text;
    }

    // Sends `signal` unless the program has ended; returns its wait status.
    int Stop(int signal) {
        if (m_pid > 0) {
            if (waitpid(m_pid, &m_status, WNOHANG) == 0) {
                kill(m_pid, signal);
                waitpid(m_pid, &m_status, 0);
            }
            m_pid = -1;
        }
        return m_status;
    }

    // Waits for the program to end by itself (killing it after a while); returns its status.
    int Wait() {
        const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
        while (m_pid > 0 && std::chrono::steady_clock::now() < deadline) {
            if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
                m_pid = -1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return Stop(SIGKILL);
    }

private:
    pid_t m_pid = -1;
    int m_output = -1;
    int m_status = -1;
};
