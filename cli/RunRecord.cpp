#include "cli/RunRecord.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

std::string RunRecord::ToJsonLine() const {
    nlohmann::ordered_json record = {
        {"port", port},
        {"file", file},
        {"sha256",
         sha256.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(sha256)},
        {"model", model ? nlohmann::ordered_json(*model) : nlohmann::ordered_json(nullptr)},
        {"version", version ? nlohmann::ordered_json(*version) : nlohmann::ordered_json(nullptr)},
        {"steps", {{"done", stepsDone}, {"total", stepsTotal}}},
        {"bytes", bytes},
        {"seconds", seconds},
        {"line_share",
         lineShare ? nlohmann::ordered_json(*lineShare) : nlohmann::ordered_json(nullptr)},
        {"result", ok ? "ok" : "failed"},
        {"message", ok ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(message)},
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
    record.port = text("port").value_or("");
    record.file = text("file").value_or("");
    record.sha256 = text("sha256").value_or("");
    record.model = text("model");
    record.version = text("version");
    if (json.contains("steps") && json["steps"].is_object()) {
        record.stepsDone = json["steps"].value("done", 0);
        record.stepsTotal = json["steps"].value("total", 0);
    }
    record.bytes = json.value("bytes", int64_t{0});
    record.seconds = json.value("seconds", 0.0);
    if (json.contains("line_share") && json["line_share"].is_number()) {
        record.lineShare = json["line_share"].get<double>();
    }
    record.ok = text("result").value_or("") == "ok";
    record.message = text("message").value_or("");
    return record;
}

bool AppendLine(const std::string& path, const std::string& line, std::string& reason) {
    const std::string whole = line + "\n";
#ifdef _WIN32
    const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, 0644);
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
#endif
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
#ifdef _WIN32
    const bool written = _write(fd, whole.data(), static_cast<unsigned>(whole.size())) ==
                         static_cast<int>(whole.size());
    _close(fd);
#else
    const bool written =
        write(fd, whole.data(), whole.size()) == static_cast<ssize_t>(whole.size());
    close(fd);
#endif
    if (!written) {
        reason = std::strerror(errno);
    }
    return written;
}
