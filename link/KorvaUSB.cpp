#include "KorvaUSB.h"

#include "KorvaComPort.h"

void KorvaUSB::OnReceive(DWORD) {}
