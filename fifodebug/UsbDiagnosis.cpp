#include "UsbDiagnosis.h"

#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "FtdiProducts.h"

namespace usbfifo {
namespace {

using korva::kFtdiVendor;
constexpr const char* kRuleFix =
    "install the udev rule 60-korva-ftdi.rules (ftd2xx/ in the source tree, share/korva/ "
    "when installed): sudo cp 60-korva-ftdi.rules /etc/udev/rules.d/ && sudo udevadm "
    "control --reload && sudo udevadm trigger; then replug the device and make sure you "
    "are in the plugdev group (sudo usermod -aG plugdev $USER, log in again)";
constexpr const char* kTraceHint =
    "KORVA_TRACE=1 makes the project's D2XX library print its own reasons to stderr.";

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

int ReadHex(const std::string& path) {
    const std::string text = ReadLine(path);
    if (text.empty()) return -1;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 16);
    return (end != nullptr && *end == '\0' && value >= 0 && value <= 0xffff)
               ? static_cast<int>(value)
               : -1;
}

int ReadDec(const std::string& path) {
    const std::string text = ReadLine(path);
    if (text.empty()) return -1;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return (end != nullptr && *end == '\0' && value >= 0 && value <= 0xffff)
               ? static_cast<int>(value)
               : -1;
}

std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string LinkTargetName(const std::string& path) {
    std::array<char, PATH_MAX> buf{};
    const ssize_t n = readlink(path.c_str(), buf.data(), buf.size() - 1);
    if (n <= 0) return {};
    const std::string target(buf.data(), static_cast<size_t>(n));
    const auto slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

std::string Hex4(int value) {
    std::array<char, 8> buf{};
    std::snprintf(buf.data(), buf.size(), "%04x", value & 0xffff);
    return buf.data();
}

std::string ChipName(const FtdiChip& chip) {
    std::string name =
        "FTDI " + Hex4(chip.vendor) + ":" + Hex4(chip.product) + " at " + chip.sysName;
    if (!chip.serial.empty()) name += " (serial " + chip.serial + ")";
    return name;
}

std::string JoinSerials(const std::vector<std::string>& serials) {
    if (serials.empty()) return "none";
    std::string text;
    for (const std::string& s : serials) {
        if (!text.empty()) text += ", ";
        text += s.empty() ? "(empty)" : s;
    }
    return text;
}

// What keeps a chip from being opened, with the fix; empty when nothing is seen.
std::string ChipProblems(const FtdiChip& chip, bool ownLibrary) {
    std::string text;
    if (!chip.nodeAccessible) {
        text += "- " + ChipName(chip) + ": no permission to read and write " + chip.devNode +
                ".\n  Fix: " + kRuleFix + ".\n";
    }
    for (const FtdiChip::Interface& iface : chip.interfaces) {
        if (iface.driver.empty()) continue;
        text += "- " + ChipName(chip) + ": the kernel driver " + iface.driver +
                " is bound to interface " + iface.name +
                (iface.driver == "ftdi_sio" ? " (it turns the chip into /dev/ttyUSBn)" : "") +
                ". The vendor's libftd2xx.so cannot open such an interface; the project's "
                "library detaches the driver when it is allowed to.\n  Fix: echo -n " +
                iface.name + " | sudo tee /sys/bus/usb/drivers/" + iface.driver +
                "/unbind  (or uncomment the ftdi_sio line of 60-korva-ftdi.rules).\n";
    }
    if (!chip.productKnown && ownLibrary) {
        text += "- " + ChipName(chip) + ": product id " + Hex4(chip.product) +
                " is not one the project's library looks for.\n  Fix: KORVA_FTDI_PIDS=" +
                Hex4(chip.product) + " UsbFifo\n";
    }
    return text;
}

bool IsOwnLibrary(const LibraryState& library) {
    return library.path.find("libkorva_ftd2xx") != std::string::npos;
}

std::string LibraryProblem(const LibraryState& library) {
    const char* forced = std::getenv("KORVA_FTD2XX");
    if (library.path.empty()) {
        std::string text = "No D2XX driver library could be loaded.\n";
        if (forced != nullptr && *forced != '\0') {
            text += "KORVA_FTD2XX names " + std::string(forced) +
                    ", which could not be loaded (when KORVA_FTD2XX is set, nothing else is "
                    "tried).\nFix: correct or unset KORVA_FTD2XX.\n";
        } else {
            text += "Looked for: ";
            const std::vector<std::string> tried = LibraryCandidates();
            for (size_t i = 0; i < tried.size(); ++i) text += (i ? ", " : "") + tried[i];
            text +=
                ".\nFix: build the project's libkorva_ftd2xx.so (ftd2xx/, needs libftdi1) and "
                "keep it in ../lib beside UsbFifo, or install the vendor's libftd2xx.so, or set "
                "KORVA_FTD2XX to a D2XX library.\n";
        }
        text += "Without hardware: UsbFifo --simulate.\n";
        return text;
    }
    if (!library.loaded) {
        return library.path +
               " was loaded but lacks D2XX functions: it is not a D2XX driver library.\nFix: set "
               "KORVA_FTD2XX to a D2XX library, or unset it.\n";
    }
    return {};
}

std::string SimulatorDevices() {
    const char* env = std::getenv("KORVA_SIM_USB");
    if (env == nullptr) return "KORVA_SIM_USB is not set (two simulated devices)";
    return "KORVA_SIM_USB=\"" + std::string(env) + "\"";
}

}  // namespace

std::vector<std::string> LibraryCandidates() {
    const char* forced = std::getenv("KORVA_FTD2XX");
    if (forced != nullptr && *forced != '\0') return {forced};
    std::vector<std::string> names{"libftd2xx.so"};
    std::array<char, PATH_MAX> buf{};
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n > 0) {
        std::string exe(buf.data(), static_cast<size_t>(n));
        exe.erase(exe.rfind('/') == std::string::npos ? 0 : exe.rfind('/'));
        names.push_back(exe + "/../lib/libkorva_ftd2xx.so");
    }
    names.push_back("libkorva_ftd2xx.so");
    return names;
}

