// The fourteen D2XX functions over a Backend. Handles are opaque numbers (not
// pointers), so a stale or foreign handle is refused instead of followed.
#include "D2xxCore.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>

namespace korva::d2xx {
namespace {

constexpr std::size_t kListTextSize = 64;  // the caller's buffers, terminator included
// Internal only: reported to the application as FT_DEVICE_NOT_OPENED.
constexpr FT_STATUS kAlreadyOpen = 0x4b000001;

class Handle final : public Receiver {
  public:
    explicit Handle(DeviceInfo info) : m_info(std::move(info)) {}
    ~Handle() override { m_channel.reset(); }

    const DeviceInfo& Info() const { return m_info; }
    std::unique_ptr<Channel>& ChannelSlot() { return m_channel; }
    Channel& Chan() { return *m_channel; }

    void Deliver(const std::uint8_t* data, std::size_t size) override {
        if (size == 0) return;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_rx.insert(m_rx.end(), data, data + size);
            m_events |= FT_EVENT_RXCHAR;
        }
        m_arrived.notify_all();
        Signal(FT_EVENT_RXCHAR);
    }

    void RaiseEvent(DWORD events) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_events |= events;
        }
        Signal(events);
    }

    void Gone() override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_gone = true;
        }
        m_arrived.notify_all();
    }

    std::size_t Backlog() override {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_rx.size();
    }

    // Closed: readers wake up, the application's event is never touched again.
    void Shutdown() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_closed = true;
        }
        m_arrived.notify_all();
        std::lock_guard<std::mutex> guard(m_eventLock);
        m_event = nullptr;
        m_mask = 0;
    }

    void SetTimeouts(DWORD readMs, DWORD writeMs) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_readTimeout = readMs;
        m_writeTimeout = writeMs;
    }

    DWORD WriteTimeout() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_writeTimeout;
    }

    DWORD Queued() {
        std::lock_guard<std::mutex> guard(m_lock);
        return static_cast<DWORD>(m_rx.size());
    }

    void Status(DWORD* rx, DWORD* events) {
        std::lock_guard<std::mutex> guard(m_lock);
        *rx = static_cast<DWORD>(m_rx.size());
        *events = m_events;  // events since the last status call
        m_events = 0;
    }

    void PurgeRx() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_rx.clear();
    }

    // Waits for `want` bytes up to the read time-out (0: no limit), ending
    // early on close or when the device goes away.
    FT_STATUS Read(std::uint8_t* out, DWORD want, DWORD* got) {
        std::unique_lock<std::mutex> lock(m_lock);
        const auto ready = [&] { return m_rx.size() >= want || m_closed || m_gone; };
        if (m_readTimeout == 0)
            m_arrived.wait(lock, ready);
        else
            m_arrived.wait_for(lock, std::chrono::milliseconds(m_readTimeout), ready);
        const std::size_t n = std::min<std::size_t>(want, m_rx.size());
        if (n == 0 && want > 0 && (m_closed || m_gone))
            return m_closed ? FT_INVALID_HANDLE : FT_IO_ERROR;
        std::copy_n(m_rx.begin(), n, out);
        m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(n));
        *got = static_cast<DWORD>(n);
        return FT_OK;
    }

    void SetNotification(DWORD mask, EVENT_HANDLE* event) {
        std::lock_guard<std::mutex> guard(m_eventLock);
        m_mask = event != nullptr ? mask : 0;
        m_event = m_mask != 0 ? event : nullptr;
    }

  private:
    // Signalled under the application's mutex, as its waiter expects. The
    // event lock keeps Shutdown/SetNotification from returning while a signal
    // to the old event is still under way.
    void Signal(DWORD events) {
        std::lock_guard<std::mutex> guard(m_eventLock);
        if (m_event == nullptr || (m_mask & events) == 0) return;
        pthread_mutex_lock(&m_event->eMutex);
        m_event->iVar = 1;  // signalled: a waiter that was not waiting yet sees it
        pthread_cond_signal(&m_event->eCondVar);
        pthread_mutex_unlock(&m_event->eMutex);
    }

    const DeviceInfo m_info;
    std::unique_ptr<Channel> m_channel;
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::deque<std::uint8_t> m_rx;
    DWORD m_events = 0;
    DWORD m_readTimeout = 0;
    DWORD m_writeTimeout = 0;
    bool m_closed = false;
    bool m_gone = false;
    std::mutex m_eventLock;
    EVENT_HANDLE* m_event = nullptr;
    DWORD m_mask = 0;
};

// Never destroyed: backend threads may still run while the process exits.
struct Registry {
    std::mutex lock;
    std::map<std::uintptr_t, std::shared_ptr<Handle>> handles;
    std::set<DWORD> openLocations;  // also reserved while an open is under way
    std::uintptr_t next = 0x4b560001;
};

Registry& Reg() {
    static Registry* registry = new Registry;
    return *registry;
}

