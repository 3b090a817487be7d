#pragma once

#include <memory>
#include <string>

#include "link/MSComm.h"

// The system's own serial port: termios on Linux and other POSIX systems, the COM port API on
// Windows. Port n is "COMn" on Windows; elsewhere the n-th port of ListSerialPorts. A fixed
// port name or device path, when given, is opened whatever number is selected.
std::unique_ptr<CMSComm> MakeNativeSerialComm(const std::string& fixedPort = {});
