#pragma once
// The device-independent half of our D2XX libraries: handles, the receive
// queue, event notification, time-outs and the argument conventions of the
// fourteen C functions. A backend (simulated controllers, or libftdi) lists
// devices and opens channels; everything else is here, once.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "D2xx.h"

#define KORVA_D2XX_EXPORT __attribute__((visibility("default")))

namespace korva::d2xx {

struct DeviceInfo {
    std::string serial;
    std::string description;
    DWORD location = 0;  // unique among the attached devices
};

// Operations the core carries out itself; a channel may refuse them (a device
// that is gone, or a simulated fault).
enum class Op { kSetTimeouts, kGetQueueStatus, kGetStatus, kSetEventNotification, kRead };

// Where a channel's threads put what the device sends.
class Receiver {
  public:
    virtual ~Receiver() = default;
    virtual void Deliver(const std::uint8_t* data, std::size_t size) = 0;
    // Raises event bits without data (a simulated spurious notification).
    virtual void RaiseEvent(DWORD events) = 0;
    // The device went away: waiting reads end.
    virtual void Gone() = 0;
    virtual std::size_t Backlog() = 0;
};

// One open device. Every method may be called from any thread, also after a
// successful Close (it then fails with FT_INVALID_HANDLE).
class Channel {
  public:
    virtual ~Channel() = default;
    virtual FT_STATUS Check(Op) { return FT_OK; }
    virtual FT_STATUS Write(const std::uint8_t* data, DWORD size, DWORD timeoutMs,
                            DWORD* written) = 0;
    virtual FT_STATUS Reset() = 0;
    virtual FT_STATUS Purge(DWORD mask) = 0;
    // Ends the channel's threads and releases the device; on failure the
    // channel stays open and working.
    virtual FT_STATUS Close() = 0;
    virtual FT_STATUS SetUsbParameters(ULONG inSize, ULONG outSize) = 0;
    virtual FT_STATUS SetLatencyTimer(UCHAR ms) = 0;
};

class Backend {
  public:
    virtual ~Backend() = default;
    virtual FT_STATUS List(std::vector<DeviceInfo>& devices) = 0;
    // Opens `device`; the channel delivers to `receiver` until it is closed.
    virtual FT_STATUS Open(const DeviceInfo& device, Receiver& receiver,
                           std::unique_ptr<Channel>& channel) = 0;
};

// Defined once by each library.
Backend& TheBackend();

// Bytes kept for the application at most; a backend stops taking data from
// the device while the queue is this full (the chip's flow control holds the rest).
constexpr std::size_t kMaxQueue = 1 << 20;

}  // namespace korva::d2xx
