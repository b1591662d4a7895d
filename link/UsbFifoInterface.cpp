// Placeholder until the D2XX binding lands: every operation fails cleanly.
#include "UsbFifoInterface.h"

UsbFifoInterface::UsbFifoInterface() = default;
UsbFifoInterface::~UsbFifoInterface() = default;
void UsbFifoInterface::OnReceive(DWORD) {}
bool UsbFifoInterface::Initialize(NotifyTarget* w, unsigned m) {
    m_pNotifyWnd = w;
    m_NotifyMessage = m;
    return LoadDriverLibrary();
}
bool UsbFifoInterface::LoadDriverLibrary() { return false; }
bool UsbFifoInterface::GetDeviceCount(int* count) {
    if (count) *count = 0;
    return false;
}
bool UsbFifoInterface::GetSerialNumber(int, std::string&) { return false; }
bool UsbFifoInterface::GetDescription(int, std::string&) { return false; }
bool UsbFifoInterface::GetLocation(int, long*) { return false; }
bool UsbFifoInterface::OpenBySerial(const std::string& s) {
    m_SerialNumber = s;
    return false;
}
bool UsbFifoInterface::Write(std::vector<std::uint8_t>&, unsigned long) { return false; }
bool UsbFifoInterface::Read(std::vector<std::uint8_t>&, unsigned long) { return false; }
bool UsbFifoInterface::Close() { return true; }
void UsbFifoInterface::TextToBytes(const std::string& text, std::vector<std::uint8_t>& bytes) {
    bytes.insert(bytes.end(), text.begin(), text.end());
}
void UsbFifoInterface::BytesToText(const std::vector<std::uint8_t>& bytes, std::string& text) {
    text.assign(bytes.begin(), bytes.end());
}
