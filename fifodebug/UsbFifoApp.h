#pragma once
// The UsbFifo program: options, then the dialog until it closes.

namespace usbfifo {

int RunUsbFifo(int argc, char** argv);

}  // namespace usbfifo
