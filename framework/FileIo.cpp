#include "framework/FileIo.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <random>
#include <system_error>

#ifdef _WIN32
#define NOMINMAX
#include <io.h>
#include <windows.h>
#define unlink _unlink
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

unsigned ProcessId() {
#ifdef _WIN32
    return static_cast<unsigned>(GetCurrentProcessId());
#else
    return static_cast<unsigned>(getpid());
#endif
}

constexpr const char* kStagingSuffix = ".new";
constexpr size_t kBytesPerMiB = 1024 * 1024;
// A fresh name that is taken already is someone else's; so many in a row mean something is
// wrong with the folder.
constexpr int kFreshNameAttempts = 100;

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

// A name beside `finalPath` that no file had a moment ago, as far as can be told: the file
// itself is created exclusively, so a name that turns out to be taken is simply drawn again.
std::string FreshName(const std::string& finalPath) {
    thread_local std::mt19937 random = [] {
        std::random_device device;
        std::seed_seq seed{
            device(), ProcessId(),
            static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
        return std::mt19937(seed);
    }();
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x%s", static_cast<unsigned>(random()),
                  kStagingSuffix);
    return finalPath + suffix;
}

enum class Created { Written, NameTaken, Failed };

#ifdef _WIN32

// CREATE_NEW fails on any name that exists, and with FILE_FLAG_OPEN_REPARSE_POINT a reparse
// point (a symbolic link or a junction) counts as existing itself, dangling or not.
Created CreateAndWrite(const std::string& path, const std::string& content) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? Created::NameTaken
                                                                           : Created::Failed;
    }
    constexpr size_t kChunkBytes = 1 << 20;
    bool ok = true;
    for (size_t done = 0; ok && done < content.size();) {
        const auto chunk = static_cast<DWORD>(std::min(kChunkBytes, content.size() - done));
        DWORD written = 0;
        ok = WriteFile(handle, content.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = CloseHandle(handle) && ok;
    if (!ok) {
        DeleteFileA(path.c_str());
    }
    return ok ? Created::Written : Created::Failed;
}

// Replaces the name `to` itself: a link there is replaced, not followed.
bool RenameOver(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

#else

// O_EXCL makes the open fail on any name that exists, a link included (dangling or not), so
// the bytes only ever go to a file this call created.
Created CreateAndWrite(const std::string& path, const std::string& content) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno == EEXIST ? Created::NameTaken : Created::Failed;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < content.size();) {
        const ssize_t written = write(fd, content.data() + done, content.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        ok = written > 0;
        done += ok ? static_cast<size_t>(written) : 0;
    }
    // Not flushed to the disk before the rename: the files written here are working files, and
    // no run sends one it did not write and seal itself, so one torn by a power cut is rebuilt,
    // never sent. A flush cost more than the whole conversion.
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(path.c_str());
    }
    return ok ? Created::Written : Created::Failed;
}

// rename replaces the name `to` itself: a link there is replaced, not followed.
bool RenameOver(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

#endif

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
    StagedFiles file;
    return file.Write(path, content) && file.Commit();
}

void RemovePendingFiles() noexcept {
    for (PendingSlot& slot : g_pending) {
        if (slot.ready.load()) {
            unlink(slot.path);
        }
    }
}

StagedFiles::~StagedFiles() {
    for (const Staged& file : m_files) {
        std::remove(file.stagedPath.c_str());
        DropPending(file.slot);
    }
}

bool StagedFiles::Write(const std::string& finalPath, const std::string& content) {
    for (int attempt = 0; attempt < kFreshNameAttempts; ++attempt) {
        std::string stagedPath = FreshName(finalPath);
        // Pending before it exists, so a stop at any moment leaves nothing behind.
        const int slot = AddPending(stagedPath);
        switch (CreateAndWrite(stagedPath, content)) {
            case Created::Written:
                m_files.push_back({finalPath, std::move(stagedPath), slot});
                return true;
            case Created::NameTaken:
                DropPending(slot);
                continue;
            case Created::Failed:
                DropPending(slot);
                return false;
        }
    }
    return false;
}

bool StagedFiles::Commit() {
    bool ok = true;
    for (const Staged& file : m_files) {
        ok = ok && RenameOver(file.stagedPath, file.finalPath);
    }
    if (ok) {
        for (const Staged& file : m_files) {
            DropPending(file.slot);
        }
        m_files.clear();
    }
    return ok;
}
