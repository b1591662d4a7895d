#pragma once
// Serial port numbers 1..255 name devices: KORVA_COM<n> wins, then key COM<n>
// of section [Ports] in the control module's settings file, else /dev/ttyS<n-1>.
#include <string>

namespace korva {

std::string PortDevicePath(unsigned portNr);

// Where the [Ports] section is read from (tests point this at a temp file).
// Empty: the control module's settings file beside the executable.
void SetPortMapSettingsFile(const std::string& path);

}  // namespace korva
