#pragma once

#include <cstddef>
#include <string>
#include <vector>

// No file the tool reads comes near this size; a larger one is refused unread.
constexpr size_t kMaxFileBytes = 16 * 1024 * 1024;

// Reads a whole regular file of at most kMaxFileBytes into `content`. On failure returns false
// and puts the reason into `reason`: the system's, or that the path is no regular file or too
// large.
bool ReadWholeFile(const std::string& path, std::string& content, std::string& reason);

// Writes `content` to `path` so that `path` is either replaced whole or left as it was:
// the bytes go to a file beside it, which is renamed over `path` once written and closed.
bool WriteFileAtomically(const std::string& path, const std::string& content);

// Removes every file that is being written or staged at this moment. Safe inside a signal
// handler, so a run that is stopped leaves no half-written file behind.
void RemovePendingFiles() noexcept;

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
    std::vector<int> m_slots;  // where the staged names are registered as pending
};
