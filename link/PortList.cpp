#include "link/PortList.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifndef _WIN32

namespace fs = std::filesystem;

std::string FirstLine(const fs::path& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The nearest folder at or above `device` that holds `file` (USB attributes live on the
// device, some levels above the interface a tty hangs on).
fs::path UpTo(const fs::path& device, const char* file) {
    std::error_code error;
    for (fs::path at = device; !at.empty() && at != at.root_path(); at = at.parent_path()) {
        if (fs::exists(at / file, error)) {
            return at;
        }
    }
    return {};
}

// A platform UART that the kernel registers whether or not a chip is there (ttyS0..ttyS31 on a
// PC) has no I/O port behind it when there is none.
bool PhantomUart(const fs::path& ttyClass) {
    const std::string type = FirstLine(ttyClass / "type");
    return !type.empty() && type == "0";
}

std::vector<SerialPortInfo> ListLinuxPorts() {
    std::vector<SerialPortInfo> ports;
    std::error_code error;
    const fs::path classDir = "/sys/class/tty";
    for (const auto& entry : fs::directory_iterator(classDir, error)) {
        const fs::path deviceLink = entry.path() / "device";
        if (!fs::exists(deviceLink, error) || PhantomUart(entry.path())) {
            continue;  // virtual terminals, pseudo-terminals and the like
        }
        SerialPortInfo info;
        info.name = "/dev/" + entry.path().filename().string();
        const fs::path device = fs::canonical(deviceLink, error);
        const std::string driver = fs::canonical(deviceLink / "driver", error).filename().string();
        info.description = driver;
        const fs::path usb = UpTo(device, "idVendor");
        if (!usb.empty()) {
            info.usbId = FirstLine(usb / "idVendor") + ":" + FirstLine(usb / "idProduct");
            info.serialNumber = FirstLine(usb / "serial");
            const std::string product = FirstLine(usb / "product");
            const std::string maker = FirstLine(usb / "manufacturer");
            if (!product.empty()) {
                info.description = (maker.empty() ? "" : maker + " ") + product;
            }
        }
        ports.push_back(info);
    }
    // The stable names udev gives each adapter.
    for (const auto& link : fs::directory_iterator("/dev/serial/by-id", error)) {
        const fs::path target = fs::canonical(link.path(), error);
        for (SerialPortInfo& info : ports) {
            if (!error && target == info.name) {
                info.byIdPath = link.path().string();
            }
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.name < b.name; });
    return ports;
}

#else

int ComNumber(const std::string& name) {
    return name.rfind("COM", 0) == 0 ? std::atoi(name.c_str() + 3) : 0;
}

std::vector<SerialPortInfo> ListWindowsPorts() {
    std::vector<SerialPortInfo> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char valueName[256];
        DWORD valueNameSize = sizeof valueName;
        char data[256];
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        if (RegEnumValueA(key, index, valueName, &valueNameSize, nullptr, &type,
                          reinterpret_cast<BYTE*>(data), &dataSize) != ERROR_SUCCESS) {
            break;
        }
        if (type != REG_SZ) {
            continue;
        }
        data[dataSize] = '\0';
        SerialPortInfo info;
        info.name = data;
        info.description = valueName;  // the driver's device, such as \Device\Serial0
        ports.push_back(info);
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return ComNumber(a.name) != ComNumber(b.name) ? ComNumber(a.name) < ComNumber(b.name)
                                                      : a.name < b.name;
    });
    return ports;
}

#endif

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
#ifdef _WIN32
    return ListWindowsPorts();
#else
    return ListLinuxPorts();
#endif
}

std::string PortNameOfNumber(short port) {
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    const std::vector<SerialPortInfo> ports = ListSerialPorts();
    if (port >= 1 && static_cast<size_t>(port) <= ports.size()) {
        return ports[static_cast<size_t>(port) - 1].name;
    }
    return {};
#endif
}
