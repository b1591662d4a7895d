#pragma once
// What the command link needs of the channel under it: open with the link's
// settings, close, send (queued, or waiting until the bytes left), and whether
// the device went away. The serial channel and the USB FIFO binding both sit
// behind it; the link picks one when it opens and talks only to that.
#include <cstdint>
#include <string>

class KorvaComPort;
class SerialPort;
class KorvaUSB;

class LinkTransport {
  public:
    virtual ~LinkTransport() = default;

    // Why an open failed: the link's code (its fixed text goes with it) and
    // the reason as a code and a text naming the device and what to do.
    struct OpenFailure {
        int code = 0;
        int reasonCode = 0;
        std::string reasonText;
    };
    // Opens with the settings of `link` and delivers received bytes to it.
    virtual bool Open(KorvaComPort& link, OpenFailure& failure) = 0;
    // 0, or the link code for a failed close.
    virtual int Close() = 0;

    enum class Health { kUp, kHungUp, kReceiverEnded };
    // Only asked while the link is open.
    virtual Health State() const = 0;

    enum class Sent { kSent, kFailed, kIncomplete, kGone };
    // Hands the bytes to the device. With `waitWritten` the call returns
    // when they left (or could not leave whole). kFailed sets `failCode`.
    virtual Sent Send(const std::uint8_t* data, unsigned length, bool waitWritten,
                      int& failCode) = 0;
};

// The serial channel (tty or pty) behind the link.
class SerialTransport final : public LinkTransport {
  public:
    explicit SerialTransport(SerialPort& port) : m_Port(port) {}
    bool Open(KorvaComPort& link, OpenFailure& failure) override;
    int Close() override;
    Health State() const override;
    Sent Send(const std::uint8_t* data, unsigned length, bool waitWritten, int& failCode) override;

  private:
    SerialPort& m_Port;
};

// The USB FIFO chip behind the link; a write either completes within its
// time limit or fails (there is no hang-up to watch).
class UsbTransport final : public LinkTransport {
  public:
    explicit UsbTransport(KorvaUSB& usb) : m_Usb(usb) {}
    bool Open(KorvaComPort& link, OpenFailure& failure) override;
    int Close() override;
    Health State() const override { return Health::kUp; }
    Sent Send(const std::uint8_t* data, unsigned length, bool waitWritten, int& failCode) override;

  private:
    KorvaUSB& m_Usb;
};