std::shared_ptr<Handle> Find(FT_HANDLE handle) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    const auto it = reg.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == reg.handles.end() ? nullptr : it->second;
}

FT_STATUS OpenDevice(const DeviceInfo& info, FT_HANDLE* out) {
    Registry& reg = Reg();
    {
        std::lock_guard<std::mutex> guard(reg.lock);
        if (!reg.openLocations.insert(info.location).second) return kAlreadyOpen;
    }
    auto handle = std::make_shared<Handle>(info);
    const FT_STATUS status = TheBackend().Open(info, *handle, handle->ChannelSlot());
    std::lock_guard<std::mutex> guard(reg.lock);
    if (status != FT_OK || !handle->ChannelSlot()) {
        reg.openLocations.erase(info.location);
        return status != FT_OK ? status : FT_OTHER_ERROR;
    }
    const std::uintptr_t id = reg.next++;
    reg.handles.emplace(id, std::move(handle));
    *out = reinterpret_cast<FT_HANDLE>(id);
    return FT_OK;
}

void CopyText(const std::string& text, char* out) {
    const std::size_t n = std::min(text.size(), kListTextSize - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

std::string_view ListText(const DeviceInfo& info, DWORD flags) {
    return (flags & FT_OPEN_BY_DESCRIPTION) != 0 ? std::string_view(info.description)
                                                 : std::string_view(info.serial);
}

}  // namespace
}  // namespace korva::d2xx

using namespace korva::d2xx;

extern "C" {

KORVA_D2XX_EXPORT FT_STATUS FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags) {
    std::vector<DeviceInfo> devices;
    const FT_STATUS status = TheBackend().List(devices);
    if (status != FT_OK) return status;
    const DWORD count = static_cast<DWORD>(devices.size());
    const bool byLocation = (flags & FT_OPEN_BY_LOCATION) != 0;
    if ((flags & FT_LIST_NUMBER_ONLY) != 0) {
        if (arg1 == nullptr) return FT_INVALID_PARAMETER;
        *static_cast<DWORD*>(arg1) = count;
        return FT_OK;
    }
    if ((flags & FT_LIST_BY_INDEX) != 0) {
        const auto index = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(arg1));
        if (arg2 == nullptr) return FT_INVALID_PARAMETER;
        if (index >= count) return FT_DEVICE_NOT_FOUND;
        if (byLocation)
            *static_cast<DWORD*>(arg2) = devices[index].location;
        else
            CopyText(std::string(ListText(devices[index], flags)), static_cast<char*>(arg2));
        return FT_OK;
    }
    if ((flags & FT_LIST_ALL) != 0) {
        if (arg1 == nullptr || arg2 == nullptr) return FT_INVALID_PARAMETER;
        if (byLocation) {
            auto* out = static_cast<DWORD*>(arg1);
            for (DWORD i = 0; i < count; ++i) out[i] = devices[i].location;
        } else {
            // The array ends with a null entry: never write past it.
            auto** out = static_cast<char**>(arg1);
            for (DWORD i = 0; i < count && out[i] != nullptr; ++i)
                CopyText(std::string(ListText(devices[i], flags)), out[i]);
        }
        *static_cast<DWORD*>(arg2) = count;
        return FT_OK;
    }
    return FT_INVALID_PARAMETER;
}

KORVA_D2XX_EXPORT FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* handle) {
    if (handle == nullptr || deviceNumber < 0) return FT_INVALID_PARAMETER;
    std::vector<DeviceInfo> devices;
    const FT_STATUS status = TheBackend().List(devices);
    if (status != FT_OK) return status;
    if (static_cast<std::size_t>(deviceNumber) >= devices.size()) return FT_DEVICE_NOT_FOUND;
    const FT_STATUS result = OpenDevice(devices[static_cast<std::size_t>(deviceNumber)], handle);
    return result == kAlreadyOpen ? FT_DEVICE_NOT_OPENED : result;
}

KORVA_D2XX_EXPORT FT_STATUS FT_OpenEx(PVOID arg1, DWORD flags, FT_HANDLE* handle) {
    if (handle == nullptr) return FT_INVALID_PARAMETER;
    const bool byText = flags == FT_OPEN_BY_SERIAL_NUMBER || flags == FT_OPEN_BY_DESCRIPTION;
    if (!byText && flags != FT_OPEN_BY_LOCATION) return FT_INVALID_PARAMETER;
    const char* text = byText ? static_cast<const char*>(arg1) : nullptr;
    // An empty text names no device (a blank serial number is opened by location).
    if (byText && (text == nullptr || *text == '\0')) return FT_DEVICE_NOT_FOUND;
    std::vector<DeviceInfo> devices;
    const FT_STATUS status = TheBackend().List(devices);
    if (status != FT_OK) return status;
    // Several devices may share a description: the first one not yet open is taken.
    FT_STATUS result = FT_DEVICE_NOT_FOUND;
    for (const DeviceInfo& device : devices) {
        const bool match =
            byText ? ListText(device, flags) == text
                   : device.location == static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(arg1));
        if (!match) continue;
        result = OpenDevice(device, handle);
        if (result != kAlreadyOpen) return result;
    }
    return result == kAlreadyOpen ? FT_DEVICE_NOT_OPENED : result;
}

