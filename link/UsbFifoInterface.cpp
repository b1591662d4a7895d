#include "UsbFifoInterface.h"

#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "SharedLibrary.h"
#include "Trace.h"

using korva::Trace;

namespace {

// Entry points, in member order.
enum Api : int {
    kOpen,
    kOpenEx,
    kListDevices,
    kClose,
    kRead,
    kWrite,
    kResetDevice,
    kPurge,
    kSetTimeouts,
    kGetQueueStatus,
    kGetStatus,
    kSetEventNotification,
    kSetUSBParameters,
    kSetLatencyTimer,
    kApiCount
};

constexpr std::array<const char*, kApiCount> kApiNames = {"FT_Open",
                                                          "FT_OpenEx",
                                                          "FT_ListDevices",
                                                          "FT_Close",
                                                          "FT_Read",
                                                          "FT_Write",
                                                          "FT_ResetDevice",
                                                          "FT_Purge",
                                                          "FT_SetTimeouts",
                                                          "FT_GetQueueStatus",
                                                          "FT_GetStatus",
                                                          "FT_SetEventNotification",
                                                          "FT_SetUSBParameters",
                                                          "FT_SetLatencyTimer"};

// The order in which the names are resolved; loading stops at the first missing one.
constexpr std::array<Api, kApiCount> kResolveOrder = {kWrite,
                                                      kRead,
                                                      kOpen,
                                                      kOpenEx,
                                                      kListDevices,
                                                      kClose,
                                                      kResetDevice,
                                                      kPurge,
                                                      kSetTimeouts,
                                                      kGetQueueStatus,
                                                      kGetStatus,
                                                      kSetEventNotification,
                                                      kSetUSBParameters,
                                                      kSetLatencyTimer};

constexpr const char* kVendorLibrary = "libftd2xx.so";
constexpr const char* kOwnLibrary = "libkorva_ftd2xx.so";
constexpr int kListBufferSize = 64;
// Extra description buffers: a device plugged in between the count and the
// listing must not make the driver write past the array.
constexpr int kSpareListEntries = 8;
// A receive signal that arrives between the status check and the wait would
// otherwise leave its bytes queued until the next one; the thread looks again
// after this long without a signal.
constexpr long kRecheckMs = 50;
constexpr auto kWritePause = std::chrono::milliseconds(50);

DWORD ClampToDword(unsigned long value) {
    return static_cast<DWORD>(std::min<unsigned long>(value, UINT32_MAX));
}

PVOID IndexArg(int index) {
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(index));
}

// Its own order (the vendor's library first: where it is installed, it is
// the driver the chip's owner chose),
// through the one loader: KORVA_FTD2XX alone when set, else the vendor's
// libftd2xx.so by name, then the project's library in ../lib beside the
// program, beside this module, and by name.
std::vector<korva::LibraryCandidate> LibraryCandidates() {
    const char* forced = std::getenv("KORVA_FTD2XX");
    if (forced != nullptr && *forced != '\0') return {{forced, "$KORVA_FTD2XX"}};
    std::vector<korva::LibraryCandidate> names{{kVendorLibrary, "the vendor's library"}};
    names.push_back({korva::ProgramDirectory() + "../lib/" + kOwnLibrary, "beside the program"});
    const std::string moduleDir = korva::ObjectDirectory(reinterpret_cast<void*>(&ClampToDword));
    if (!moduleDir.empty()) names.push_back({moduleDir + kOwnLibrary, "beside the module"});
    names.push_back({kOwnLibrary, "library search path"});
    return names;
}

}  // namespace

struct UsbFifoInterface::Private {
    std::array<void*, kApiCount> fn{};
    // Registered with the driver while a device is open; lives as long as the
    // object so that a driver still holding it never signals freed memory.
    EVENT_HANDLE event{};
    std::atomic<bool> stop{false};
    std::thread thread;
    std::thread retired;    // a thread that closed its own device; joined later
    int notifyCounter = 0;  // notification thread only

    Private() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&event.eCondVar, &attr);
        pthread_condattr_destroy(&attr);
        pthread_mutex_init(&event.eMutex, nullptr);
        event.iVar = 0;
    }
    ~Private() {
        pthread_cond_destroy(&event.eCondVar);
        pthread_mutex_destroy(&event.eMutex);
    }
    Private(const Private&) = delete;
    Private& operator=(const Private&) = delete;

    // The guard every entry point is called through: a missing entry point
    // traces "<name> is not valid!" and yields status 1.
    template <typename Fn, typename... Args>
    FT_STATUS Call(std::atomic<FT_STATUS>& last, Api api, Args... args) {
        void* p = fn[api];
        if (p == nullptr) {
            Trace("%s is not valid!\n", kApiNames[api]);
            last = 1;
            return 1;
        }
        const FT_STATUS status = reinterpret_cast<Fn>(p)(args...);
        last = status;
        return status;
    }
};

