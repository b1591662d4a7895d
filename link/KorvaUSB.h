#pragma once
// The USB channel of the command link: turns each receive notification into
// single bytes handed to the owning link, as the serial channel does.
#include "UsbFifoInterface.h"

class KorvaComPort;

class KorvaUSB : public UsbFifoInterface {
  public:
    ~KorvaUSB() override;
    void OnReceive(DWORD count) override;
    KorvaComPort* m_pOwner = nullptr;
};
