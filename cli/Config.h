#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

// The settings a station keeps: given on the command line, else by an environment setting,
// else in the configuration file, else the built-in default. The file is read with CLI11's
// INI/TOML reader; its keys stand at the top, outside any section, and serve every command
// that takes the option (port = ["1", "2"], log = "line.jsonl", confirm = true, retries = 2,
// work-dir, install-dir, edition).
class StationConfig {
public:
    // Where each setting of the run came from, for --print-config.
    struct Origin {
        std::string key;
        std::string value;   // as in force, several ports joined by ", "
        std::string source;  // "command line", "environment NAME", "file PATH" or "default"
    };

    // The file a station's settings live in when no --config names one: on Windows
    // %APPDATA%\flashtool\flashtool.conf, elsewhere $XDG_CONFIG_HOME/flashtool/flashtool.conf
    // with ~/.config for an unset XDG_CONFIG_HOME. Empty when neither names a folder.
    static std::string DefaultPath();

    // Reads the file at `path`. A missing file is no error unless `named` (given by --config).
    // False after a message naming the file in `error`: a file that cannot be read, a line that
    // is no KEY = VALUE, a key the tool does not know, or several values for a single one.
    bool Load(const std::string& path, bool named, std::string& error);

    // Fills the options of `command` (the parsed subcommand) that its command line left out,
    // through the options' own checks, and notes where every setting came from. Settings the
    // command does not take are left alone. False after a message naming the source in `error`.
    bool Apply(CLI::App& command, std::string& error);

    const std::string& Path() const { return m_path; }
    bool Found() const { return m_found; }
    const std::vector<Origin>& Origins() const { return m_origins; }

private:
    struct Entry {
        std::string key;
        std::vector<std::string> values;
    };
    const Entry* Find(const std::string& key) const;

    std::string m_path;
    bool m_found = false;
    std::vector<Entry> m_entries;
    std::vector<Origin> m_origins;
};
