// A recording D2XX library for UsbFifo's tests: one device, serial "FAKE01",
// description "Fake FIFO". It keeps every block written, queues bytes the test
// feeds as received data (signalling the application's event), and fails the
// calls the test names. Exports the fourteen D2XX functions plus fake_d2xx_*.
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "D2xx.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kSerial = "FAKE01";
constexpr const char* kDescription = "Fake FIFO";
FT_HANDLE const kHandle = reinterpret_cast<FT_HANDLE>(0x4641);

struct State {
    std::mutex lock;
    bool open = false;
    std::vector<std::string> writes;
    std::deque<std::uint8_t> rx;
    DWORD events = 0;
    EVENT_HANDLE* event = nullptr;
    DWORD mask = 0;
    std::set<std::string> failing;
    unsigned long reads = 0;
    std::string onRead;  // arrives right after the next successful read
};

State& S() {
    static State* state = new State;  // outlives threads still calling in at exit
    return *state;
}

bool Failing(State& s, const char* call) {
    return s.failing.count(call) != 0;
}

void Signal(EVENT_HANDLE* event) {
    if (event == nullptr) return;
    pthread_mutex_lock(&event->eMutex);
    pthread_cond_signal(&event->eCondVar);
    pthread_mutex_unlock(&event->eMutex);
}

FT_STATUS CheckHandle(State& s, FT_HANDLE handle, const char* call) {
    if (handle != kHandle || !s.open) return FT_INVALID_HANDLE;
    return Failing(s, call) ? FT_IO_ERROR : FT_OK;
}

void CopyText(const char* text, void* out) {
    std::strncpy(static_cast<char*>(out), text, 63);
    static_cast<char*>(out)[63] = '\0';
}

}  // namespace

// Test controls.
FAKE_EXPORT void fake_d2xx_reset() {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    s.writes.clear();
    s.rx.clear();
    s.events = 0;
    s.failing.clear();
    s.reads = 0;
    s.onRead.clear();
}

// Makes the D2XX call `name` ("FT_Close", "FT_Read", ...) fail (on != 0) or work.
FAKE_EXPORT void fake_d2xx_fail(const char* name, int on) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (on != 0)
        s.failing.insert(name);
    else
        s.failing.erase(name);
}

// Queues `size` bytes as received and signals the application's event.
FAKE_EXPORT void fake_d2xx_feed(const void* data, unsigned size) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    s.rx.insert(s.rx.end(), bytes, bytes + size);
    s.events |= FT_EVENT_RXCHAR;
    // Under the lock: a close cannot take the event away meanwhile.
    if ((s.mask & FT_EVENT_RXCHAR) != 0) Signal(s.event);
}

// Bytes that arrive right after the next successful FT_Read (while the
// application is still handling what it read).
FAKE_EXPORT void fake_d2xx_feed_on_read(const void* data, unsigned size) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    s.onRead.assign(static_cast<const char*>(data), size);
}

FAKE_EXPORT unsigned fake_d2xx_write_count() {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    return static_cast<unsigned>(s.writes.size());
}

// Copies block `index` (up to `capacity` bytes); returns its full size, or -1.
FAKE_EXPORT int fake_d2xx_write_at(unsigned index, void* out, unsigned capacity) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (index >= s.writes.size()) return -1;
    const std::string& block = s.writes[index];
    std::memcpy(out, block.data(), std::min<size_t>(capacity, block.size()));
    return static_cast<int>(block.size());
}

// FT_Read calls so far (failed ones included).
FAKE_EXPORT unsigned long fake_d2xx_reads() {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.reads;
}

FAKE_EXPORT int fake_d2xx_is_open() {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.open ? 1 : 0;
}

// The D2XX functions.
FAKE_EXPORT FT_STATUS FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (Failing(s, "FT_ListDevices")) return FT_IO_ERROR;
    if ((flags & FT_LIST_NUMBER_ONLY) != 0) {
        *static_cast<DWORD*>(arg1) = 1;
        return FT_OK;
    }
    const bool description = (flags & FT_OPEN_BY_DESCRIPTION) != 0;
    const char* text = description ? kDescription : kSerial;
    if ((flags & FT_LIST_BY_INDEX) != 0) {
        if (reinterpret_cast<uintptr_t>(arg1) != 0) return FT_DEVICE_NOT_FOUND;
        CopyText(text, arg2);
        return FT_OK;
    }
    if ((flags & FT_LIST_ALL) != 0) {
        auto** buffers = static_cast<char**>(arg1);
        if (buffers[0] != nullptr) CopyText(text, buffers[0]);
        if (arg2 != nullptr) *static_cast<DWORD*>(arg2) = 1;
        return FT_OK;
    }
    return FT_INVALID_PARAMETER;
}