bool IsSimulatorLibrary(const std::string& path) {
    if (path.empty()) return false;
    // Only looks at a library that is loaded already; never loads one.
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    const bool simulator = dlsym(handle, "korva_sim_usb_set_fault") != nullptr;
    dlclose(handle);  // drops only the reference taken here
    return simulator;
}

std::vector<FtdiChip> ScanFtdiChips(const std::string& sysRoot, const std::string& devRoot) {
    std::vector<FtdiChip> chips;
    const std::string base = sysRoot + "/bus/usb/devices/";
    const std::vector<int> known = korva::FtdiProductIds();
    const std::vector<std::string> entries = ListDir(base);
    for (const std::string& name : entries) {
        if (name.find(':') != std::string::npos) continue;  // an interface
        const std::string dir = base + name + "/";
        if (ReadHex(dir + "idVendor") != kFtdiVendor) continue;
        FtdiChip chip;
        chip.sysName = name;
        chip.vendor = kFtdiVendor;
        chip.product = ReadHex(dir + "idProduct");
        chip.serial = ReadLine(dir + "serial");
        chip.productName = ReadLine(dir + "product");
        chip.productKnown = std::find(known.begin(), known.end(), chip.product) != known.end();
        const int bus = ReadDec(dir + "busnum");
        const int dev = ReadDec(dir + "devnum");
        if (bus >= 0 && dev >= 0) {
            std::array<char, 32> node{};
            std::snprintf(node.data(), node.size(), "/bus/usb/%03d/%03d", bus, dev);
            chip.devNode = devRoot + node.data();
            chip.nodeAccessible = access(chip.devNode.c_str(), R_OK | W_OK) == 0;
        }
        const std::string prefix = name + ":";
        for (const std::string& other : entries) {
            if (other.compare(0, prefix.size(), prefix) != 0) continue;
            chip.interfaces.push_back({other, LinkTargetName(base + other + "/driver")});
        }
        chips.push_back(std::move(chip));
    }
    return chips;
}

