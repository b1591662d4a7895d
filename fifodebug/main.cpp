#include "UsbFifoApp.h"

int main(int argc, char** argv) {
    return usbfifo::RunUsbFifo(argc, argv);
}
