#include "cli/ChildProcess.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "framework/WorkFolder.h"

namespace fs = std::filesystem;

namespace {

bool ProcessAlive(int pid) {
#ifdef _WIN32
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return false;
    }
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
#else
    return kill(pid, 0) == 0 || errno == EPERM;
#endif
}

}  // namespace

int OwnProcessId() {
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

#ifdef _WIN32
BOOL WINAPI ParentStop::OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        Caught(SIGINT);
        return TRUE;
    }
    return FALSE;
}

void ParentStop::Catch() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}
#else
void ParentStop::Catch() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}
#endif

void RemoveStaleWorkFolders() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kWorkFolderPrefix, 0) != 0 || !entry.is_directory(error)) {
            continue;
        }
        const int owner = std::atoi(name.c_str() + std::strlen(kWorkFolderPrefix));
        if (owner <= 0 || owner == OwnProcessId() || ProcessAlive(owner)) {
            continue;
        }
        WorkFolderLock lock;
        std::string reason;
        if (lock.Acquire(entry.path().string(), reason)) {
            lock.Release();
            fs::remove_all(entry.path(), error);
        }
    }
}

std::optional<fs::path> MakeWorkFolder() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path folder =
            fs::temp_directory_path() /
            (kWorkFolderPrefix + std::to_string(OwnProcessId()) + "-" + std::to_string(random()));
        std::error_code error;
        if (fs::create_directory(folder, error)) {
            return folder;
        }
    }
    return std::nullopt;
}

std::vector<fs::path> MakeWorkFolders(size_t count) {
    RemoveStaleWorkFolders();
    std::vector<fs::path> folders;
    for (size_t i = 0; i < count; ++i) {
        const std::optional<fs::path> folder = MakeWorkFolder();
        if (!folder) {
            std::fprintf(stderr, "Cannot create a working folder in %s\n",
                         fs::temp_directory_path().string().c_str());
            return {};
        }
        folders.push_back(*folder);
    }
    return folders;
}