UsbFifoInterface::UsbFifoInterface() : d(std::make_unique<Private>()) {}

UsbFifoInterface::~UsbFifoInterface() {
    Close();
    if (m_bOpen) {
        // The close failed: end our thread and take the event away from the
        // driver before the event's memory goes.
        StopNotifyThread();
        if (d->Call<PFN_FT_SetEventNotification>(m_LastStatus, kSetEventNotification, m_hDevice,
                                                 DWORD{0}, static_cast<PVOID>(nullptr)) != FT_OK) {
            Trace("Event notification still registered; its event is kept.\n");
            d.release();  // deliberately kept: the driver may still signal it
            return;
        }
    }
    StopNotifyThread();  // joins a thread that closed its own device
}

void UsbFifoInterface::OnReceive(DWORD count) {
    Trace("Receive:%d\n", static_cast<int>(count));
}

bool UsbFifoInterface::Initialize(NotifyTarget* notifyWnd, unsigned notifyMessage) {
    m_pNotifyWnd = notifyWnd;
    m_NotifyMessage = notifyMessage;
    return LoadDriverLibrary();
}

bool UsbFifoInterface::LoadDriverLibrary() {
    if (m_bOpen) {
        // Its handle belongs to the library already bound.
        Trace("Driver library not reloaded: a device is open.\n");
        return false;
    }
    d->fn.fill(nullptr);
    m_hLibrary = nullptr;
    m_LibraryPath.clear();

    korva::SharedLibrary loaded;
    std::string reasons;
    // No symbol is required here: entry points are resolved below, in their
    // order, and those found before a missing one stay usable.
    if (!korva::LoadFirstLibrary(LibraryCandidates(), {}, RTLD_NOW | RTLD_LOCAL, &loaded,
                                 &reasons)) {
        Trace("Error: Can't Load ft8u245.dll\n");
        Trace("%s", reasons.c_str());
        return false;
    }
    m_LibraryPath = loaded.Path();
    // Kept loaded for good: the driver's threads may outlive this object.
    void* const library = loaded.Release();
    m_hLibrary = library;
    for (Api api : kResolveOrder) {
        dlerror();
        void* p = dlsym(library, kApiNames[api]);
        if (p == nullptr) {
            Trace("Error: Can't Find %s\n", kApiNames[api]);
            return false;
        }
        d->fn[api] = p;
    }
    return true;
}

bool UsbFifoInterface::GetDeviceCount(int* count) {
    if (count == nullptr) return false;
    DWORD n = 0;
    if (d->Call<PFN_FT_ListDevices>(m_LastStatus, kListDevices, static_cast<PVOID>(&n),
                                    static_cast<PVOID>(nullptr), FT_LIST_NUMBER_ONLY) != FT_OK) {
        Trace("Get Device number failed.\n");
        *count = 0;
        return false;
    }
    *count = static_cast<int>(std::min<DWORD>(n, INT_MAX));
    return true;
}

bool UsbFifoInterface::GetSerialNumber(int index, std::string& serial) {
    std::array<char, kListBufferSize> buf{};
    if (index < 0 ||
        d->Call<PFN_FT_ListDevices>(m_LastStatus, kListDevices, IndexArg(index),
                                    static_cast<PVOID>(buf.data()),
                                    FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) != FT_OK) {
        Trace("Get Series Number failed.\n");
        return false;
    }
    buf.back() = '\0';
    serial = buf.data();
    return true;
}

bool UsbFifoInterface::GetDescription(int index, std::string& text) {
    DWORD attached = 0;
    if (index < 0 ||
        d->Call<PFN_FT_ListDevices>(m_LastStatus, kListDevices, static_cast<PVOID>(&attached),
                                    static_cast<PVOID>(nullptr), FT_LIST_NUMBER_ONLY) != FT_OK) {
        Trace("Get Description failed.\n");
        return false;
    }
    const size_t entries =
        std::max<size_t>(attached, static_cast<size_t>(index) + 1) + kSpareListEntries;
    std::vector<std::array<char, kListBufferSize>> buffers(entries);
    std::vector<char*> pointers(entries + 1, nullptr);  // ended by a null entry
    for (size_t i = 0; i < entries; ++i) pointers[i] = buffers[i].data();
    DWORD listed = 0;
    if (d->Call<PFN_FT_ListDevices>(m_LastStatus, kListDevices, static_cast<PVOID>(pointers.data()),
                                    static_cast<PVOID>(&listed),
                                    FT_LIST_ALL | FT_OPEN_BY_DESCRIPTION) != FT_OK ||
        static_cast<DWORD>(index) >= std::min<DWORD>(listed, static_cast<DWORD>(entries))) {
        Trace("Get Description failed.\n");
        return false;
    }
    buffers[static_cast<size_t>(index)].back() = '\0';
    text = buffers[static_cast<size_t>(index)].data();
    return true;
}

