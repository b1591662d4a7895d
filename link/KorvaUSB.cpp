#include "KorvaUSB.h"

#include "KorvaComPort.h"
#include "Trace.h"

KorvaUSB::~KorvaUSB() {
    // Ends the notification thread while this object's OnReceive still exists.
    Close();
}

void KorvaUSB::OnReceive(DWORD count) {
    std::vector<std::uint8_t> bytes;
    if (!Read(bytes, static_cast<unsigned long>(count) + 100)) korva::Trace("Receive Data error\n");
    if (m_pOwner == nullptr) return;
    for (std::uint8_t byte : bytes) KorvaComPort::DeliverByte(m_pOwner, byte, 1);
}
