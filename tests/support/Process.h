#pragma once

#include <string>

struct ProcessResult {
    int status;
    std::string out;
    std::string err;
};

// Runs a shell command line in the current directory and collects its exit status, stdout and
// stderr.
ProcessResult RunCommand(const std::string& commandLine);

// Runs flashtool with the given arguments.
ProcessResult Flashtool(const std::string& args);
