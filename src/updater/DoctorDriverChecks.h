// The pre-flight checks of a system where the driver bound to a USB device decides who may open
// it (Windows, WinUSB): which of the family's modules have no WinUSB driver, and which serial
// ports another program holds. They take the place of the udev, group and ModemManager checks.
#pragma once

#include "Doctor.h"

// "usb-access": the family's modules on USB that cannot be opened for want of the WinUSB driver,
// and how to bind it.
DoctorCheck checkUsbDriver(const DoctorEnvironment& environment);

// "serial-access": the system's COM ports, and those another program holds open.
DoctorCheck checkComPorts(const DoctorEnvironment& environment);
