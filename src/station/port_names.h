#pragma once
// Serial port names. The configuration and the server links keep the Windows form
// (COM3), and the port component's PortName is "\\.\COM3". At open the name is resolved
// to a device path:
//   1. the key COM3 of section [ports] of orvelgate.ini, when present
//      (COM3=/dev/serial/by-id/usb-FTDI_... , or a pseudo-terminal in tests);
//   2. a name that already is an absolute path is taken as it is;
//   3. COMn is /dev/ttyS(n-1), so COM1 is /dev/ttyS0.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orvelgate {

// The four characters put in front of a configured name: \\.\ (backslash, backslash,
// dot, backslash).
inline constexpr std::string_view kPortNamePrefix = "\\\\.\\";

// "\\.\" + comPort.
std::string PortNameFor(std::string_view comPort);

// The configured name inside a PortName: "\\.\COM3" gives "COM3"; a name without the
// prefix is returned as it is.
std::string ComNameOf(std::string_view portName);

// The number n of a name COMn (letter case ignored, 1..256); nullopt for anything else.
std::optional<int> ComNumber(std::string_view comName);

// The name the servers are told for a configured port name (the T8 PortNotice carries
// it, the T7 port-number notice the number after COM). The servers of the suite know a
// port only by its Windows name: "COM" and a decimal number, passed on as it is (also
// COM255 and COM1234, whatever their device). A name in another form (a device path such
// as /dev/ttyUSB0, another key of [ports]) becomes "COM0": no COM port has the number 0,
// so a server reads "a port without a Windows number" instead of a cut path ("/dev/t"),
// a wrong number, or nothing. An empty name (no port chosen) stays empty.
std::string ServerPortName(std::string_view comName);

// Looks a configured name up in the [ports] section; nullopt when it is not there.
using PortLookup = std::function<std::optional<std::string>(const std::string& comName)>;

// The device path for a PortName; nullopt when the name maps to nothing.
std::optional<std::string> ResolvePortPath(std::string_view portName, const PortLookup& lookup);

// PortName -> device path, as SerialPort needs it.
using PortResolver = std::function<std::optional<std::string>(const std::string& portName)>;

// The configuration file, looked for in the working directory at the time of reading.
inline constexpr const char* kIniFileName = "orvelgate.ini";

// Section [ports] of the INI file at iniPath, read afresh at every lookup; keys are
// matched without regard to letter case.
PortLookup IniPortLookup(std::string iniPath);

// A resolver over the given [ports] lookup.
PortResolver MakePortResolver(PortLookup lookup);

// The production resolver: [ports] of orvelgate.ini in the working directory, read at
// every open so that a changed mapping takes effect at the next start.
PortResolver DefaultPortResolver();

}  // namespace orvelgate
