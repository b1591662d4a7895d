#include "Stagedesk.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "AppMessage.h"
#include "MainFrm.h"
#include "PtySimulator.h"
#include "Screenshots.h"
#include "UserMessageBridge.h"

#ifndef KORVA_VERSION
#define KORVA_VERSION "0"
#endif

namespace stagedesk {

namespace {

void SetIdentity() {
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    QCoreApplication::setApplicationName(QStringLiteral("stagedesk"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVA_VERSION));
}

void DescribeCommandLine(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Operator program for KT300 four-axis stepper controllers.\n"
        "\n"
        "Environment:\n"
        "  KORVA_COM<n>   device of serial port n (default /dev/ttyS<n-1>); --simulate sets "
        "KORVA_COM1\n"
        "  KORVA_FTD2XX   path of the D2XX library for USB devices (default libftd2xx.so, then "
        "libkorva_ftd2xx.so from ../lib)\n"
        "  KORVA_SIM_USB  the simulated USB devices when KORVA_FTD2XX names "
        "libkorva_ftd2xx_sim.so\n"
        "  KORVA_CADIO    path of the drawing library (default ../lib/libcadio.so)\n"
        "  KORVA_TRACE    set: debug traces of the program and the control module to stderr"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(
        QStringLiteral("simulate"),
        QStringLiteral("Start a simulated controller on a pseudo-terminal and map COM1 to it.")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("screenshots"),
        QStringLiteral("With the simulator: open the device, move an axis, write a PNG of every "
                       "tab into <dir> and quit."),
        QStringLiteral("dir")));
    // Handled before the program starts (main.cpp); listed here for --help.
    parser.addOption(QCommandLineOption(
        QStringLiteral("dxf-path"),
        QStringLiteral("Load, import and order a DXF drawing without a window or a device, print "
                       "the calls a run would make, one per line, and quit. With it: --scale S, "
                       "--offset X,Y, --draw-speed F, --travel-speed F, --tool-bit N (0..7), "
                       "--tool-delays ON_MS,OFF_MS, --arc-ccw 0|1 (the direction value sent for "
                       "counter-clockwise arcs)."),
        QStringLiteral("drawing")));
}

bool AsksForHelpOrVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") break;
        if (arg == "-h" || arg == "-?" || arg == "--help" || arg == "--help-all" || arg == "-v" ||
            arg == "--version") {
            return true;
        }
    }
    return false;
}

}  // namespace

int RunStagedesk(int argc, char** argv) {
    // --help and --version need no display: a core application answers them
    // (process() quits) before the window system is touched.
    if (AsksForHelpOrVersion(argc, argv)) {
        QCoreApplication core(argc, argv);
        SetIdentity();
        QCommandLineParser parser;
        DescribeCommandLine(parser);
        parser.process(core);
    }

    QApplication app(argc, argv);
    SetIdentity();
    QCommandLineParser parser;
    DescribeCommandLine(parser);
    parser.process(app);
    const QString simulate = QStringLiteral("simulate");
    const QString screenshots = QStringLiteral("screenshots");

    UserMessageBridge userMessages;

    // The simulator outlives the frame: the control closes its link to it
    // when the frame goes.
    std::unique_ptr<korva::sim::PtySimulator> simulator;
    if (parser.isSet(simulate) || parser.isSet(screenshots)) {
        simulator = std::make_unique<korva::sim::PtySimulator>();
        if (!simulator->Start()) {
            std::fprintf(stderr, "stagedesk: the simulator could not start a pseudo-terminal\n");
            return 1;
        }
        // Set before the control exists, so its port map sees it.
        setenv("KORVA_COM1", simulator->SlavePath().c_str(), 1);
        std::fprintf(stderr, "stagedesk: simulated controller on %s (COM1)\n",
                     simulator->SlavePath().c_str());
    }

    int result = 0;
    {
        CMainFrame frame;
        frame.show();
        if (parser.isSet(screenshots)) {
            // Nothing may wait for an operator in this run.
            SetMessageHook([](const QString& text, const QString&, MsgIcon) {
                std::fprintf(stderr, "stagedesk: message: %s\n", qPrintable(text));
            });
        }
        frame.Initialize();
        if (parser.isSet(screenshots)) {
            result = TakeScreenshots(frame, parser.value(screenshots));
        } else {
            result = app.exec();
        }
    }
    return result;
}

}  // namespace stagedesk
