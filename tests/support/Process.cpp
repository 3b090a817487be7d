#include "tests/support/Process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/ShieldedEnvironment.h"
#include "tests/support/SrecFiles.h"

ProcessResult RunCommand(const std::string& commandLine) {
    const int raw = std::system((commandLine + " >out.txt 2>err.txt").c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadText("out.txt"), ReadText("err.txt")};
}

std::string FlashtoolCommand(const std::string& args) {
    return std::string(FLASHTOOL_BIN) + " " + args;
}

ProcessResult Flashtool(const std::string& args) {
    return RunCommand(FlashtoolCommand(args));
}

pid_t Spawn(const std::string& commandLine) {
    const std::string exec = "exec " + commandLine;
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", exec.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int WaitExit(pid_t pid) {
    int raw = 0;
    if (waitpid(pid, &raw, 0) != pid) {
        return -1;
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}
