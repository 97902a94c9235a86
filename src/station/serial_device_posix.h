#pragma once
// The serial device over a Linux terminal (termios2, so that speeds such as 14400 or
// 256000 reach drivers that support them; a pseudo-terminal takes any speed).

#include <memory>
#include <string>

#include "common/failure.h"
#include "station/serial_device.h"

namespace orvelgate {

// Opens path for reading and writing without waiting for carrier and without making it
// our controlling terminal. The device must be a terminal, and it is taken exclusively:
// flock(LOCK_EX | LOCK_NB), which holds even against root, and TIOCEXCL, which refuses
// other openers at open() time. On failure returns nullptr and, when errorNumber is
// given, the errno of the step that failed (ENOTTY for a path that is not a terminal,
// EWOULDBLOCK or EBUSY for a device in use).
std::unique_ptr<SerialDevice> OpenPosixSerialDevice(const std::string& path,
                                                    int* errorNumber = nullptr);

// The production factory for SerialPort: the device, or the errno that refused it.
SerialDeviceFactory PosixSerialDeviceFactory();

// Why a device path could not be opened, for the systemd journal: the path, the errno and,
// where one is known, what mends it; it describes itself as "/dev/ttyUSB0: Permission
// denied (errno 13); add the user to the dialout group". errorNumber 0 means the cause is
// not known.
Failure OpenFailure(const std::string& path, int errorNumber);

}  // namespace orvelgate