KORVA_D2XX_EXPORT FT_STATUS FT_Close(FT_HANDLE handle) {
    const std::shared_ptr<Handle> h = Find(handle);
    if (!h) return FT_INVALID_HANDLE;
    const FT_STATUS status = h->Chan().Close();
    if (status != FT_OK) return status;
    h->Shutdown();
    Registry& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    if (reg.handles.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0)
        reg.openLocations.erase(h->Info().location);
    return FT_OK;
}

KORVA_D2XX_EXPORT FT_STATUS FT_Read(FT_HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read) {
    const std::shared_ptr<Handle> h = Find(handle);
    if (!h) return FT_INVALID_HANDLE;
    if (read == nullptr || (buffer == nullptr && toRead > 0)) return FT_INVALID_PARAMETER;
    *read = 0;
    if (const FT_STATUS status = h->Chan().Check(Op::kRead); status != FT_OK) return status;
    return h->Read(static_cast<std::uint8_t*>(buffer), toRead, read);
}

KORVA_D2XX_EXPORT FT_STATUS FT_Write(FT_HANDLE handle, LPVOID buffer, DWORD toWrite,
                                     LPDWORD written) {
    const std::shared_ptr<Handle> h = Find(handle);
    if (!h) return FT_INVALID_HANDLE;
    if (written == nullptr || (buffer == nullptr && toWrite > 0)) return FT_INVALID_PARAMETER;
    *written = 0;
    return h->Chan().Write(static_cast<const std::uint8_t*>(buffer), toWrite, h->WriteTimeout(),
                           written);
}

KORVA_D2XX_EXPORT FT_STATUS FT_ResetDevice(FT_HANDLE handle) {
    const std::shared_ptr<Handle> h = Find(handle);
    return h ? h->Chan().Reset() : FT_INVALID_HANDLE;
}

KORVA_D2XX_EXPORT FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) {
    const std::shared_ptr<Handle> h = Find(handle);
    if (!h) return FT_INVALID_HANDLE;
    const FT_STATUS status = h->Chan().Purge(mask);
    if (status == FT_OK && (mask & FT_PURGE_RX) != 0) h->PurgeRx();
    return status;
}

KORVA_D2XX_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout,
                                           ULONG writeTimeout) {
    const std::shared_ptr<Handle> h = Find(handle);
    if (!h) return FT_INVALID_HANDLE;
    if (const FT_STATUS status = h->Chan().Check(Op::kSetTimeouts); status != FT_OK) return status;
    h->SetTimeouts(readTimeout, writeTimeout);
    return FT_OK;
}

KORVA_D2XX_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
    const std::shared_ptr<Handle> h = Find(handle);
    if (!h) return FT_INVALID_HANDLE;
    if (rxBytes == nullptr) return FT_INVALID_PARAMETER;
    if (const FT_STATUS status = h->Chan().Check(Op::kGetQueueStatus); status != FT_OK)
        return status;
    *rxBytes = h->Queued();
    return FT_OK;
}

KORVA_D2XX_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                         DWORD* eventStatus) {
    const std::shared_ptr<Handle> h = Find(handle);
    if (!h) return FT_INVALID_HANDLE;
    if (rxBytes == nullptr || txBytes == nullptr || eventStatus == nullptr)
        return FT_INVALID_PARAMETER;
    if (const FT_STATUS status = h->Chan().Check(Op::kGetStatus); status != FT_OK) return status;
    *txBytes = 0;  // writes complete before FT_Write returns
    h->Status(rxBytes, eventStatus);
    return FT_OK;
}

KORVA_D2XX_EXPORT FT_STATUS FT_SetEventNotification(FT_HANDLE handle, DWORD mask, PVOID param) {
    const std::shared_ptr<Handle> h = Find(handle);
    if (!h) return FT_INVALID_HANDLE;
    auto* event = static_cast<EVENT_HANDLE*>(param);
    // Taking the event away is always allowed: the caller may be about to free it.
    if (mask != 0 && event != nullptr) {
        if (const FT_STATUS status = h->Chan().Check(Op::kSetEventNotification); status != FT_OK)
            return status;
    }
    h->SetNotification(mask, event);
    return FT_OK;
}

KORVA_D2XX_EXPORT FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, ULONG inTransferSize,
                                                ULONG outTransferSize) {
    const std::shared_ptr<Handle> h = Find(handle);
    return h ? h->Chan().SetUsbParameters(inTransferSize, outTransferSize) : FT_INVALID_HANDLE;
}

KORVA_D2XX_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR latency) {
    const std::shared_ptr<Handle> h = Find(handle);
    return h ? h->Chan().SetLatencyTimer(latency) : FT_INVALID_HANDLE;
}

}  // extern "C"
