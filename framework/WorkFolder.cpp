#include "framework/WorkFolder.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string g_workFolder;

std::string FolderForMessages(const std::string& folder) {
    std::error_code error;
    const std::filesystem::path absolute =
        std::filesystem::absolute(folder.empty() ? "." : folder, error);
    if (error) {
        return folder;
    }
    const std::filesystem::path normal = absolute.lexically_normal();  // "/x/." gives "/x/"
    return (normal.has_filename() ? normal : normal.parent_path()).string();
}

std::string InUse(const std::string& folder, const std::string& holder) {
    return "The working folder " + FolderForMessages(folder) +
           " is in use by another flashtool run" +
           (holder.empty() ? std::string() : " (process " + holder + ")") +
           "; wait for it to end or give another folder with --work-dir.";
}

// A lock file is written to, so it must be a file of the lock's own: never a link (that would
// write the id through it to whatever it names), a folder, a device or a second name of another
// file.
std::string NotOwnFile(const std::string& folder, const std::string& path) {
    return "Cannot use the working folder " + FolderForMessages(folder) + ": " +
           FolderForMessages(path) +
           " is not a plain file of its own (a link, a folder, a device or a second name of "
           "another file); remove it and try again.";
}

std::string LockPath(const std::string& folder) {
    return (std::filesystem::path(folder.empty() ? "." : folder) / WorkFolderLock::kLockFile)
        .string();
}

}  // namespace

void SetWorkFolder(const std::string& folder) {
    g_workFolder = folder;
}

const std::string& WorkFolder() {
    return g_workFolder;
}

std::string WorkFile(const std::string& name) {
    if (g_workFolder.empty()) {
        return name;
    }
    return (std::filesystem::path(g_workFolder) / name).string();
}

WorkFolderLock::~WorkFolderLock() {
    Release();
}

#ifdef _WIN32

bool WorkFolderLock::Acquire(const std::string& folder, std::string& reason) {
    Release();
    m_heldElsewhere = false;
    m_holderId.clear();
    const std::string path = LockPath(folder);
    constexpr DWORD kNotPlain = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    // A reparse point (a symbolic link, a junction) is opened itself, never what it names.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesA(path.c_str());
        reason = attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotPlain) != 0
                     ? NotOwnFile(folder, path)
                     : "Cannot use the working folder " + FolderForMessages(folder) + ": error " +
                           std::to_string(error);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) || (info.dwFileAttributes & kNotPlain) != 0 ||
        info.nNumberOfLinks != 1 || GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        reason = NotOwnFile(folder, path);
        return false;
    }
    OVERLAPPED whole{};
    // Only the byte past the id is locked, so a refused run can still read the id.
    whole.Offset = 64;
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
        char holder[32] = {};
        DWORD got = 0;
        ReadFile(handle, holder, sizeof holder - 1, &got, nullptr);
        CloseHandle(handle);
        std::string id(holder, got);
        id = id.substr(0, id.find_first_not_of("0123456789"));
        reason = InUse(folder, id);
        m_heldElsewhere = true;
        m_holderId = id;
        return false;
    }
    const std::string id = std::to_string(GetCurrentProcessId()) + "\n";
    DWORD written = 0;
    SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(handle);
    WriteFile(handle, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
    m_handle = handle;
    return true;
}

void WorkFolderLock::Release() {
    if (m_handle != nullptr) {
        CloseHandle(static_cast<HANDLE>(m_handle));  // the system drops the lock with the handle
        m_handle = nullptr;
    }
}

bool WorkFolderLock::Held() const {
    return m_handle != nullptr;
}

#else

bool WorkFolderLock::Acquire(const std::string& folder, std::string& reason) {
    Release();
    m_heldElsewhere = false;
    m_holderId.clear();
    const std::string path = LockPath(folder);
    // Never truncated on opening: what is checked below is the file the id goes to. O_NONBLOCK
    // and O_NOCTTY keep a planted device or pipe from holding up the open or taking the terminal.
    const int fd =
        open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        reason = error == ELOOP || error == EISDIR || error == ENXIO
                     ? NotOwnFile(folder, path)
                     : "Cannot use the working folder " + FolderForMessages(folder) + ": " +
                           std::strerror(error);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        close(fd);
        reason = NotOwnFile(folder, path);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        std::string id;
        if (error == EWOULDBLOCK) {
            char holder[32] = {};
            const ssize_t got = pread(fd, holder, sizeof holder - 1, 0);
            id.assign(holder, got > 0 ? static_cast<size_t>(got) : 0);
            id = id.substr(0, id.find_first_not_of("0123456789"));
        }
        close(fd);
        m_heldElsewhere = error == EWOULDBLOCK;
        m_holderId = id;
        reason = error == EWOULDBLOCK ? InUse(folder, id)
                                      : "Cannot lock the working folder " +
                                            FolderForMessages(folder) + ": " + std::strerror(error);
        return false;
    }
    const std::string id = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, id.data(), id.size(), 0) < 0) {
        // The lock holds without the id; only the message of a refused run loses the number.
    }
    m_fd = fd;
    return true;
}

void WorkFolderLock::Release() {
    if (m_fd >= 0) {
        close(m_fd);  // the system drops the lock with the last descriptor
        m_fd = -1;
    }
}

bool WorkFolderLock::Held() const {
    return m_fd >= 0;
}

#endif
