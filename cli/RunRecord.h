#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What one unit's run did, as `--json` prints it and `--log` keeps it: one JSON object a line.
struct RunRecord {
    std::string port;
    std::string file;
    std::string sha256;                // of the firmware file
    std::optional<std::string> model;  // as the unit identified itself
    std::optional<std::string> version;
    int stepsDone = 0;
    int stepsTotal = 0;
    int64_t bytes = 0;                // put on the line by the programming transfers
    std::optional<double> lineShare;  // of the 9600-baud line rate the transfers reached
    double seconds = 0;               // the whole run
    bool ok = false;
    std::string message;  // the last message shown, on failure

    std::string ToJsonLine() const;
    // The record of a JSON line as ToJsonLine writes it; nothing when it is not one.
    static std::optional<RunRecord> FromJsonLine(const std::string& line);
};

// Appends `line` and a line end to the file in one write, so that runs sharing a log never
// interleave within a line. False with the system's reason on failure.
bool AppendLine(const std::string& path, const std::string& line, std::string& reason);
