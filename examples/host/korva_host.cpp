// A minimal host of the KT300 control: opens a serial port, reads the model
// and the X axis's speed settings, the four positions, and one value through
// late binding, then closes the link.
//
//   korva_host [PORT]        PORT 1..255, default 1 (COM1)
//
// COM n is the device in KORVA_COM<n>, else /dev/ttyS<n-1>. Without hardware,
// serve a simulated controller:  kt300sim --link /tmp/ttyKT &
//                                KORVA_COM1=/tmp/ttyKT korva_host
#include <korva/KORVAKT3002Ctl.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    long port = 1;
    if (argc > 2) {
        std::fprintf(stderr, "usage: korva_host [PORT]   (PORT 1..255, default 1)\n");
        return 2;
    }
    if (argc == 2) {
        const std::string text = argv[1];
        const bool digits =
            !text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == text.npos;
        port = digits ? std::stol(text) : 0;
        if (port < 1 || port > 255) {
            std::fprintf(stderr, "korva_host: the port must be a number 1..255, not \"%s\"\n",
                         argv[1]);
            return 2;
        }
    }

    CKORVAKT3002Ctrl control;
    control.SetComPort(static_cast<std::int16_t>(port));
    if (!control.Connect()) {
        std::fprintf(stderr,
                     "korva_host: cannot connect on COM%ld (error %d); set KORVA_COM%ld to the "
                     "controller's device\n",
                     port, static_cast<int>(control.GetErrorCode()), port);
        return 1;
    }
    std::printf("connected on COM%ld\n", port);

    const short model = control.GetSystemInfo();
    std::printf("model: %s\n", model == 1 ? "KT3007Q" : model == 2 ? "KT300RSX" : "unknown");

    if (control.ReloadRunParam(0)) {
        std::printf("X speed %g, acceleration %g, unit \"%s\"\n", control.GetSpeed(0),
                    control.GetAccSpeed(0), control.GetUnit(0).c_str());
    }
    for (short axis = 0; axis < CKORVAKT3002Ctrl::kAxes; ++axis) {
        std::printf("position %c: %g\n", "XYZT"[axis], control.GetPosition(axis));
    }

    // The same object also answers by name, as a scripting host would call it.
    const char* names[] = {"GetPosition"};
    korva::DISPID id = 0;
    std::vector<korva::Variant> args{std::int16_t(1)};
    korva::Variant result;
    if (korva::GetIDsOfNames(CKORVAKT3002Ctrl::TypeInfo(), names, std::span(&id, 1)) ==
            korva::S_OK &&
        control.Invoke(id, korva::kInvokeMethod, args, &result) == korva::S_OK) {
        std::printf("Invoke GetPosition(1) = %s\n", result.ToDisplayText().c_str());
    }

    control.DisConnect();
    std::printf("error code: %d\n", static_cast<int>(control.GetErrorCode()));
    return 0;
}