std::string StatusText(unsigned long status) {
    static const char* const names[] = {
        "FT_OK",       "FT_INVALID_HANDLE",         "FT_DEVICE_NOT_FOUND",  "FT_DEVICE_NOT_OPENED",
        "FT_IO_ERROR", "FT_INSUFFICIENT_RESOURCES", "FT_INVALID_PARAMETER", "FT_INVALID_BAUD_RATE"};
    std::string name = status < std::size(names) ? names[status]
                       : status == 18            ? "FT_OTHER_ERROR"
                                                 : "status";
    return name + " (" + std::to_string(status) + ")";
}

std::string ExplainNoDevice(const LibraryState& library, bool listed, unsigned long status,
                            const std::vector<FtdiChip>& chips) {
    if (std::string text = LibraryProblem(library); !text.empty()) return text;
    if (library.simulator) {
        if (!listed)
            return "The simulator library refused the listing: " + StatusText(status) + ".\n";
        return "The simulator library lists no device: " + SimulatorDevices() +
               ".\nFix: unset KORVA_SIM_USB for two simulated controllers, or set it to "
               "serial:description pairs separated by ';'.\n";
    }
    std::string text;
    if (!listed) text = "The driver library refused the listing: " + StatusText(status) + ".\n";
    if (chips.empty()) {
        return text +
               "No FTDI USB chip is attached: nothing with vendor id 0403 under "
               "/sys/bus/usb/devices.\nCheck the cable and the controller's power; lsusb lists "
               "what the system sees.\n";
    }
    text += "The driver library (" + library.path + ") lists no device, but the system sees " +
            std::to_string(chips.size()) + " FTDI chip" + (chips.size() == 1 ? "" : "s") + ":\n";
    std::string problems;
    for (const FtdiChip& chip : chips) problems += ChipProblems(chip, IsOwnLibrary(library));
    if (problems.empty()) problems = "- nothing in the way can be seen from here.\n";
    return text + problems + kTraceHint + "\n";
}

std::string ExplainOpenFailure(const LibraryState& library, const std::string& serial,
                               unsigned long status, const std::vector<std::string>& listedSerials,
                               const std::vector<FtdiChip>& chips) {
    if (std::string text = LibraryProblem(library); !text.empty()) return text;
    std::string text = "Opening the device ";
    text += serial.empty() ? std::string("with an empty serial number") : "\"" + serial + "\"";
    text += " failed: " + StatusText(status) + ".\n";
    const bool listed =
        std::find(listedSerials.begin(), listedSerials.end(), serial) != listedSerials.end();
    if (serial.empty()) {
        text +=
            "The serial number box is empty. Press \"Get Device Count\" and choose a device "
            "index, or type a serial number.\n";
    } else if (!listed) {
        text +=
            "No attached device has this serial number; listed now: " + JoinSerials(listedSerials) +
            ".\n";
    }
    if (library.simulator) {
        if (listed) {
            text +=
                "The simulated device refused to open: it is open already, or a fault is "
                "switched on (KORVA_SIM_USB_FAULTS).\n";
        }
        return text + "Simulated devices: " + SimulatorDevices() + ".\n";
    }
    // A chip the library cannot read is listed with an empty serial number.
    std::string problems;
    for (const FtdiChip& chip : chips) {
        const bool same = !serial.empty() && !chip.serial.empty() &&
                          serial.compare(0, chip.serial.size(), chip.serial) == 0;
        if (same || serial.empty() || !listed)
            problems += ChipProblems(chip, IsOwnLibrary(library));
    }
    if (!problems.empty()) {
        text += problems;
    } else if (listed) {
        text += "Another program may have the device open.\n";
    } else if (chips.empty()) {
        text += "No FTDI USB chip is attached (nothing with vendor id 0403 in sysfs).\n";
    }
    return text + kTraceHint + "\n";
}

}  // namespace usbfifo
