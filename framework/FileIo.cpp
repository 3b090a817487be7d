#include "framework/FileIo.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#define unlink _unlink
#else
#include <unistd.h>
#endif

namespace {

constexpr const char* kStagingSuffix = ".new";
constexpr const char* kPartialSuffix = ".part";
constexpr size_t kBytesPerMiB = 1024 * 1024;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The files being written or staged, in fixed slots a signal handler can walk without taking a
// lock or allocating.
constexpr size_t kPendingSlots = 16;
constexpr size_t kPendingPathBytes = 4096;
struct PendingSlot {
    std::atomic<bool> claimed{false};  // taken by a writer
    std::atomic<bool> ready{false};    // `path` is complete
    char path[kPendingPathBytes] = {};
};
PendingSlot g_pending[kPendingSlots];

// Registers `path` as pending; returns its slot, or -1 when the table is full or the path too
// long (the file is then only left behind if the run is stopped while writing it).
int AddPending(const std::string& path) {
    if (path.size() >= kPendingPathBytes) {
        return -1;
    }
    for (size_t i = 0; i < kPendingSlots; ++i) {
        bool expected = false;
        if (g_pending[i].claimed.compare_exchange_strong(expected, true)) {
            std::memcpy(g_pending[i].path, path.c_str(), path.size() + 1);
            g_pending[i].ready = true;
            return static_cast<int>(i);
        }
    }
    return -1;
}

void DropPending(int slot) {
    if (slot >= 0) {
        g_pending[slot].ready = false;
        g_pending[slot].claimed = false;
    }
}

// Keeps a file registered as pending for the lifetime of the guard.
class PendingGuard {
public:
    explicit PendingGuard(const std::string& path) : m_slot(AddPending(path)) {}
    ~PendingGuard() { DropPending(m_slot); }
    PendingGuard(const PendingGuard&) = delete;
    PendingGuard& operator=(const PendingGuard&) = delete;

private:
    int m_slot;
};

std::string TooLargeReason() {
    return "larger than " + std::to_string(kMaxFileBytes / kBytesPerMiB) +
           " MiB (not a firmware file)";
}

// ReadWholeFile, but for running out of memory, which it leaves to its caller.
bool ReadRegularFile(const std::string& path, std::string& content, std::string& reason) {
    content.clear();
    // A directory, a device or a pipe is refused before it is opened: a pipe would block the
    // open, and a device such as /dev/zero never ends.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!error && !std::filesystem::is_regular_file(status)) {
        reason = "not a regular file";
        return false;
    }
    uintmax_t size = error ? 0 : std::filesystem::file_size(path, error);
    if (error) {
        size = 0;  // the open below finds out why
    } else if (size > kMaxFileBytes) {
        reason = TooLargeReason();
        return false;
    }
    errno = 0;
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        reason = std::strerror(errno);
        return false;
    }
    content.reserve(static_cast<size_t>(size));
    // One byte beyond the limit shows a file that grew past it while being read.
    char buffer[1 << 16];
    for (;;) {
        const size_t wanted = std::min(sizeof buffer, kMaxFileBytes + 1 - content.size());
        const size_t got = std::fread(buffer, 1, wanted, file.get());
        content.append(buffer, got);
        if (got < wanted || content.size() > kMaxFileBytes) {
            break;
        }
    }
    if (std::ferror(file.get())) {
        content.clear();
        reason = errno != 0 ? std::strerror(errno) : "read error";
        return false;
    }
    if (content.size() > kMaxFileBytes) {
        content.clear();
        reason = TooLargeReason();
        return false;
    }
    return true;
}

bool RenameOver(const std::string& from, const std::string& to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
    return !error;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& content, std::string& reason) {
    try {
        return ReadRegularFile(path, content, reason);
    } catch (const std::bad_alloc&) {
        content.clear();
        reason = "out of memory";  // short enough to need no memory of its own
        return false;
    }
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
    const std::string partial = path + kPartialSuffix;
    const PendingGuard pending(partial);
    FilePtr file(std::fopen(partial.c_str(), "wb"));
    if (!file) {
        return false;
    }
    const bool written =
        std::fwrite(content.data(), 1, content.size(), file.get()) == content.size();
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed || !RenameOver(partial, path)) {
        std::remove(partial.c_str());
        return false;
    }
    return true;
}

void RemovePendingFiles() noexcept {
    for (PendingSlot& slot : g_pending) {
        if (slot.ready.load()) {
            unlink(slot.path);
        }
    }
}

StagedFiles::~StagedFiles() {
    for (const std::string& finalPath : m_finalPaths) {
        std::remove((finalPath + kStagingSuffix).c_str());
    }
    for (const int slot : m_slots) {
        DropPending(slot);
    }
}

std::string StagedFiles::Stage(const std::string& finalPath) {
    m_finalPaths.push_back(finalPath);
    m_slots.push_back(AddPending(finalPath + kStagingSuffix));
    return finalPath + kStagingSuffix;
}

bool StagedFiles::Commit() {
    bool ok = true;
    for (const std::string& finalPath : m_finalPaths) {
        ok = ok && RenameOver(finalPath + kStagingSuffix, finalPath);
    }
    if (ok) {
        m_finalPaths.clear();
        for (const int slot : m_slots) {
            DropPending(slot);
        }
        m_slots.clear();
    }
    return ok;
}
