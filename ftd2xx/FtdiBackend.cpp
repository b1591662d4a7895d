// FTDI chips through libftdi1: vendor 0x0403, the product ids below plus
// KORVA_FTDI_PIDS (hexadecimal, separated by ',' or ' '). A chip with several
// interfaces (FT2232, FT4232) shows one device per interface, the serial
// number and description followed by " A", " B", ... as the vendor's driver does.
//
// One reader thread per open device moves received bytes into the core's
// queue; every libftdi call on a context goes through that context's lock.
#include <libftdi1/ftdi.h>
#include <libusb-1.0/libusb.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "D2xxCore.h"
#include "FtdiProducts.h"
#include "Trace.h"

using korva::Trace;

namespace korva::d2xx {
namespace {

// Short, so that a reply is not held back in the chip, and CR flushes at once.
constexpr unsigned char kLatencyMs = 2;
constexpr unsigned char kEventChar = '\r';
// A bulk read returns after the latency timer with status bytes only; this
// bounds a read that gets nothing at all (a device in trouble).
constexpr int kUsbReadTimeoutMs = 100;
constexpr DWORD kDefaultWriteTimeoutMs = 5000;  // when the application set none
constexpr int kReadChunk = 4096;
constexpr int kWriteChunk = 4096;
// A chip that fails this many reads in a row (about a second) counts as gone.
constexpr int kMaxReadFailures = 500;

int InterfaceCount(int product) {
    switch (product) {
        case 0x6010:
            return 2;  // FT2232
        case 0x6011:
            return 4;  // FT4232
        default:
            return 1;
    }
}

// Bus in the top byte, up to five port numbers of the path (4 bits each), then
// the interface: stable for one socket, unique among attached chips.
DWORD LocationOf(libusb_device* dev, int iface) {
    std::array<std::uint8_t, 8> ports{};
    const int depth = libusb_get_port_numbers(dev, ports.data(), static_cast<int>(ports.size()));
    DWORD path = 0;
    for (int i = 0; i < depth && i < 5; ++i) path = (path << 4) | (ports[i] & 0x0f);
    return (static_cast<DWORD>(libusb_get_bus_number(dev)) << 24) | (path << 4) |
           static_cast<DWORD>(iface);
}

std::string SysfsName(libusb_device* dev, int iface) {
    std::array<std::uint8_t, 8> ports{};
    const int depth = libusb_get_port_numbers(dev, ports.data(), static_cast<int>(ports.size()));
    std::string name = std::to_string(libusb_get_bus_number(dev)) + "-";
    for (int i = 0; i < depth; ++i) name += (i ? "." : "") + std::to_string(ports[i]);
    return name + ":1." + std::to_string(iface);
}

struct FtdiContext {
    ftdi_context* ctx = ftdi_new();
    FtdiContext() = default;
    ~FtdiContext() {
        if (ctx != nullptr) ftdi_free(ctx);
    }
    FtdiContext(const FtdiContext&) = delete;
    FtdiContext& operator=(const FtdiContext&) = delete;
};

struct DeviceList {
    ftdi_device_list* list = nullptr;
    ~DeviceList() {
        if (list != nullptr) ftdi_list_free(&list);
    }
};

// Calls `visit(dev, product, iface, info)` for every attached chip interface.
template <typename Visit>
FT_STATUS Enumerate(ftdi_context* ctx, Visit visit) {
    for (int product : FtdiProductIds()) {
        DeviceList found;
        const int n = ftdi_usb_find_all(ctx, &found.list, kFtdiVendor, product);
        if (n < 0) {
            Trace("FTDI: listing %04x:%04x failed: %s\n", kFtdiVendor, product,
                  ftdi_get_error_string(ctx));
            return FT_OTHER_ERROR;
        }
        for (ftdi_device_list* item = found.list; item != nullptr; item = item->next) {
            std::array<char, 64> description{};
            std::array<char, 64> serial{};
            // Reading the strings opens the device: without permission it is
            // still listed, with an empty serial number, and the trace says why.
            if (ftdi_usb_get_strings2(ctx, item->dev, nullptr, 0, description.data(),
                                      description.size(), serial.data(), serial.size()) < 0) {
                Trace("FTDI: %04x:%04x at %s: cannot read its serial number: %s (%s)\n",
                      kFtdiVendor, product, SysfsName(item->dev, 0).c_str(),
                      ftdi_get_error_string(ctx),
                      "check the udev rule 60-korva-ftdi.rules and your group membership");
                std::snprintf(description.data(), description.size(), "FTDI %04x:%04x (no access)",
                              kFtdiVendor, product);
                serial[0] = '\0';
            }
            const int interfaces = InterfaceCount(product);
            for (int i = 0; i < interfaces; ++i) {
                DeviceInfo info;
                info.serial = serial.data();
                info.description = description.data();
                if (interfaces > 1) {
                    const char letter = static_cast<char>('A' + i);
                    if (!info.serial.empty()) info.serial += letter;
                    info.description += std::string(" ") + letter;
                }
                info.location = LocationOf(item->dev, i);
                if (visit(item->dev, product, i, info)) return FT_OK;
            }
        }
    }
    return FT_OK;
}

// Explains a failed open the way a user can act on it.
void ExplainOpenFailure(libusb_device* dev, int iface, int code, ftdi_context* ctx) {
    const std::string where = SysfsName(dev, iface);
    Trace("FTDI: cannot open the device at %s: %s (%d)\n", where.c_str(),
          ftdi_get_error_string(ctx), code);
    libusb_device_handle* probe = nullptr;
    const int rc = libusb_open(dev, &probe);
    if (rc == LIBUSB_ERROR_ACCESS) {
        Trace(
            "FTDI: permission denied (%s): install ftd2xx/60-korva-ftdi.rules into "
            "/etc/udev/rules.d, run 'udevadm control --reload && udevadm trigger', replug the "
            "device and make sure you are in the plugdev group\n",
            std::strerror(EACCES));
        return;
    }
    if (rc != 0) {
        Trace("FTDI: %s\n", libusb_strerror(static_cast<libusb_error>(rc)));
        return;
    }
    const int kernel = libusb_kernel_driver_active(probe, iface);
    libusb_close(probe);
    if (kernel == 1 || code == -5) {
        Trace(
            "FTDI: interface busy (%s): another program holds it, or the ftdi_sio kernel "
            "driver is bound and could not be detached; unbind it with "
            "'echo -n %s | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind'\n",
            std::strerror(EBUSY), where.c_str());
    }
}

bool DeviceGone(int code) {
    return code == LIBUSB_ERROR_NO_DEVICE || code == -666;
}

class FtdiChannel final : public Channel {
  public:
    FtdiChannel(std::unique_ptr<FtdiContext> context, Receiver& receiver)
        : m_context(std::move(context)), m_receiver(receiver) {
        m_reader = std::thread([this] { ReadLoop(); });
    }
    ~FtdiChannel() override {
        StopReader();
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_closed) ftdi_usb_close(m_context->ctx);
    }

