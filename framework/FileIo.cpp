#include "framework/FileIo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

namespace {

constexpr const char* kStagingSuffix = ".new";
constexpr const char* kPartialSuffix = ".part";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool RenameOver(const std::string& from, const std::string& to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
    return !error;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& content, std::string& reason) {
    errno = 0;
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        reason = std::strerror(errno);
        return false;
    }
    content.clear();
    // A regular file is read in one go; anything else in pieces until its end.
    if (std::fseek(file.get(), 0, SEEK_END) == 0) {
        const long size = std::ftell(file.get());
        if (size > 0 && std::fseek(file.get(), 0, SEEK_SET) == 0) {
            content.resize(static_cast<size_t>(size));
            content.resize(std::fread(content.data(), 1, content.size(), file.get()));
        } else {
            std::rewind(file.get());
        }
    }
    char buffer[1 << 16];
    for (;;) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        content.append(buffer, got);
        if (got < sizeof buffer) {
            break;
        }
    }
    if (std::ferror(file.get())) {
        reason = errno != 0 ? std::strerror(errno) : "read error";
        return false;
    }
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
    const std::string partial = path + kPartialSuffix;
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

StagedFiles::~StagedFiles() {
    for (const std::string& finalPath : m_finalPaths) {
        std::remove((finalPath + kStagingSuffix).c_str());
    }
}

std::string StagedFiles::Stage(const std::string& finalPath) {
    m_finalPaths.push_back(finalPath);
    return finalPath + kStagingSuffix;
}

bool StagedFiles::Commit() {
    bool ok = true;
    for (const std::string& finalPath : m_finalPaths) {
        ok = ok && RenameOver(finalPath + kStagingSuffix, finalPath);
    }
    if (ok) {
        m_finalPaths.clear();
    }
    return ok;
}
