// The module interface found in a configuration descriptor as libusb hands it over: apart from
// the device it came from, so every backend that opens modules through libusb shares it and the
// USB fuzzer can feed it descriptors of its own.
#pragma once

#include "platform/usb.h"

#include <libusb.h>

#include <cstdint>

namespace corvane::platform {

struct ModuleInterface {
    int number = -1; // of the first module interface; -1 when there is none
    uint8_t inEndpoint = 0;
    uint8_t outEndpoint = 0;
    UsbPipes pipes;
};

// The first interface whose alternate setting 0 is class 0xFF, subclass 0x88, protocol 0x10
// decides: aErrNone when it has a bulk IN and a bulk OUT endpoint and no endpoint but bulk and
// interrupt ones, else aErrInitialization (also without such an interface). found.number is the
// interface's number whenever there is one.
aErr findModuleInterface(const libusb_config_descriptor& config, ModuleInterface& found);

} // namespace corvane::platform
