#pragma once
// UsbFifo's own build of the D2XX binding. link/UsbFifoInterface.cpp is
// compiled into this program with fifodebug/notrace/Trace.h in place of the
// common trace header, so it emits no traces. This class narrows the binding
// to what the tool uses: no location query, no accessor for the serial number
// last opened, and OnReceive does nothing, so received bytes reach the dialog
// only through the notification message.
#include "UsbFifoInterface.h"

namespace usbfifo {

class UsbFifoBinding final : private UsbFifoInterface {
  public:
    using NotifyTarget = UsbFifoInterface::NotifyTarget;

    UsbFifoBinding() = default;
    // The notification thread calls OnReceive: it must end before this
    // object's part of the vtable goes.
    ~UsbFifoBinding() override { UsbFifoInterface::Close(); }

    void OnReceive(DWORD /*count*/) override {}

    using UsbFifoInterface::BytesToText;
    using UsbFifoInterface::Close;
    using UsbFifoInterface::GetDescription;
    using UsbFifoInterface::GetDeviceCount;
    using UsbFifoInterface::GetSerialNumber;
    using UsbFifoInterface::Initialize;
    using UsbFifoInterface::IsOpen;
    using UsbFifoInterface::LastStatus;
    using UsbFifoInterface::LibraryPath;
    using UsbFifoInterface::LoadDriverLibrary;
    using UsbFifoInterface::OpenBySerial;
    using UsbFifoInterface::Read;
    using UsbFifoInterface::TextToBytes;
    using UsbFifoInterface::Write;
};

}  // namespace usbfifo
