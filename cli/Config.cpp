#include "cli/Config.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "framework/InstallPaths.h"

namespace {

constexpr size_t kMaxFileBytes = 64 * 1024;  // a station's settings are a few lines
constexpr const char* kFolder = "flashtool";
constexpr const char* kFileName = "flashtool.conf";

// A setting: its key in the file, the option it stands for, its environment setting, and what
// is in force without any of them.
struct Key {
    const char* name;
    const char* option;
    const char* environment;
    bool several;  // the port: a list in the file, comma-separated in the environment
    const char* fallback;
};

const Key kKeys[] = {
    {"port", "--port", "FLASHTOOL_PORT", true, "none"},
    {"log", "--log", "FLASHTOOL_LOG", false, "none"},
    {"confirm", "--confirm", "FLASHTOOL_CONFIRM", false, "false"},
    {"retries", "--retries", "FLASHTOOL_RETRIES", false, "0"},
    {"work-dir", "--work-dir", "FLASHTOOL_WORK_DIR", false, "the current folder"},
    {"install-dir", "--install-dir", "FLASHTOOL_INSTALL_DIR", false, nullptr},
    {"edition", "--edition", "FLASHTOOL_EDITION", false, "A"},
};

const Key* KnownKey(const std::string& name) {
    for (const Key& key : kKeys) {
        if (name == key.name) {
            return &key;
        }
    }
    return nullptr;
}

std::string KnownKeys() {
    std::string text;
    for (const Key& key : kKeys) {
        text += (text.empty() ? "" : ", ") + std::string(key.name);
    }
    return text;
}

std::string Join(const std::vector<std::string>& values) {
    std::string text;
    for (const std::string& value : values) {
        text += (text.empty() ? "" : ", ") + value;
    }
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    return first == std::string::npos
               ? std::string()
               : text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// CLI11's reader takes any line without "=" for a flag; here such a line is a mistake. Returns
// the number of the first line that is neither blank, a comment, a [section] nor KEY = VALUE
// (an array may go on over the lines up to its "]"), or 0.
int MalformedLine(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    bool inArray = false;
    while (std::getline(lines, line)) {
        ++number;
        line = Trim(line);
        if (inArray) {
            inArray = line.find(']') == std::string::npos;
            continue;
        }
        if (line.empty() || line.front() == '#' || line.front() == ';' ||
            (line.front() == '[' && line.back() == ']')) {
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos || Trim(line.substr(0, equals)).empty()) {
            return number;
        }
        const std::string value = Trim(line.substr(equals + 1));
        inArray = !value.empty() && value.front() == '[' && value.find(']') == std::string::npos;
    }
    return 0;
}

}  // namespace

std::string StationConfig::DefaultPath() {
    std::filesystem::path folder;
#ifdef _WIN32
    if (const char* appData = std::getenv("APPDATA"); appData != nullptr && *appData != '\0') {
        folder = appData;
    }
#else
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        folder = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        folder = std::filesystem::path(home) / ".config";
    }
#endif
    return folder.empty() ? std::string() : (folder / kFolder / kFileName).string();
}

bool StationConfig::Load(const std::string& path, bool named, std::string& error) {
    m_path = path;
    m_found = false;
    m_entries.clear();
    if (path.empty()) {
        return true;
    }
    std::error_code status;
    const bool exists = std::filesystem::exists(path, status);
    if (!exists && !named && !status) {
        return true;
    }
    std::ifstream in;
    if (exists && !std::filesystem::is_directory(path, status)) {
        in.open(path, std::ios::binary);
    }
    if (!in.is_open()) {
        error = "Cannot read the configuration file " + path + ": " +
                (exists ? "not a readable file" : "no such file");
        return false;
    }
    std::string text(kMaxFileBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxFileBytes) {
        error = "The configuration file " + path + " is larger than " +
                std::to_string(kMaxFileBytes / 1024) + " KiB";
        return false;
    }
    if (const int line = MalformedLine(text)) {
        error = path + ", line " + std::to_string(line) + ": expected KEY = VALUE";
        return false;
    }
    std::istringstream stream(text);
    for (const CLI::ConfigItem& item : CLI::ConfigTOML().from_config(stream)) {
        if ((item.name == "--" || item.name == "++") && item.inputs.empty()) {
            continue;  // the reader's marks for a section's start and end
        }
        std::string name = item.fullname();
        std::replace(name.begin(), name.end(), '_', '-');
        const Key* key = KnownKey(name);
        if (key == nullptr) {
            error =
                path + ": unknown key " + item.fullname() + " (the keys are " + KnownKeys() + ")";
            return false;
        }
        std::vector<std::string> values = item.inputs;
        if (const Entry* earlier = Find(name)) {
            values.insert(values.begin(), earlier->values.begin(), earlier->values.end());
            m_entries.erase(m_entries.begin() + (earlier - m_entries.data()));
        }
        if (!key->several && values.size() != 1) {
            error = path + ": " + name + " takes one value";
            return false;
        }
        m_entries.push_back({name, std::move(values)});
    }
    m_found = true;
    return true;
}

const StationConfig::Entry* StationConfig::Find(const std::string& key) const {
    for (const Entry& entry : m_entries) {
        if (entry.key == key) {
            return &entry;
        }
    }
    return nullptr;
}

bool StationConfig::Apply(CLI::App& command, std::string& error) {
    m_origins.clear();
    for (const Key& key : kKeys) {
        CLI::Option* option = command.get_option_no_throw(key.option);
        if (option == nullptr) {
            continue;
        }
        // A flag is shown as it was taken: "yes" or "1" is true.
        const auto shown = [option](const std::vector<std::string>& values) {
            return option->get_expected_min() == 0
                       ? std::string(option->as<bool>() ? "true" : "false")
                       : Join(values);
        };
        if (option->count() > 0) {
            m_origins.push_back({key.name, shown(option->results()), "command line"});
            continue;
        }
        std::vector<std::string> values;
        std::string source;
        if (const char* setting = std::getenv(key.environment);
            setting != nullptr && *setting != '\0') {
            std::istringstream items(setting);
            for (std::string item; key.several && std::getline(items, item, ',');) {
                if (!Trim(item).empty()) {
                    values.push_back(Trim(item));
                }
            }
            if (!key.several) {
                values.emplace_back(setting);
            }
            source = "environment " + std::string(key.environment);
        } else if (const Entry* entry = Find(key.name)) {
            values = entry->values;
            source = "file " + m_path;
        }
        if (values.empty()) {
            m_origins.push_back(
                {key.name, key.fallback != nullptr ? key.fallback : InstallRoot(), "default"});
            continue;
        }
        // Through the option's own checks, as if given on the command line.
        try {
            option->add_result(values);
            option->run_callback();
        } catch (const CLI::Error& failure) {
            error = source + ": " + key.name + ": " + failure.what();
            return false;
        }
        m_origins.push_back({key.name, shown(values), source});
    }
    return true;
}
