#pragma once

#include <sys/types.h>

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

// Starts a shell command line in the background; returns its process id.
pid_t Spawn(const std::string& commandLine);
// Waits for a process started by Spawn: its exit status, or 128 + the signal that ended it.
int WaitExit(pid_t pid);
// The command line that runs flashtool with the given arguments.
std::string FlashtoolCommand(const std::string& args);
