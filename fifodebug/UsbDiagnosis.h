#pragma once
// Why no USB FIFO device is listed, or why one does not open, as far as the
// tool can tell from outside the driver library: which library was loaded,
// whether it is the simulator, and what sysfs says about attached FTDI chips
// (access to their device node, a kernel driver bound to an interface).
// The texts name the fix. No Qt here.
#include <string>
#include <vector>

namespace usbfifo {

struct LibraryState {
    bool loaded = false;     // all fourteen entry points resolved
    std::string path;        // the library opened (empty: none could be)
    bool simulator = false;  // our simulated devices (lists KORVA_SIM_USB)
};

// One FTDI chip found in sysfs.
struct FtdiChip {
    std::string sysName;  // "1-1.2"
    int vendor = 0;
    int product = 0;
    std::string serial;  // from sysfs, readable without access to the device
    std::string productName;
    std::string devNode;  // "/dev/bus/usb/001/004"
    bool nodeAccessible = false;
    bool productKnown = false;  // among the product ids the project's library looks for
    struct Interface {
        std::string name;    // "1-1.2:1.0"
        std::string driver;  // "ftdi_sio", or empty
    };
    std::vector<Interface> interfaces;
};

// The library the binding would load and where it looked (for the text).
std::vector<std::string> LibraryCandidates();

// Whether the library loaded at `path` is our simulator (it exports the
// simulator's fault switch).
bool IsSimulatorLibrary(const std::string& path);

// FTDI chips (vendor 0403) under <sysRoot>/bus/usb/devices, device nodes
// under <devRoot>/bus/usb.
std::vector<FtdiChip> ScanFtdiChips(const std::string& sysRoot = "/sys",
                                    const std::string& devRoot = "/dev");

// Name of a D2XX status ("FT_DEVICE_NOT_FOUND (2)").
std::string StatusText(unsigned long status);

// Listing gave no device (listed == false: the listing call itself failed).
std::string ExplainNoDevice(const LibraryState& library, bool listed, unsigned long status,
                            const std::vector<FtdiChip>& chips);

// Opening `serial` failed; `listedSerials` are the serial numbers the library
// lists right now.
std::string ExplainOpenFailure(const LibraryState& library, const std::string& serial,
                               unsigned long status, const std::vector<std::string>& listedSerials,
                               const std::vector<FtdiChip>& chips);

}  // namespace usbfifo
