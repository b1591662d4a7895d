#include "Stagedesk.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "AppMessage.h"
#include "MainFrm.h"
#include "PtySimulator.h"
#include "Screenshots.h"
#include "UserMessageBridge.h"

#ifndef KORVA_VERSION
#define KORVA_VERSION "0"
#endif

namespace stagedesk {

int RunStagedesk(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    QCoreApplication::setApplicationName(QStringLiteral("stagedesk"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVA_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Operator program for KT300 four-axis stepper controllers."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("Start a simulated controller on a pseudo-terminal and map COM1 to it."));
    QCommandLineOption screenshots(
        QStringLiteral("screenshots"),
        QStringLiteral("With the simulator: open the device, move an axis, write a PNG of every "
                       "tab into <dir> and quit."),
        QStringLiteral("dir"));
    // Handled before the program starts (main.cpp); listed here for --help.
    QCommandLineOption dxfPath(
        QStringLiteral("dxf-path"),
        QStringLiteral("Load, import and order a DXF drawing without a window or a device, print "
                       "the calls a run would make, one per line, and quit."),
        QStringLiteral("drawing"));
    parser.addOption(simulate);
    parser.addOption(screenshots);
    parser.addOption(dxfPath);
    parser.process(app);

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
