#include "framework/InstallPaths.h"

#include <cstdlib>
#include <filesystem>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr const char* kRootSetting = "FLASHTOOL_INSTALL_DIR";
constexpr const char* kVendorFolder = "Kestrune";
constexpr const char* kKernelFile = "3062f.bin";
constexpr const char* kPreLoaderFile = "PreFlash.bin";

std::optional<std::string>& ChosenRoot() {
    static std::optional<std::string> root;
    return root;
}

std::string DefaultRoot() {
#ifdef _WIN32
    // The system's own program folder, "C:\\Program Files" on most machines.
    const char* programFiles = std::getenv("ProgramFiles");
    return programFiles != nullptr && *programFiles != '\0' ? programFiles : "C:\\Program Files";
#else
    return (std::filesystem::path(ProgramDirectory()).parent_path() / "share").string();
#endif
}

std::string InRoot(const char* file) {
    return (std::filesystem::path(InstallRoot()) / kVendorFolder / file).string();
}

}  // namespace

std::string ProgramDirectory() {
#ifdef _WIN32
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return std::filesystem::path(path).parent_path().string();
#else
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : program.parent_path().string();
#endif
}

std::string InstallRoot() {
    if (ChosenRoot()) {
        return *ChosenRoot();
    }
    if (const char* setting = std::getenv(kRootSetting); setting != nullptr && *setting != '\0') {
        return setting;
    }
    return DefaultRoot();
}

void SetInstallRoot(const std::string& root) {
    ChosenRoot() = root;
}

std::string KernelPath() {
    return InRoot(kKernelFile);
}

std::string PreLoaderPath() {
    return InRoot(kPreLoaderFile);
}
