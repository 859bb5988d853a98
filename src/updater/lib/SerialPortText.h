// A serial port the user named, in messages: the device the name stands for, and why the port
// cannot be opened, both as the serial stream sees them.
#pragma once

#include <corvane/aStream.h>

#include <string>
#include <vector>

// "ttyUSB0" is "/dev/ttyUSB0"; a name with a "/" is a path already.
inline std::string serialDevicePath(const std::string& portName) {
    std::vector<char> path(portName.size() + sizeof "/dev/");
    if (aStream_SerialDevicePath(portName.c_str(), path.data(), path.size()) != aErrNone) {
        return portName;
    }
    return path.data();
}

// Why the port cannot be opened (missing, in use, not a serial device, not permitted); empty
// when it can be.
inline std::string serialOpenFailure(const std::string& portName) {
    // Room for the device path, a group name and the words around them.
    std::vector<char> text(2 * portName.size() + 256);
    if (aStream_DescribeSerialFailure(portName.c_str(), text.data(), text.size()) != aErrNone) {
        return std::string();
    }
    return text.data();
}
