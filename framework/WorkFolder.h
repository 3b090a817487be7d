#pragma once

#include <string>

// The folder where a run keeps its working files ("tmp.bin", "log1.bin", "log2.bin"): the
// current folder unless a front end names another.
void SetWorkFolder(const std::string& folder);
const std::string& WorkFolder();
// The path of a working file: `name` inside the working folder.
std::string WorkFile(const std::string& name);

// Holds a working folder for one run at a time. The lock is the system's (a lock on a file in
// the folder), so it goes away with the process however that ends; the file keeps the holder's
// process id so a refused run can name it.
class WorkFolderLock {
public:
    static constexpr const char* kLockFile = ".flashtool.lock";

    WorkFolderLock() = default;
    ~WorkFolderLock();
    WorkFolderLock(const WorkFolderLock&) = delete;
    WorkFolderLock& operator=(const WorkFolderLock&) = delete;

    // Takes the lock on `folder`. On failure returns false with a message for the user in
    // `reason`: the folder is held by another run (naming its process) or cannot be used.
    bool Acquire(const std::string& folder, std::string& reason);
    void Release();
    bool Held() const;
    // After a refused Acquire: whether another run holds the folder, and its process id (empty
    // when unknown).
    bool HeldByAnother() const { return m_heldByAnother; }
    const std::string& Holder() const { return m_holder; }

private:
    bool m_heldByAnother = false;
    std::string m_holder;
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};