    FT_STATUS Check(Op) override { return Health(); }

    FT_STATUS Write(const std::uint8_t* data, DWORD size, DWORD timeoutMs,
                    DWORD* written) override {
        // libusb directly rather than ftdi_write_data: on a time-out it tells
        // how much went out, which is reported as a short write.
        const unsigned timeout = timeoutMs != 0 ? timeoutMs : kDefaultWriteTimeoutMs;
        DWORD done = 0;
        while (done < size) {
            const int chunk = static_cast<int>(std::min<DWORD>(size - done, kWriteChunk));
            std::lock_guard<std::mutex> guard(m_lock);
            if (const FT_STATUS status = HealthLocked(); status != FT_OK) return status;
            int actual = 0;
            const int rc = libusb_bulk_transfer(m_context->ctx->usb_dev, m_context->ctx->in_ep,
                                                const_cast<std::uint8_t*>(data + done), chunk,
                                                &actual, timeout);
            done += static_cast<DWORD>(std::max(actual, 0));
            if (rc == LIBUSB_ERROR_TIMEOUT) break;
            if (rc < 0) {
                Trace("FTDI: write failed: %s\n", libusb_strerror(static_cast<libusb_error>(rc)));
                if (DeviceGone(rc)) MarkGoneLocked();
                *written = done;
                return FT_IO_ERROR;
            }
        }
        *written = done;
        return FT_OK;
    }

    FT_STATUS Reset() override { return Simple("reset", ftdi_usb_reset); }

    FT_STATUS Purge(DWORD mask) override {
        if ((mask & FT_PURGE_RX) != 0)
            if (const FT_STATUS s = Simple("purge", ftdi_tciflush); s != FT_OK) return s;
        if ((mask & FT_PURGE_TX) != 0)
            if (const FT_STATUS s = Simple("purge", ftdi_tcoflush); s != FT_OK) return s;
        return FT_OK;
    }

