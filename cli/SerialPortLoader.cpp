#include "cli/SerialPortLoader.h"

#include <filesystem>

#include "framework/InstallPaths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using CreateFn = CMSComm* (*)(const char*);
constexpr const char* kCreateSymbol = "FlashtoolCreateSerialPort";
#ifdef _WIN32
constexpr const char* kPlugin = "flashtool_serial.dll";
#else
constexpr const char* kPlugin = "libflashtool_serial.so";
#endif

// Loads the plug-in once and keeps it for the life of the process.
CreateFn Factory() {
    static CreateFn create = [] {
        const std::string path = (std::filesystem::path(ProgramDirectory()) / kPlugin).string();
#ifdef _WIN32
        HMODULE module = LoadLibraryA(path.c_str());
        if (module == nullptr) {
            throw CommError("cannot load the serial port support " + path);
        }
        auto found = reinterpret_cast<CreateFn>(GetProcAddress(module, kCreateSymbol));
#else
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            throw CommError(std::string("cannot load the serial port support: ") + dlerror());
        }
        auto found = reinterpret_cast<CreateFn>(dlsym(module, kCreateSymbol));
#endif
        if (found == nullptr) {
            throw CommError("the serial port support " + path + " is damaged");
        }
        return found;
    }();
    return create;
}

}  // namespace

std::unique_ptr<CMSComm> LoadSerialPort(const std::string& fixedPort) {
    return std::unique_ptr<CMSComm>(Factory()(fixedPort.c_str()));
}
