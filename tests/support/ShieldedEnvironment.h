#pragma once

// The programs a test starts see none of the machine's own settings: no FLASHTOOL_* variable,
// and an empty folder of their own for the configuration file. Set once, when the test program
// starts, for every child it starts after.

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace shielded_environment {

inline std::filesystem::path& ConfigFolder() {
    static std::filesystem::path folder;
    return folder;
}

inline bool Shield() {
    std::vector<std::string> names;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("FLASHTOOL_", 0) == 0) {
            names.push_back(variable.substr(0, variable.find('=')));
        }
    }
    for (const std::string& name : names) {
        unsetenv(name.c_str());
    }
    std::filesystem::path& config = ConfigFolder();
    config = std::filesystem::temp_directory_path() /
             ("flashtool-test-config-" + std::to_string(getpid()));
    std::error_code error;
    std::filesystem::remove_all(config, error);
    std::filesystem::create_directories(config, error);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(ConfigFolder(), ignored);
    });
    return true;
}

inline const bool kShielded = Shield();

}  // namespace shielded_environment
