#pragma once

#include <string>
#include <vector>

// Reads a whole file into `content`. On failure returns false and puts the system's reason
// into `reason`.
bool ReadWholeFile(const std::string& path, std::string& content, std::string& reason);

// Writes `content` to `path` so that `path` is either replaced whole or left as it was:
// the bytes go to a file beside it, which is renamed over `path` once written and closed.
bool WriteFileAtomically(const std::string& path, const std::string& content);

// Files that replace their namesakes only together, once everything they depend on succeeded.
// Each is written under a staging name beside its final name; Commit renames them into place.
// Staged files that were never committed are removed.
class StagedFiles {
public:
    StagedFiles() = default;
    ~StagedFiles();
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    // Returns the staging name under which `finalPath` is to be written.
    std::string Stage(const std::string& finalPath);
    // Renames every staged file over its final name, in the order staged.
    bool Commit();

private:
    std::vector<std::string> m_finalPaths;
};
