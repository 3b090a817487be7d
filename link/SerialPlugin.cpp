// The real serial back end as a plug-in, so programs that need no port (flashtool image) never
// load Qt. The caller owns the port it is handed.

#include <memory>

#include "link/QtSerialComm.h"

#ifdef _WIN32
#define FLASHTOOL_EXPORT __declspec(dllexport)
#else
#define FLASHTOOL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" FLASHTOOL_EXPORT CMSComm* FlashtoolCreateSerialPort(const char* fixedPort) {
    return std::make_unique<QtSerialComm>(fixedPort != nullptr ? fixedPort : "").release();
}
