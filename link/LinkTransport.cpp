#include "LinkTransport.h"

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "Files.h"
#include "KorvaComPort.h"
#include "KorvaUSB.h"
#include "SerialPort.h"
#include "Trace.h"

namespace {

constexpr unsigned long kComEventMask = 9;  // received character, clear to send
constexpr unsigned kComWriteBuffer = 512;
constexpr unsigned long kUsbWriteTimeoutMs = 3000;

using korva::ErrnoText;

// The reason for a failed COM open, from the port number and the open's errno.
std::pair<int, std::string> OpenFailureReason(short port, const std::string& device, int err,
                                              bool notTerminal) {
    const std::string name = "COM" + std::to_string(port) + " (" + device + ")";
    if (port < 1 || port > 255)
        return {KorvaComPort::kErrPortRange,
                "COM port number " + std::to_string(port) + " is outside 1..255"};
    if (notTerminal)
        return {KorvaComPort::kErrNotTerminal,
                name + " is not a serial device (not a terminal); check the port map"};
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return {KorvaComPort::kErrPortMissing,
                    name + " is missing: " + ErrnoText(err) +
                        "; plug the device in or map the port to another device"};
        case EACCES:
        case EPERM:
            return {KorvaComPort::kErrPermission,
                    name + ": " + ErrnoText(err) +
                        "; add your user to the dialout group (sudo usermod -aG dialout $USER, "
                        "then log in again) or install the udev rule 60-korva-ftdi.rules"};
        case EBUSY:
        case EWOULDBLOCK:
            return {KorvaComPort::kErrOpenCom,
                    name + " is in use by another program (" + ErrnoText(err) + ")"};
        default:
            return {KorvaComPort::kErrOpenCom, name + " did not open: " + ErrnoText(err)};
    }
}

}  // namespace

// ---------------------------------------------------------------- serial

bool SerialTransport::Open(KorvaComPort& link, OpenFailure& failure) {
    m_Port.m_pOwner = &link;
    const short port = link.GetPortNumber();
    // The channel refuses port numbers outside 1..255.
    const unsigned portNr = port < 1 ? 0u : static_cast<unsigned>(port);
    if (!m_Port.OpenChannel(
            portNr, link.GetBaudRate(), link.GetParity(), static_cast<unsigned>(link.GetDataBits()),
            static_cast<unsigned>(link.GetStopBits()), kComEventMask, kComWriteBuffer)) {
        korva::Trace("KorvaComPort: opening COM%d (%s) failed: %s\n", port,
                     m_Port.DevicePath().c_str(), ErrnoText(m_Port.LastOpenErrno()).c_str());
        failure.code = KorvaComPort::kErrOpenCom;
        std::tie(failure.reasonCode, failure.reasonText) =
            OpenFailureReason(port, m_Port.DevicePath(), m_Port.LastOpenErrno(), false);
        return false;
    }
    // A plain file or another non-terminal opens, but no controller answers there.
    if (!m_Port.IsTerminal()) {
        m_Port.CloseChannel();
        failure.code = KorvaComPort::kErrOpenCom;
        std::tie(failure.reasonCode, failure.reasonText) =
            OpenFailureReason(port, m_Port.DevicePath(), ENOTTY, true);
        korva::Trace("KorvaComPort: %s\n", failure.reasonText.c_str());
        return false;
    }
    if (!m_Port.StartMonitor()) {
        m_Port.CloseChannel();  // the open port must not outlive the failed open
        failure.code = KorvaComPort::kErrStartThread;
        failure.reasonCode = KorvaComPort::kErrStartThread;
        failure.reasonText = KorvaComPort::LinkErrorText(KorvaComPort::kErrStartThread);
        return false;
    }
    return true;
}

int SerialTransport::Close() {
    return m_Port.CloseChannel() ? 0 : KorvaComPort::kErrCloseCom;
}

LinkTransport::Health SerialTransport::State() const {
    if (m_Port.HungUp()) return Health::kHungUp;
    return m_Port.IsMonitorAlive() ? Health::kUp : Health::kReceiverEnded;
}

LinkTransport::Sent SerialTransport::Send(const std::uint8_t* data, unsigned length,
                                          bool waitWritten, int&) {
    if (State() != Health::kUp) return Sent::kGone;
    const std::uint64_t ticket = m_Port.QueueWrite(data, length);
    if (!waitWritten) return Sent::kSent;
    switch (m_Port.WaitWritten(ticket)) {
        case SerialPort::WriteOutcome::kWritten:
            return Sent::kSent;
        case SerialPort::WriteOutcome::kIncomplete:
            return Sent::kIncomplete;
        case SerialPort::WriteOutcome::kGone:
            break;
    }
    return Sent::kGone;
}

// ---------------------------------------------------------------- USB

bool UsbTransport::Open(KorvaComPort& link, OpenFailure& failure) {
    m_Usb.m_pOwner = &link;
    const std::string serial = link.GetUSBSerial();
    if (!m_Usb.OpenBySerial(serial)) {
        korva::Trace("KorvaComPort: opening USB device \"%s\" failed (status %u)\n", serial.c_str(),
                     static_cast<unsigned>(m_Usb.LastStatus()));
        failure.code = KorvaComPort::kErrOpenUsb;
        failure.reasonCode = KorvaComPort::kErrOpenUsb;
        failure.reasonText = "USB device \"" + serial + "\" did not open";
        return false;
    }
    return true;
}

int UsbTransport::Close() {
    return m_Usb.Close() ? 0 : KorvaComPort::kErrCloseUsb;
}

// The USB write returns when the chip took the bytes or its time limit
// passed, so both send forms wait the same way.
LinkTransport::Sent UsbTransport::Send(const std::uint8_t* data, unsigned length, bool,
                                       int& failCode) {
    std::vector<std::uint8_t> bytes(data, data + length);
    if (!m_Usb.Write(bytes, kUsbWriteTimeoutMs)) {
        korva::Trace("KorvaComPort: USB write of %u bytes failed (status %u)\n", length,
                     static_cast<unsigned>(m_Usb.LastStatus()));
        failCode = KorvaComPort::kErrUsbWrite;
        return Sent::kFailed;
    }
    return Sent::kSent;
}
