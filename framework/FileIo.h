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
// the bytes go to a new file of this run's own beside it, which is renamed over `path` once
// written and flushed. Whatever stood at `path` (a link included) is replaced, never written
// through.
bool WriteFileAtomically(const std::string& path, const std::string& content);

// Removes every file that is being written or staged at this moment. Safe inside a signal
// handler, so a run that is stopped leaves no half-written file behind.
void RemovePendingFiles() noexcept;

// Files that replace their namesakes only together, once everything they depend on succeeded.
// Each is written to a new file under a fresh name beside its final name (created there, so no
// name planted beforehand is ever opened); Commit renames them into place. Staged files that
// were never committed are removed.
class StagedFiles {
public:
    StagedFiles() = default;
    ~StagedFiles();
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    // Writes `content` to be put at `finalPath` by Commit; false when it cannot be written.
    bool Write(const std::string& finalPath, const std::string& content);
    // Renames every staged file over its final name, in the order staged.
    bool Commit();

private:
    struct Staged {
        std::string finalPath;
        std::string stagedPath;
        int slot;  // where the staged name is registered as pending
    };
    std::vector<Staged> m_files;
};
