#pragma once

#include <string>
#include <vector>

#include "cli/RunRecord.h"

// Serves several units at once: one child flashtool per port (the same command line with that
// port, a private working folder and JSON output), all at the same time. Two names of one port
// are refused before any unit is touched, and so is a log that cannot be one. Shows one live
// line per unit on a terminal, else plain lines prefixed with the port; prints (or, with `json`,
// passes on) each unit's record as it finishes, and ends with a summary table. Each record
// reaches `log` once: a child appends its own (so it still does when the parent is gone), and
// the parent appends one for a child that ended without, made from `base` (the command, its
// file, empty for identify, and the tool). Returns 0 when every unit succeeded, 2 for a port
// given twice, 128 + the signal when stopped, else 1.
int RunMany(int argc, char** argv, const std::vector<std::string>& ports, bool json,
            const std::string& log, const RunRecord& base);

// What a --port names, as the system knows it: COM7 for "7" or "com7" on Windows, the listed
// port for a number and the resolved device for a path elsewhere, host:port for a network
// address, and "sim" for the built-in unit. Two ports with the same key are one port.
std::string PortKey(const std::string& port);

// Refuses two names of one port, with a message naming both; true when every port is named once.
bool EachPortOnce(const std::vector<std::string>& ports);
