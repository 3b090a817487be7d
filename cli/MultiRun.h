#pragma once

#include <string>
#include <vector>

// Serves several units at once: one child flashtool per port (the same command line with that
// port, a private working folder and JSON output), all at the same time. Shows one live line per
// unit on a terminal, else plain lines prefixed with the port; prints (or, with `json`, passes
// on) each unit's record as it finishes, appends it to `log`, and ends with a summary table.
// Returns 0 when every unit succeeded, 128 + the signal when stopped, else 1.
int RunMany(int argc, char** argv, const std::vector<std::string>& ports, bool json,
            const std::string& log);
