// KT300DS: the KT300 controller on a TANGO control system.
//   KT300DS INSTANCE [-file=FILE.db] [-ORBendPoint giop:tcp:HOST:PORT] [-nodb -dlist ...]
#include <cstring>
#include <iostream>

#include "Devices.h"

// The classes this server serves; controllers first, so that axis devices
// find their controller when they are created.
void Tango::DServer::class_factory() {
    add_class(kt300ds::KT300ControllerClass::init("KT300Controller"));
    add_class(kt300ds::KT300AxisClass::init("KT300Axis"));
}

int main(int argc, char* argv[]) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "KT300DS " << KORVA_VERSION << "\n";
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << R"(usage: KT300DS INSTANCE [TANGO options]
Serves KT300 controllers to TANGO clients: device classes KT300Controller
(one per controller) and KT300Axis (one per axis).

  KT300DS lab                       devices from the TANGO database (TANGO_HOST)
  KT300DS sim -file=examples/tango/sim.db -ORBendPoint giop:tcp:127.0.0.1:10000
                                    devices from a file database, here the
                                    built-in simulator; clients use
                                    tango://127.0.0.1:10000/kt300/axis/x#dbase=no

Environment: TANGO_HOST, KORVA_COM<n> (device of serial port n), KORVA_FTD2XX,
KORVA_TRACE. Device properties and decisions: KT300DS/README.md.
)";
        return 0;
    }
    Tango::Util* tg = nullptr;
    try {
        tg = Tango::Util::init(argc, argv);
        tg->server_init(false);
        std::cout << "Ready to accept request" << std::endl;
        tg->server_run();
    } catch (const std::bad_alloc&) {
        std::cerr << "KT300DS: out of memory\n";
        return 1;
    } catch (const CORBA::Exception& e) {
        Tango::Except::print_exception(e);
        std::cerr << "KT300DS: the server cannot start\n";
        return 1;
    }
    tg->server_cleanup();
    return 0;
}