FAKE_EXPORT FT_STATUS FT_Open(int, FT_HANDLE*) {
    return FT_DEVICE_NOT_OPENED;
}

FAKE_EXPORT FT_STATUS FT_OpenEx(PVOID arg1, DWORD flags, FT_HANDLE* handle) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (flags != FT_OPEN_BY_SERIAL_NUMBER || std::strcmp(static_cast<char*>(arg1), kSerial) != 0)
        return FT_DEVICE_NOT_FOUND;
    if (s.open || Failing(s, "FT_OpenEx")) return FT_DEVICE_NOT_OPENED;
    s.open = true;
    *handle = kHandle;
    return FT_OK;
}

FAKE_EXPORT FT_STATUS FT_Close(FT_HANDLE handle) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (const FT_STATUS st = CheckHandle(s, handle, "FT_Close"); st != FT_OK) return st;
    s.open = false;
    s.event = nullptr;
    s.mask = 0;
    return FT_OK;
}

FAKE_EXPORT FT_STATUS FT_Read(FT_HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    ++s.reads;
    if (const FT_STATUS st = CheckHandle(s, handle, "FT_Read"); st != FT_OK) return st;
    const DWORD n = std::min<DWORD>(toRead, static_cast<DWORD>(s.rx.size()));
    std::copy_n(s.rx.begin(), n, static_cast<std::uint8_t*>(buffer));
    s.rx.erase(s.rx.begin(), s.rx.begin() + n);
    *read = n;
    if (!s.onRead.empty()) {
        s.rx.insert(s.rx.end(), s.onRead.begin(), s.onRead.end());
        s.onRead.clear();
        s.events |= FT_EVENT_RXCHAR;
        if ((s.mask & FT_EVENT_RXCHAR) != 0) Signal(s.event);
    }
    return FT_OK;
}

FAKE_EXPORT FT_STATUS FT_Write(FT_HANDLE handle, LPVOID buffer, DWORD toWrite, LPDWORD written) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (const FT_STATUS st = CheckHandle(s, handle, "FT_Write"); st != FT_OK) return st;
    s.writes.emplace_back(static_cast<const char*>(buffer), toWrite);
    *written = toWrite;
    return FT_OK;
}

FAKE_EXPORT FT_STATUS FT_ResetDevice(FT_HANDLE handle) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    return CheckHandle(s, handle, "FT_ResetDevice");
}

FAKE_EXPORT FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (const FT_STATUS st = CheckHandle(s, handle, "FT_Purge"); st != FT_OK) return st;
    if ((mask & FT_PURGE_RX) != 0) s.rx.clear();
    return FT_OK;
}

FAKE_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG, ULONG) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    return CheckHandle(s, handle, "FT_SetTimeouts");
}

FAKE_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (const FT_STATUS st = CheckHandle(s, handle, "FT_GetQueueStatus"); st != FT_OK) return st;
    *rxBytes = static_cast<DWORD>(s.rx.size());
    return FT_OK;
}

FAKE_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                   DWORD* eventStatus) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (const FT_STATUS st = CheckHandle(s, handle, "FT_GetStatus"); st != FT_OK) return st;
    *rxBytes = static_cast<DWORD>(s.rx.size());
    *txBytes = 0;
    *eventStatus = s.events;
    s.events = 0;
    return FT_OK;
}

FAKE_EXPORT FT_STATUS FT_SetEventNotification(FT_HANDLE handle, DWORD mask, PVOID param) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (const FT_STATUS st = CheckHandle(s, handle, "FT_SetEventNotification"); st != FT_OK)
        return st;
    s.event = static_cast<EVENT_HANDLE*>(param);
    s.mask = param != nullptr ? mask : 0;
    return FT_OK;
}

FAKE_EXPORT FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, ULONG, ULONG) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    return CheckHandle(s, handle, "FT_SetUSBParameters");
}

FAKE_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    return CheckHandle(s, handle, "FT_SetLatencyTimer");
}
