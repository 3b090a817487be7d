#include "framework/InstallPaths.h"

#include <cstdlib>
#include <filesystem>
#include <optional>

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
    return "C:\\Program Files";
#else
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return "share";
    }
    return (program.parent_path().parent_path() / "share").string();
#endif
}

std::string InRoot(const char* file) {
    return (std::filesystem::path(InstallRoot()) / kVendorFolder / file).string();
}

}  // namespace

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
