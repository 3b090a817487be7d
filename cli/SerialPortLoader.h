#pragma once

#include <memory>
#include <string>

#include "link/MSComm.h"

// The real serial port, from the plug-in beside the program (so that commands without a port
// never load its libraries). An empty name selects ports by number. Throws CommError when the
// plug-in cannot be loaded.
std::unique_ptr<CMSComm> LoadSerialPort(const std::string& fixedPort);
