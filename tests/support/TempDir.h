#pragma once

#include <filesystem>
#include <string>

// A fresh folder that is the current directory for the lifetime of the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
    std::filesystem::path m_previous;
};

// Makes `link` a symbolic link to `target` (which need not exist); false where the system or
// the test's rights allow none.
bool PlantLink(const std::string& target, const std::string& link);
