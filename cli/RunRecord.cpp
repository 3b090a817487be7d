#include "cli/RunRecord.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cli/ExitStatus.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

nlohmann::ordered_json TextOrNull(bool present, const std::string& text) {
    return present ? nlohmann::ordered_json(text) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json Optional(const std::optional<std::string>& text) {
    return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

constexpr const char* kEndedKey = "\"ended\":\"";

// Writes all of `size` bytes to a descriptor; false when the system refused.
bool WriteAll(int fd, const char* data, size_t size) noexcept {
    while (size > 0) {
#ifdef _WIN32
        const int wrote = _write(fd, data, static_cast<unsigned>(size));
#else
        const ssize_t wrote = write(fd, data, size);
#endif
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        data += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

}  // namespace

void RunRecord::Note(const std::string& text) {
    if (message.empty()) {
        message = text;
        lastMessage.clear();
    } else if (text != message) {
        lastMessage = text;
    }
}

void RunRecord::MarkStopped(int signal) {
    const std::string last = lastMessage.empty() ? message : lastMessage;
    ok = false;
    stopped = true;
    exitStatus = kExitSignalBase + signal;
    message = StoppedMessage(signal);
    lastMessage = last;
}

std::string RunRecord::ToJsonLine() const {
    const char* result = ok ? "ok" : stopped ? "stopped" : "failed";
    nlohmann::ordered_json sent = nlohmann::ordered_json::array();
    for (const Block& block : blocks) {
        sent.push_back({
            {"name", block.name},
            {"sha256", TextOrNull(!block.sha256.empty(), block.sha256)},
            {"size", block.size >= 0 ? nlohmann::ordered_json(block.size) : nullptr},
            {"tries", block.tries},
            {"result", block.done ? "ok" : "failed"},
        });
    }
    nlohmann::ordered_json record = {
        {"tool", {{"name", tool}, {"version", toolVersion}}},
        {"host", host},
        {"command", command},
        {"edition", edition},
        {"started", started},
        {"ended", ended},
        {"port", port},
        {"port_given", portGiven},
        {"file", file},
        {"file_model", Optional(fileModel)},
        {"unit_id", Optional(unitId)},
        {"sha256", TextOrNull(!sha256.empty(), sha256)},
        {"model", Optional(model)},
        {"version", Optional(version)},
        {"version_after", Optional(versionAfter)},
        {"steps", {{"done", stepsDone}, {"total", stepsTotal}}},
        {"bytes", bytes},
        {"seconds", seconds},
        {"line_share",
         lineShare ? nlohmann::ordered_json(*lineShare) : nlohmann::ordered_json(nullptr)},
        {"blocks", sent},
        {"result", result},
        {"exit_status", exitStatus},
        {"failed_step", ok ? nullptr : Optional(failedStep)},
        {"message", TextOrNull(!ok, message)},
        {"last_message", TextOrNull(!ok && !lastMessage.empty(), lastMessage)},
    };
    // Texts from the unit or a file name may hold any byte; they are kept, not refused.
    return record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<RunRecord> RunRecord::FromJsonLine(const std::string& line) {
    const nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
    if (json.is_discarded() || !json.is_object() || !json.contains("result")) {
        return std::nullopt;
    }
    const auto text = [&json](const char* key) -> std::optional<std::string> {
        const auto found = json.find(key);
        return found != json.end() && found->is_string()
                   ? std::optional<std::string>(found->get<std::string>())
                   : std::nullopt;
    };
    RunRecord record;
    if (json.contains("tool") && json["tool"].is_object()) {
        record.tool = json["tool"].value("name", std::string());
        record.toolVersion = json["tool"].value("version", std::string());
    }
    record.host = text("host").value_or("");
    record.command = text("command").value_or("");
    record.edition = text("edition").value_or("");
    record.started = text("started").value_or("");
    record.ended = text("ended").value_or("");
    record.port = text("port").value_or("");
    record.portGiven = text("port_given").value_or("");
    record.file = text("file").value_or("");
    record.fileModel = text("file_model");
    record.unitId = text("unit_id");
    if (json.contains("blocks") && json["blocks"].is_array()) {
        for (const nlohmann::json& item : json["blocks"]) {
            if (!item.is_object()) {
                continue;
            }
            Block block;
            block.name = item.value("name", std::string());
            if (item.contains("sha256") && item["sha256"].is_string()) {
                block.sha256 = item["sha256"].get<std::string>();
            }
            if (item.contains("size") && item["size"].is_number_integer()) {
                block.size = item["size"].get<int64_t>();
            }
            block.tries = item.value("tries", 0);
            block.done = item.value("result", std::string()) == "ok";
            record.blocks.push_back(block);
        }
    }
    record.exitStatus = json.value("exit_status", 1);
    record.failedStep = text("failed_step");
    record.sha256 = text("sha256").value_or("");
    record.model = text("model");
    record.version = text("version");
    record.versionAfter = text("version_after");
    if (json.contains("steps") && json["steps"].is_object()) {
        record.stepsDone = json["steps"].value("done", 0);
        record.stepsTotal = json["steps"].value("total", 0);
    }
    record.bytes = json.value("bytes", int64_t{0});
    record.seconds = json.value("seconds", 0.0);
    if (json.contains("line_share") && json["line_share"].is_number()) {
        record.lineShare = json["line_share"].get<double>();
    }
    const std::string result = text("result").value_or("");
    record.ok = result == "ok";
    record.stopped = result == "stopped";
    record.message = text("message").value_or("");
    record.lastMessage = text("last_message").value_or("");
    return record;
}

void FormatUtc(int64_t unixMs, char (&text)[25]) noexcept {
    // Days to a civil date (the proleptic Gregorian calendar), without the C library's locks.
    const int64_t ms = ((unixMs % 1000) + 1000) % 1000;
    const int64_t seconds = (unixMs - ms) / 1000;
    int64_t days = seconds / 86400;
    int64_t inDay = seconds % 86400;
    if (inDay < 0) {
        inDay += 86400;
        --days;
    }
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    const int64_t fields[] = {year, month, day, inDay / 3600, inDay / 60 % 60, inDay % 60, ms};
    const int widths[] = {4, 2, 2, 2, 2, 2, 3};
    const char after[] = {'-', '-', 'T', ':', ':', '.', 'Z'};
    size_t at = 0;
    for (size_t i = 0; i < 7; ++i) {
        int64_t value = fields[i] < 0 ? 0 : fields[i];
        for (int digit = widths[i] - 1; digit >= 0; --digit) {
            text[at + static_cast<size_t>(digit)] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        at += static_cast<size_t>(widths[i]);
        text[at++] = after[i];
    }
    text[at] = '\0';
}

namespace {

int64_t UnixMsNow() noexcept {
#ifdef _WIN32
    constexpr int64_t kUnixEpochIn100Ns = 116444736000000000LL;  // 1970 counted from 1601
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const int64_t ticks = (static_cast<int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (ticks - kUnixEpochIn100Ns) / 10000;
#else
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);  // safe in a signal handler
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}

}  // namespace

std::string UtcNow() {
    char text[25];
    FormatUtc(UnixMsNow(), text);
    return text;
}

std::string HostName() {
    char name[256] = {};
#ifdef _WIN32
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        return {};
    }
#else
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
#endif
    return name;
}

std::string SignalName(int signal) {
    static const struct {
        int number;
        const char* name;
    } kNames[] = {
        {SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"}, {SIGABRT, "SIGABRT"},
        {SIGSEGV, "SIGSEGV"}, {SIGILL, "SIGILL"},   {SIGFPE, "SIGFPE"},
#ifndef _WIN32
        {SIGHUP, "SIGHUP"},   {SIGKILL, "SIGKILL"}, {SIGPIPE, "SIGPIPE"},
        {SIGQUIT, "SIGQUIT"}, {SIGBUS, "SIGBUS"},   {SIGXFSZ, "SIGXFSZ"},
#endif
    };
    for (const auto& entry : kNames) {
        if (entry.number == signal) {
            return entry.name;
        }
    }
    return "signal " + std::to_string(signal);
}

std::string StoppedMessage(int signal) {
    return "Stopped by signal " + std::to_string(signal) + " (" + SignalName(signal) + ")";
}

RecordLog::~RecordLog() {
    Close();
}

void RecordLog::Close() {
    if (m_fd >= 0) {
#ifdef _WIN32
        _close(m_fd);
#else
        close(m_fd);
#endif
        m_fd = -1;
    }
}

bool RecordLog::Open(const std::string& path, std::string& reason) {
#ifdef _WIN32
    m_fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, 0644);
    struct _stat64 info {};
    const bool stated = m_fd >= 0 && _fstat64(m_fd, &info) == 0;
    const bool regular = stated && (info.st_mode & _S_IFMT) == _S_IFREG;
#else
    // Not blocking on a FIFO with no reader, and not following a link planted in its place.
    m_fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                0644);
    struct stat info {};
    const bool stated = m_fd >= 0 && fstat(m_fd, &info) == 0;
    const bool regular = stated && S_ISREG(info.st_mode);
#endif
    if (m_fd < 0 || !stated) {
        // A FIFO without a reader answers ENXIO to a write-only open that must not block.
        reason = errno == ELOOP   ? "it is a symbolic link"
                 : errno == ENXIO ? "not a regular file"
                                  : std::strerror(errno);
    } else if (!regular) {
        reason = "not a regular file";
    } else {
        return true;
    }
    Close();
    return false;
}

bool RecordLog::Append(const std::string& line, std::string& reason) const {
    const std::string whole = line + "\n";
    if (!WriteAll(m_fd, whole.data(), whole.size())) {
        reason = errno != 0 ? std::strerror(errno) : "the write was cut short";
        return false;
    }
    return true;
}

namespace StopRecord {
namespace {

constexpr size_t kMaxLine = 16 * 1024;  // a longer record is not kept for a hard stop
#ifdef _WIN32
constexpr int kStopSignals[] = {SIGINT};
#else
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#endif
constexpr size_t kSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

// Two banks: the handler reads the one in use while the other is rendered.
struct Bank {
    std::array<std::array<char, kMaxLine>, kSignalCount> lines;
    std::array<size_t, kSignalCount> sizes{};
    std::array<size_t, kSignalCount> endedAt{};  // where the end time's text starts, or 0
};
Bank g_banks[2];
std::atomic<int> g_active{-1};
std::atomic<bool> g_armed{true};
int g_logFd = -1;
bool g_toStdout = false;

}  // namespace

void SetOutputs(int logFd, bool toStdout) {
    g_logFd = logFd;
    g_toStdout = toStdout;
}

void Prepare(const RunRecord& record) {
    if (g_logFd < 0 && !g_toStdout) {
        return;  // a stop would have nowhere to write the record (the image command)
    }
    const int next = g_active.load() == 0 ? 1 : 0;
    Bank& bank = g_banks[next];
    for (size_t i = 0; i < kSignalCount; ++i) {
        RunRecord stopped = record;
        stopped.MarkStopped(kStopSignals[i]);
        stopped.ended = UtcNow();  // a stand-in of the same width, overwritten by the stop
        const std::string line = stopped.ToJsonLine() + "\n";
        bank.sizes[i] = line.size() <= kMaxLine ? line.size() : 0;
        std::memcpy(bank.lines[i].data(), line.data(), bank.sizes[i]);
        // The end time is written in when the stop comes.
        const size_t key = line.find(kEndedKey);
        const size_t value = key == std::string::npos ? 0 : key + std::strlen(kEndedKey);
        bank.endedAt[i] = value > 0 && line.compare(value + 24, 1, "\"") == 0 ? value : 0;
    }
    g_active = next;
}

void Disarm() {
    g_armed = false;
}

void WriteNow(int signal) noexcept {
    const int active = g_active.load();
    if (!g_armed.exchange(false) || active < 0) {
        return;
    }
    Bank& bank = g_banks[active];
    for (size_t i = 0; i < kSignalCount; ++i) {
        if (kStopSignals[i] == signal && bank.sizes[i] > 0) {
            if (bank.endedAt[i] > 0) {
                char ended[25];
                FormatUtc(UnixMsNow(), ended);
                std::memcpy(bank.lines[i].data() + bank.endedAt[i], ended, 24);
            }
            if (g_logFd >= 0) {
                WriteAll(g_logFd, bank.lines[i].data(), bank.sizes[i]);
            }
            if (g_toStdout) {
                WriteAll(1, bank.lines[i].data(), bank.sizes[i]);
            }
        }
    }
}

}  // namespace StopRecord
