#pragma once

#include <string>
#include <vector>

// A serial port the system has, as `flashtool ports` and the port choices show it.
struct SerialPortInfo {
    std::string name;         // what opens it: "/dev/ttyUSB0", "COM7"
    std::string description;  // the driver's or the device's own words, where known
    std::string usbId;        // "vvvv:pppp" for a USB adapter, else empty
    std::string serialNumber;
    std::string byIdPath;  // Linux: the stable /dev/serial/by-id/ link to it, where there is one
};

// The system's serial ports, sorted by name (by number for COM ports). Linux: the terminals of
// /sys/class/tty that have a device behind them (real UARTs, USB adapters); Windows: the
// SERIALCOMM registry key.
std::vector<SerialPortInfo> ListSerialPorts();

// The device a port number stands for: "COMn" on Windows, elsewhere the n-th listed port
// (1 is the first); empty when there is no such port.
std::string PortNameOfNumber(short port);