bool UsbFifoInterface::GetLocation(int index, long* location) {
    DWORD value = 0;  // the driver writes 32 bits
    if (location == nullptr || index < 0 ||
        d->Call<PFN_FT_ListDevices>(m_LastStatus, kListDevices, IndexArg(index),
                                    static_cast<PVOID>(&value),
                                    FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION) != FT_OK) {
        Trace("Get Location failed.\n");
        return false;
    }
    *location = static_cast<long>(value);
    return true;
}

bool UsbFifoInterface::OpenBySerial(const std::string& serial) {
    // Reopening must not lose the handle and thread of the device already open.
    if (m_bOpen && !Close()) {
        Trace("Open device failed.\n");
        return false;
    }
    m_SerialNumber = serial;
    FT_HANDLE handle = nullptr;
    if (d->Call<PFN_FT_OpenEx>(m_LastStatus, kOpenEx,
                               static_cast<PVOID>(const_cast<char*>(serial.c_str())),
                               FT_OPEN_BY_SERIAL_NUMBER, &handle) != FT_OK) {
        Trace("Open device failed.\n");
        return false;
    }
    const char* failure = nullptr;
    if (d->Call<PFN_FT_ResetDevice>(m_LastStatus, kResetDevice, handle) != FT_OK)
        failure = "Reset device failed.\n";
    else if (d->Call<PFN_FT_Purge>(m_LastStatus, kPurge, handle, ULONG{FT_PURGE_RX}) != FT_OK)
        failure = "Purge device failed.\n";
    if (failure != nullptr) {
        Trace("%s", failure);
        // A half-opened device is closed again; the failing status stays the last one.
        const FT_STATUS status = m_LastStatus;
        std::atomic<FT_STATUS> ignored{0};
        if (d->Call<PFN_FT_Close>(ignored, kClose, handle) != FT_OK)
            Trace("Close device failed.\n");
        m_LastStatus = status;
        return false;
    }
    m_hDevice = handle;
    StartNotifyThread();  // a refused notification leaves the device open but silent
    m_bOpen = true;
    return true;
}

bool UsbFifoInterface::Write(std::vector<std::uint8_t>& data, unsigned long timeoutMs) {
    if (!m_bOpen) {
        m_LastStatus = FT_INVALID_HANDLE;
        Trace("Write failed.\n");
        return false;
    }
    m_WriteTimeout = timeoutMs;
    if (d->Call<PFN_FT_SetTimeouts>(m_LastStatus, kSetTimeouts, m_hDevice,
                                    ClampToDword(m_ReadTimeout),
                                    ClampToDword(m_WriteTimeout)) != FT_OK) {
        Trace("Set timeouts failed.\n");
        return false;
    }
    if (data.size() > UINT32_MAX) {
        m_LastStatus = FT_INVALID_PARAMETER;
        Trace("Write failed.\n");
        return false;
    }
    const DWORD size = static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (d->Call<PFN_FT_Write>(m_LastStatus, kWrite, m_hDevice, static_cast<LPVOID>(data.data()),
                              size, &written) != FT_OK) {
        Trace("Write failed.\n");
        return false;
    }
    if (written < size) {
        Trace("Timeout.\n");
        return false;
    }
    std::this_thread::sleep_for(kWritePause);  // paces command lines
    return true;
}

