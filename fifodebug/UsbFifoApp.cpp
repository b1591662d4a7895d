#include "UsbFifoApp.h"

#include <limits.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QPixmap>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FifoMessage.h"
#include "Ini.h"
#include "Resource.h"
#include "UsbFifoDlg.h"

#ifndef KORVA_VERSION
#define KORVA_VERSION "unknown"
#endif
#ifndef KORVA_INSTALL_LIBDIR
#define KORVA_INSTALL_LIBDIR "lib"
#endif

namespace usbfifo {

namespace {

constexpr const char* kSimLibrary = "libkorva_ftd2xx_sim.so";
constexpr int kExchangeWaitMs = 3000;

constexpr const char* kHelp =
    R"(Usage: UsbFifo [options]

A byte terminal for the USB FIFO chip of a KT300 controller: lists the attached
devices with serial number and description, opens one by serial number, writes
the command line (optionally followed by CR) and shows what the device sends
back, as characters or as signed decimal byte values, with the byte count, the
time since the write and the transfer speed.

Options:
  --simulate          use the simulated USB devices (the simulator D2XX library
                      from ../lib beside this program) instead of hardware
  --screenshot FILE   list the devices, open the first, write "Hello", wait for
                      the reply, save the window as FILE (PNG) and quit; runs on
                      the offscreen platform unless QT_QPA_PLATFORM is set
  --language NAME     texts in this language for this run ("English",
                      "Chinese": a file of the Language folder naming it);
                      the choice of the View menu is then not remembered
  -h, --help          show this text and quit
  -v, --version       show the version and quit
Qt's own options (-platform, -style, ...) are accepted too.

Environment:
  KORVA_FTD2XX    path of the D2XX library to load; when set, nothing else is
                  tried. Default order: libftd2xx.so (the vendor's), then the
                  project's libkorva_ftd2xx.so (libftdi1) from ../lib.
  KORVA_SIM_USB   the simulated devices, "serial:description" separated by ';'
                  (default "KT0001:KT300 USB;KT0002:KT300 USB"; empty: none)
  KORVA_TRACE     1: the project's D2XX libraries print their debug traces to
                  stderr (why a device cannot be listed or opened, among other
                  things); UsbFifo itself prints none.

Menu "UsbFifo" (also the window's context menu): Close, About UsbFifo.
Menu "View", "Language": English or Chinese, remembered in usbfifo.ini.
When no device is listed or an open fails, the window says why and how to fix
it (driver library, permissions and the udev rule, the ftdi_sio kernel driver).
)";

std::string ExecutableDir() {
    std::array<char, PATH_MAX> buf{};
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return ".";
    std::string path(buf.data(), static_cast<size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The simulator library beside the program (build tree or installed tree).
std::string FindSimulatorLibrary() {
    const std::string dir = ExecutableDir();
    for (const std::string& sub : {std::string("lib"), std::string(KORVA_INSTALL_LIBDIR)}) {
        const std::string path = dir + "/../" + sub + "/" + kSimLibrary;
        if (access(path.c_str(), R_OK) == 0) return path;
    }
    return {};
}

struct Options {
    bool help = false;
    bool version = false;
    bool simulate = false;
    std::string screenshot;
    std::string language;
    std::string error;
};

// Qt's own command-line options (QGuiApplication, QApplication, xcb): 0 not
// one of them, 1 a flag, 2 followed by a value. One or two leading dashes.
int QtOption(const std::string& arg) {
    static const std::vector<std::string> withValue = {"platform",
                                                       "platformpluginpath",
                                                       "platformtheme",
                                                       "plugin",
                                                       "qwindowgeometry",
                                                       "qwindowicon",
                                                       "qwindowtitle",
                                                       "style",
                                                       "stylesheet",
                                                       "session",
                                                       "display",
                                                       "geometry",
                                                       "title",
                                                       "name",
                                                       "font",
                                                       "fn",
                                                       "bg",
                                                       "background",
                                                       "fg",
                                                       "foreground",
                                                       "btn",
                                                       "button",
                                                       "visual",
                                                       "ncols",
                                                       "cmap",
                                                       "im",
                                                       "inputstyle"};
    static const std::vector<std::string> flags = {"reverse", "widgetcount", "nograb",
                                                   "dograb",  "sync",        "testability"};
    if (arg.size() < 2 || arg[0] != '-') return 0;
    const std::string name = arg.substr(arg[1] == '-' ? 2 : 1);
    if (name.rfind("qmljsdebugger=", 0) == 0) return 1;
    if (std::find(withValue.begin(), withValue.end(), name) != withValue.end()) return 2;
    if (std::find(flags.begin(), flags.end(), name) != flags.end()) return 1;
    return 0;
}

// Our options and Qt's; anything else is refused before a window system is needed.
Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "-v" || arg == "--version") {
            o.version = true;
        } else if (arg == "--simulate") {
            o.simulate = true;
        } else if (arg == "--screenshot") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                o.error = "--screenshot needs a file name";
                return o;
            }
            o.screenshot = argv[++i];
        } else if (arg.rfind("--screenshot=", 0) == 0) {
            o.screenshot = arg.substr(std::strlen("--screenshot="));
            if (o.screenshot.empty()) o.error = "--screenshot needs a file name";
        } else if (arg == "--language") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                o.error = "--language needs a language name";
                return o;
            }
            o.language = argv[++i];
        } else if (arg.rfind("--language=", 0) == 0) {
            o.language = arg.substr(std::strlen("--language="));
            if (o.language.empty()) o.error = "--language needs a language name";
        } else if (const int qt = QtOption(arg); qt != 0) {
            if (qt == 2) ++i;  // Qt takes the value
        } else {
            o.error = "unknown option " + arg;
            return o;
        }
    }
    return o;
}

