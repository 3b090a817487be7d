#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What one unit's run did, as `--json` prints it and `--log` keeps it: one JSON object a line.
struct RunRecord {
    // One block the run sent: the image as it went out, and how often it was tried.
    struct Block {
        std::string name;    // "control", "MPPT", "TempErase"
        std::string sha256;  // of the image sent; empty when no transfer of it ended
        int64_t size = -1;   // of that image, in bytes
        int tries = 0;
        bool done = false;  // the unit confirmed the block's completion
    };

    std::string tool = "flashtool";
    std::string toolVersion;
    std::string host;     // the machine's name
    std::string command;  // the subcommand: "flash", "mppt", ...
    std::string edition;  // "A" or "B"
    std::string started;  // UTC, ISO 8601 with milliseconds
    std::string ended;
    std::string port;       // as the system names it
    std::string portGiven;  // as typed
    std::string file;
    std::optional<std::string> fileModel;  // the model the file's name gives, as the table names it
    std::optional<std::string> unitId;     // the ten data bytes of the discovery answer, as hex
    std::vector<Block> blocks;
    int exitStatus = 1;
    std::optional<std::string> failedStep;  // of the vocabulary in README; none on success
    std::string sha256;                     // of the firmware bytes this run read
    std::optional<std::string> model;       // as the unit identified itself
    std::optional<std::string> version;
    std::optional<std::string> versionAfter;  // as it identified after programming (--confirm)
    int stepsDone = 0;
    int stepsTotal = 0;
    int64_t bytes = 0;                // put on the line by the programming transfers
    std::optional<double> lineShare;  // of the 9600-baud line rate the completed transfers reached
    double seconds = 0;  // the whole run, in the unit's time (virtual time under --sim-virtual)
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

// The time `unixMs` as "2026-01-31T12:00:00.000Z". Safe inside a signal handler.
void FormatUtc(int64_t unixMs, char (&text)[25]) noexcept;
// The wall clock now, as FormatUtc writes it.
std::string UtcNow();
// The machine's name, or "" when the system does not say.
std::string HostName();

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