bool UsbFifoInterface::Read(std::vector<std::uint8_t>& data, unsigned long timeoutMs) {
    if (!m_bOpen) {
        m_LastStatus = FT_INVALID_HANDLE;
        Trace("Read failed.\n");
        return false;
    }
    m_ReadTimeout = timeoutMs;
    if (d->Call<PFN_FT_SetTimeouts>(m_LastStatus, kSetTimeouts, m_hDevice,
                                    ClampToDword(m_ReadTimeout),
                                    ClampToDword(m_WriteTimeout)) != FT_OK) {
        Trace("Set timeouts failed.\n");
        return false;
    }
    DWORD queued = 0;
    if (d->Call<PFN_FT_GetQueueStatus>(m_LastStatus, kGetQueueStatus, m_hDevice, &queued) !=
        FT_OK) {
        Trace("Get queue status failed.\n");
        return false;
    }
    if (queued == 0) {
        Trace("No data.\n");
        return false;
    }
    std::vector<std::uint8_t> chunk(queued);
    DWORD got = 0;
    if (d->Call<PFN_FT_Read>(m_LastStatus, kRead, m_hDevice, static_cast<LPVOID>(chunk.data()),
                             queued, &got) != FT_OK) {
        Trace("Read failed.\n");
        return false;
    }
    data.insert(data.end(), chunk.begin(), chunk.begin() + std::min(got, queued));
    return true;
}

bool UsbFifoInterface::Close() {
    if (!m_bOpen) return true;
    // The thread ends first: it must not be inside the driver with a handle
    // that is being closed.
    StopNotifyThread();
    if (d->Call<PFN_FT_Close>(m_LastStatus, kClose, m_hDevice) != FT_OK) {
        Trace("Close device failed.\n");
        StartNotifyThread();  // still open: keep receiving
        return false;
    }
    m_hDevice = nullptr;
    m_bOpen = false;
    return true;
}

void UsbFifoInterface::TextToBytes(const std::string& text, std::vector<std::uint8_t>& bytes) {
    bytes.insert(bytes.end(), text.begin(), text.end());
}

void UsbFifoInterface::BytesToText(const std::vector<std::uint8_t>& bytes, std::string& text) {
    text.assign(bytes.begin(), bytes.end());
}

bool UsbFifoInterface::StartNotifyThread() {
    StopNotifyThread();
    d->stop = false;
    if (d->Call<PFN_FT_SetEventNotification>(m_LastStatus, kSetEventNotification, m_hDevice,
                                             DWORD{FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS},
                                             static_cast<PVOID>(&d->event)) != FT_OK) {
        Trace("Event notification refused.\n");
        return false;
    }
    try {
        d->thread = std::thread(&UsbFifoInterface::NotifyLoop, this);
    } catch (const std::system_error& e) {
        Trace("Notification thread not started: %s\n", e.what());
        return false;
    }
    return true;
}

void UsbFifoInterface::StopNotifyThread() {
    const auto self = std::this_thread::get_id();
    if (d->retired.joinable() && d->retired.get_id() != self) d->retired.join();
    if (!d->thread.joinable()) return;
    pthread_mutex_lock(&d->event.eMutex);
    d->stop = true;
    pthread_cond_signal(&d->event.eCondVar);
    pthread_mutex_unlock(&d->event.eMutex);
    if (d->thread.get_id() == self) {
        // Called from a receive handler: the loop ends when the handler returns
        // and the thread is joined by the next stop or at destruction.
        d->retired = std::move(d->thread);
        return;
    }
    d->thread.join();
}

void UsbFifoInterface::NotifyLoop() {
    bool recheck = false;
    bool statusFailed = false;
    for (;;) {
        pthread_mutex_lock(&d->event.eMutex);
        // Our libraries also set iVar when they signal, which closes the gap
        // between the status call and the wait; with others the timed look covers it.
        if (!d->stop && !recheck && d->event.iVar == 0) {
            timespec deadline{};
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_nsec += kRecheckMs * 1000000L;
            deadline.tv_sec += deadline.tv_nsec / 1000000000L;
            deadline.tv_nsec %= 1000000000L;
            pthread_cond_timedwait(&d->event.eCondVar, &d->event.eMutex, &deadline);
        }
        d->event.iVar = 0;
        const bool stop = d->stop;
        pthread_mutex_unlock(&d->event.eMutex);
        if (stop) break;

        DWORD rx = 0;
        DWORD tx = 0;
        DWORD events = 0;
        recheck = false;
        if (d->Call<PFN_FT_GetStatus>(m_LastStatus, kGetStatus, m_hDevice, &rx, &tx, &events) !=
            FT_OK) {
            if (!statusFailed) Trace("Get status failed.\n");  // once per outage, not per look
            statusFailed = true;
            continue;
        }
        statusFailed = false;
        if ((events & FT_EVENT_RXCHAR) != 0 && rx > 0) {
            OnReceive(rx);
            if (m_pNotifyWnd != nullptr && m_NotifyMessage != 0) {
                Trace("Rcishu:%d\n", ++d->notifyCounter);
                m_pNotifyWnd->OnNotifyMessage(m_NotifyMessage, rx, 0);
            }
            recheck = true;  // more may have arrived while these were handled
        }
    }
}