template <typename Pred>
bool WaitFor(Pred done, int limitMs) {
    QDeadlineTimer deadline(limitMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void Click(CUsbFifoDlg& dlg, int id) {
    if (auto* button = qobject_cast<QPushButton*>(dlg.Control(id))) button->click();
    QCoreApplication::processEvents();
}

// Lists the devices, opens the first and writes "Hello"; then saves the window.
int RunScreenshot(CUsbFifoDlg& dlg, const QString& file) {
    QStringList messages;
    SetMessageHook([&messages](const QString& text) { messages << text; });
    dlg.show();
    QCoreApplication::processEvents();
    Click(dlg, IDC_GET_DEVICE_COUNT);
    bool exchanged = false;
    if (dlg.DeviceCount() > 0) {
        Click(dlg, IDC_OPEN_DEVICE);
        if (dlg.DeviceOpen()) {
            if (auto* command = qobject_cast<QComboBox*>(dlg.Control(IDC_COMMAND)))
                command->setEditText(QStringLiteral("Hello"));
            Click(dlg, IDC_WRITE_DATA);
            exchanged =
                WaitFor([&dlg] { return dlg.ReceivedText().find('\r') != std::string::npos; },
                        kExchangeWaitMs);
            // Lets the spent time and speed boxes settle on the last block.
            WaitFor([] { return false; }, 50);
        }
    }
    QCoreApplication::processEvents();
    const QPixmap shot = dlg.grab();
    SetMessageHook({});
    for (const QString& text : messages)
        std::fprintf(stderr, "UsbFifo: message: %s\n", qPrintable(text));
    if (!shot.save(file, "PNG")) {
        std::fprintf(stderr, "UsbFifo: cannot write the screenshot %s\n", qPrintable(file));
        return 1;
    }
    if (dlg.DeviceCount() > 0 && !exchanged) {
        std::fprintf(stderr, "UsbFifo: the device did not answer \"Hello\"; screenshot saved\n");
        return 1;
    }
    return 0;
}

}  // namespace

int RunUsbFifo(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    if (!options.error.empty()) {
        std::fprintf(stderr, "UsbFifo: %s (see UsbFifo --help)\n", options.error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("UsbFifo V1.1 (korva %s)\n", KORVA_VERSION);
        return 0;
    }
    if (options.simulate) {
        const std::string library = FindSimulatorLibrary();
        if (library.empty()) {
            std::fprintf(stderr, "UsbFifo: --simulate: %s not found in ../lib beside %s\n",
                         kSimLibrary, ExecutableDir().c_str());
            return 1;
        }
        setenv("KORVA_FTD2XX", library.c_str(), 1);
    }
    if (!options.screenshot.empty() && std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    QApplication app(argc, argv);

    // A language given for one run is not remembered.
    CUsbFifoDlg dlg(nullptr, options.language.empty());
    if (!dlg.LoadLanguage(options.language) && !options.language.empty()) {
        std::fprintf(stderr, "UsbFifo: no language file in %s names \"%s\"; English texts\n",
                     korva::LanguageDirectory().c_str(), options.language.c_str());
    }
    if (!options.screenshot.empty())
        return RunScreenshot(dlg, QString::fromLocal8Bit(options.screenshot.c_str()));
    // The dialog is the program: it runs modally and the program ends with it.
    dlg.exec();
    return 0;
}

}  // namespace usbfifo
