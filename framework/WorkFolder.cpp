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
#include <unistd.h>
#endif

namespace {

std::string g_workFolder;

std::string FolderForMessages(const std::string& folder) {
    std::error_code error;
    const std::filesystem::path absolute =
        std::filesystem::absolute(folder.empty() ? "." : folder, error);
    return error ? folder : absolute.lexically_normal().string();
}

std::string InUse(const std::string& folder, const std::string& holder) {
    return "The working folder " + FolderForMessages(folder) +
           " is in use by another flashtool run" +
           (holder.empty() ? std::string() : " (process " + holder + ")") +
           "; wait for it to end or give another folder with --work-dir.";
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
    m_heldByAnother = false;
    m_holder.clear();
    const std::string path = LockPath(folder);
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = "Cannot use the working folder " + FolderForMessages(folder) + ": error " +
                 std::to_string(GetLastError());
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
        m_heldByAnother = true;
        m_holder = id;
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
    m_heldByAnother = false;
    m_holder.clear();
    const std::string path = LockPath(folder);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        reason = "Cannot use the working folder " + FolderForMessages(folder) + ": " +
                 std::strerror(errno);
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
        m_heldByAnother = error == EWOULDBLOCK;
        m_holder = id;
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
