#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What one unit's run did, as `--json` prints it and `--log` keeps it: one JSON object a line.
struct RunRecord {
    std::string port;
    std::string file;
    std::string sha256;                // of the firmware bytes this run read
    std::optional<std::string> model;  // as the unit identified itself
    std::optional<std::string> version;
    std::optional<std::string> versionAfter;  // as it identified after programming (--confirm)
    int stepsDone = 0;
    int stepsTotal = 0;
    int64_t bytes = 0;                // put on the line by the programming transfers
    std::optional<double> lineShare;  // of the 9600-baud line rate the completed transfers reached
    double seconds = 0;               // the whole run
    bool ok = false;
    bool stopped = false;     // ended by a stop signal ("stopped" rather than "failed")
    std::string message;      // the first cause, on failure
    std::string lastMessage;  // the last message shown, when it is not the first cause

    // Keeps a message shown during the run: the first is the cause, a later one the last shown.
    void Note(const std::string& text);
    // The run was ended by `signal`: that is its cause, and what was shown last follows it.
    void MarkStopped(int signal);

    std::string ToJsonLine() const;
    // The record of a JSON line as ToJsonLine writes it; nothing when it is not one.
    static std::optional<RunRecord> FromJsonLine(const std::string& line);
};

// The name of a signal ("SIGTERM"), or its number as text.
std::string SignalName(int signal);
// "Stopped by signal 15 (SIGTERM)": the message of a run a stop signal ended.
std::string StoppedMessage(int signal);

// The log that `--log` names, opened before any unit is touched: a regular file or a new one,
// never followed through a link, and never a FIFO or device that could block the run's end.
class RecordLog {
public:
    RecordLog() = default;
    ~RecordLog();
    RecordLog(const RecordLog&) = delete;
    RecordLog& operator=(const RecordLog&) = delete;

    // False with the reason when `path` cannot be a log.
    bool Open(const std::string& path, std::string& reason);
    bool IsOpen() const { return m_fd >= 0; }
    // Appends `line` and a line end in one write, so runs sharing a log never interleave
    // within a line. False with the system's reason on failure.
    bool Append(const std::string& line, std::string& reason) const;
    int Fd() const { return m_fd; }

private:
    void Close();

    int m_fd = -1;
};

// The record a run leaves when a stop cannot wait for the run to unwind: rendered ahead for
// each stop signal, and written from the signal handler with nothing but write().
namespace StopRecord {
// Where the record goes: the log's descriptor (or -1) and standard output under --json.
void SetOutputs(int logFd, bool toStdout);
// Renders `record` as a stop by each stop signal would end it.
void Prepare(const RunRecord& record);
// The run wrote its record itself; nothing is written after.
void Disarm();
// Writes the record prepared for `signal`, once. Safe inside a signal handler.
void WriteNow(int signal) noexcept;
}  // namespace StopRecord
