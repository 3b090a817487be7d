#include "tests/support/Process.h"

#include <sys/wait.h>

#include <cstdlib>

#include "tests/support/SrecFiles.h"

ProcessResult RunCommand(const std::string& commandLine) {
    const int raw = std::system((commandLine + " >out.txt 2>err.txt").c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadText("out.txt"), ReadText("err.txt")};
}

ProcessResult Flashtool(const std::string& args) {
    return RunCommand(std::string(FLASHTOOL_BIN) + " " + args);
}