    FT_STATUS Close() override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_closed) return FT_INVALID_HANDLE;
        }
        StopReader();
        std::lock_guard<std::mutex> guard(m_lock);
        const int rc = ftdi_usb_close(m_context->ctx);
        m_closed = true;  // the handle is gone either way
        if (rc < 0 && !m_gone) Trace("FTDI: close: %s\n", ftdi_get_error_string(m_context->ctx));
        return FT_OK;
    }

    FT_STATUS SetUsbParameters(ULONG inSize, ULONG outSize) override {
        std::lock_guard<std::mutex> guard(m_lock);
        if (const FT_STATUS status = HealthLocked(); status != FT_OK) return status;
        if (inSize != 0 && ftdi_read_data_set_chunksize(m_context->ctx, inSize) < 0)
            return FT_INVALID_PARAMETER;
        if (outSize != 0 && ftdi_write_data_set_chunksize(m_context->ctx, outSize) < 0)
            return FT_INVALID_PARAMETER;
        return FT_OK;
    }

    FT_STATUS SetLatencyTimer(UCHAR ms) override {
        std::lock_guard<std::mutex> guard(m_lock);
        if (const FT_STATUS status = HealthLocked(); status != FT_OK) return status;
        return ftdi_set_latency_timer(m_context->ctx, ms) < 0 ? FT_INVALID_PARAMETER : FT_OK;
    }

  private:
    FT_STATUS Health() {
        std::lock_guard<std::mutex> guard(m_lock);
        return HealthLocked();
    }
    FT_STATUS HealthLocked() const {
        if (m_closed) return FT_INVALID_HANDLE;
        return m_gone ? FT_IO_ERROR : FT_OK;
    }
    void MarkGoneLocked() {
        if (!m_gone) Trace("FTDI: the device went away\n");
        m_gone = true;
        m_receiver.Gone();
    }

    FT_STATUS Simple(const char* what, int (*call)(ftdi_context*)) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (const FT_STATUS status = HealthLocked(); status != FT_OK) return status;
        const int rc = call(m_context->ctx);
        if (rc >= 0) return FT_OK;
        Trace("FTDI: %s failed: %s\n", what, ftdi_get_error_string(m_context->ctx));
        if (DeviceGone(rc)) MarkGoneLocked();
        return FT_IO_ERROR;
    }

    void ReadLoop() {
        std::array<std::uint8_t, kReadChunk> buf{};
        int failures = 0;  // in a row
        while (!m_stop) {
            if (m_receiver.Backlog() >= kMaxQueue) {  // let the chip hold the rest
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            int rc = 0;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (m_gone || m_closed) break;
                rc = ftdi_read_data(m_context->ctx, buf.data(), static_cast<int>(buf.size()));
                failures = rc < 0 && rc != LIBUSB_ERROR_TIMEOUT ? failures + 1 : 0;
                if (rc < 0 && (DeviceGone(rc) || failures > kMaxReadFailures)) {
                    Trace("FTDI: read failed: %s\n", ftdi_get_error_string(m_context->ctx));
                    MarkGoneLocked();
                    break;
                }
            }
            if (rc > 0)
                m_receiver.Deliver(buf.data(), static_cast<std::size_t>(rc));
            else  // nothing within one latency period: let writers in
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void StopReader() {
        m_stop = true;
        if (m_reader.joinable()) m_reader.join();
    }

    std::unique_ptr<FtdiContext> m_context;
    Receiver& m_receiver;
    std::mutex m_lock;  // every libftdi call on m_context
    bool m_closed = false;
    bool m_gone = false;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
};

class FtdiBackend final : public Backend {
  public:
    FT_STATUS List(std::vector<DeviceInfo>& devices) override {
        FtdiContext context;
        if (context.ctx == nullptr) {
            Trace("FTDI: no libftdi context: %s\n", std::strerror(ENOMEM));
            return FT_INSUFFICIENT_RESOURCES;
        }
        return Enumerate(context.ctx, [&](libusb_device*, int, int, const DeviceInfo& info) {
            devices.push_back(info);
            return false;
        });
    }

    FT_STATUS Open(const DeviceInfo& device, Receiver& receiver,
                   std::unique_ptr<Channel>& channel) override {
        auto context = std::make_unique<FtdiContext>();
        if (context->ctx == nullptr) {
            Trace("FTDI: no libftdi context: %s\n", std::strerror(ENOMEM));
            return FT_INSUFFICIENT_RESOURCES;
        }
        ftdi_context* ctx = context->ctx;
        FT_STATUS result = FT_DEVICE_NOT_FOUND;
        const FT_STATUS listed =
            Enumerate(ctx, [&](libusb_device* dev, int, int iface, const DeviceInfo& info) {
                if (info.location != device.location) return false;
                ftdi_set_interface(ctx, static_cast<ftdi_interface>(INTERFACE_A + iface));
                const int rc = ftdi_usb_open_dev(ctx, dev);
                if (rc < 0) {
                    ExplainOpenFailure(dev, iface, rc, ctx);
                    result = FT_DEVICE_NOT_OPENED;
                    return true;
                }
                result = Configure(ctx);
                if (result != FT_OK) ftdi_usb_close(ctx);
                return true;
            });
        if (listed != FT_OK) return listed;
        if (result != FT_OK) return result;
        channel = std::make_unique<FtdiChannel>(std::move(context), receiver);
        return FT_OK;
    }

  private:
    static FT_STATUS Configure(ftdi_context* ctx) {
        ctx->usb_read_timeout = kUsbReadTimeoutMs;
        if (ftdi_set_latency_timer(ctx, kLatencyMs) < 0 ||
            ftdi_set_event_char(ctx, kEventChar, 1) < 0) {
            Trace("FTDI: configuring the device failed: %s\n", ftdi_get_error_string(ctx));
            return FT_IO_ERROR;
        }
        return FT_OK;
    }
};

}  // namespace

Backend& TheBackend() {
    static FtdiBackend* backend = new FtdiBackend;
    return *backend;
}

}  // namespace korva::d2xx
