// Simulated USB FIFO devices, each with its own simulated controller.
//
// KORVA_SIM_USB lists the attached devices, "serial:description" separated by
// ';' (default "KT0001:KT300 USB;KT0002:KT300 USB"; an empty value attaches
// none). It is read again at every listing and open, so a test or a user can
// plug and unplug devices by changing it; a device that stays listed keeps its
// controller. Faults come from korva_sim_usb_set_fault and KORVA_SIM_USB_FAULTS
// ("serial=fault,fault;serial=fault", serial "*" for every device).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string_view>
#include <thread>

#include "D2xxCore.h"
#include "SimEngine.h"
#include "Trace.h"

namespace korva::d2xx {
namespace {

constexpr const char* kDefaultDevices = "KT0001:KT300 USB;KT0002:KT300 USB";
constexpr const char* kDefaultDescription = "KT300 USB";
constexpr auto kServicePeriod = std::chrono::milliseconds(2);

// Fault switches per device; every flag is read by the device's threads.
struct Faults {
    bool open = false;
    bool reset = false;
    bool purge = false;
    bool close = false;
    bool notify = false;
    bool timeouts = false;
    bool write = false;
    bool shortWrite = false;
    bool read = false;
    bool status = false;
    bool vanish = false;
    bool phantom = false;  // one shot
    bool reply = false;    // one shot
    std::string replyText;
};

bool ApplyFault(Faults& f, std::string_view name) {
    static const std::map<std::string_view, bool Faults::*> flags = {
        {"open", &Faults::open},     {"reset", &Faults::reset},
        {"purge", &Faults::purge},   {"close", &Faults::close},
        {"notify", &Faults::notify}, {"timeouts", &Faults::timeouts},
        {"write", &Faults::write},   {"short-write", &Faults::shortWrite},
        {"read", &Faults::read},     {"status", &Faults::status},
        {"vanish", &Faults::vanish}, {"phantom", &Faults::phantom}};
    if (name.substr(0, 6) == "reply:") {
        f.reply = true;
        f.replyText = std::string(name.substr(6));
        return true;
    }
    const auto it = flags.find(name);
    if (it == flags.end()) return false;
    f.*(it->second) = true;
    return true;
}

void Merge(Faults& into, const Faults& from) {
    into.open |= from.open;
    into.reset |= from.reset;
    into.purge |= from.purge;
    into.close |= from.close;
    into.notify |= from.notify;
    into.timeouts |= from.timeouts;
    into.write |= from.write;
    into.shortWrite |= from.shortWrite;
    into.read |= from.read;
    into.status |= from.status;
    into.vanish |= from.vanish;
    into.phantom |= from.phantom;
    if (from.reply) {
        into.reply = true;
        into.replyText = from.replyText;
    }
}

struct SimDevice {
    DeviceInfo info;
    std::mutex engineLock;  // the engine is driven by the writer and the service thread
    korva::sim::Engine engine;
    std::atomic<bool> gone{false};
    std::atomic<unsigned long> statusCalls{0};
    std::atomic<unsigned long> writeCalls{0};
    std::atomic<unsigned long> opens{0};
    std::atomic<unsigned long> phantoms{0};
};

std::vector<std::string> Split(std::string_view text, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(sep, start), text.size());
        parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

class SimBackend final : public Backend {
  public:
    FT_STATUS List(std::vector<DeviceInfo>& devices) override {
        std::lock_guard<std::mutex> guard(m_lock);
        Refresh();
        for (const auto& device : m_devices) devices.push_back(device->info);
        return FT_OK;
    }

    FT_STATUS Open(const DeviceInfo& info, Receiver& receiver,
                   std::unique_ptr<Channel>& channel) override;

    // The faults in force for `serial` (one-shot faults are taken when `consume`).
    Faults FaultsFor(const std::string& serial) {
        std::lock_guard<std::mutex> guard(m_lock);
        return Effective(serial);
    }

    bool TakeOneShot(const std::string& serial, bool Faults::*flag, std::string* text = nullptr) {
        std::lock_guard<std::mutex> guard(m_lock);
        bool taken = false;
        for (auto* source : {&m_apiFaults, &m_envFaults}) {
            for (const std::string& key : {serial, std::string("*")}) {
                auto it = source->find(key);
                if (it == source->end() || !(it->second.*flag)) continue;
                it->second.*flag = false;
                if (text != nullptr) *text = it->second.replyText;
                taken = true;
                break;
            }
            if (taken) break;
        }
        return taken;
    }

    int SetFault(const char* serial, const char* fault) {
        std::lock_guard<std::mutex> guard(m_lock);
        const std::string key = serial != nullptr ? serial : "*";
        if (serial == nullptr && (fault == nullptr || *fault == '\0')) {
            m_apiFaults.clear();
        } else if (fault == nullptr || *fault == '\0') {
            m_apiFaults.erase(key);
        } else if (!ApplyFault(m_apiFaults[key], fault)) {
            korva::Trace("korva_sim_usb_set_fault: unknown fault \"%s\"\n", fault);
            return -1;
        }
        Refresh();  // a vanished device disappears (or comes back) at once
        return 0;
    }

    unsigned long Stat(const char* serial, const char* counter) {
        std::lock_guard<std::mutex> guard(m_lock);
        Refresh();
        const std::string_view what = counter != nullptr ? counter : "";
        for (const auto& device : m_devices) {
            if (serial == nullptr || device->info.serial != serial) continue;
            if (what == "status") return device->statusCalls;
            if (what == "write") return device->writeCalls;
            if (what == "open") return device->opens;
            if (what == "phantom") return device->phantoms;
        }
        return 0;
    }

    std::shared_ptr<SimDevice> Find(DWORD location) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& device : m_devices)
            if (device->info.location == location) return device;
        return nullptr;
    }

  private:
    Faults Effective(const std::string& serial) {
        Faults f;
        for (auto* source : {&m_apiFaults, &m_envFaults}) {
            for (const std::string& key : {serial, std::string("*")}) {
                const auto it = source->find(key);
                if (it != source->end()) Merge(f, it->second);
            }
        }
        return f;
    }

    void ParseEnvFaults() {
        const char* env = std::getenv("KORVA_SIM_USB_FAULTS");
        const std::string text = env != nullptr ? env : "";
        if (text == m_envFaultText) return;
        m_envFaultText = text;
        m_envFaults.clear();
        for (const std::string& entry : Split(text, ';')) {
            const auto eq = entry.find('=');
            if (entry.empty() || eq == std::string::npos) continue;
            Faults& f = m_envFaults[entry.substr(0, eq)];
            for (const std::string& name : Split(std::string_view(entry).substr(eq + 1), ','))
                if (!name.empty() && !ApplyFault(f, name))
                    korva::Trace("KORVA_SIM_USB_FAULTS: unknown fault \"%s\"\n", name.c_str());
        }
    }

    // Brings the device list in line with KORVA_SIM_USB and the vanish faults.
    void Refresh() {
        ParseEnvFaults();
        const char* env = std::getenv("KORVA_SIM_USB");
        const std::string deviceList = env != nullptr ? env : kDefaultDevices;
        std::vector<std::shared_ptr<SimDevice>> next;
        std::vector<std::shared_ptr<SimDevice>> old = m_devices;
        for (const std::string& entry : Split(deviceList, ';')) {
            if (entry.empty()) continue;
            const auto colon = entry.find(':');
            const std::string serial = entry.substr(0, colon);
            const std::string description =
                colon == std::string::npos ? kDefaultDescription : entry.substr(colon + 1);
            if (Effective(serial).vanish) continue;
            auto same = std::find_if(old.begin(), old.end(), [&](const auto& d) {
                return d && d->info.serial == serial && d->info.description == description;
            });
            if (same != old.end()) {
                next.push_back(*same);
                same->reset();
                continue;
            }
            auto device = std::make_shared<SimDevice>();
            device->info = {serial, description, m_nextLocation++};
            next.push_back(std::move(device));
        }
        for (const auto& unplugged : old)
            if (unplugged) unplugged->gone = true;
        m_devices = std::move(next);
    }

    std::mutex m_lock;
    std::vector<std::shared_ptr<SimDevice>> m_devices;
    std::map<std::string, Faults> m_apiFaults;
    std::map<std::string, Faults> m_envFaults;
    std::string m_envFaultText;
    DWORD m_nextLocation = 0x1001;
};

SimBackend& Sim() {
    static SimBackend* backend = new SimBackend;  // never destroyed: see the core's registry
    return *backend;
}

class SimChannel final : public Channel {
  public:
    SimChannel(std::shared_ptr<SimDevice> device, Receiver& receiver)
        : m_device(std::move(device)), m_receiver(receiver) {
        m_service = std::thread([this] { Service(); });
    }
    ~SimChannel() override { StopService(); }

    FT_STATUS Check(Op op) override {
        if (op == Op::kGetStatus) ++m_device->statusCalls;
        if (const FT_STATUS status = Health(); status != FT_OK) return status;
        const Faults f = Sim().FaultsFor(m_device->info.serial);
        switch (op) {
            case Op::kSetTimeouts:
                return f.timeouts ? FT_IO_ERROR : FT_OK;
            case Op::kGetStatus:
                return f.status ? FT_IO_ERROR : FT_OK;
            case Op::kSetEventNotification:
                return f.notify ? FT_OTHER_ERROR : FT_OK;
            case Op::kRead:
                return f.read ? FT_IO_ERROR : FT_OK;
            case Op::kGetQueueStatus:
                return FT_OK;
        }
        return FT_OK;
    }

    FT_STATUS Write(const std::uint8_t* data, DWORD size, DWORD, DWORD* written) override {
        ++m_device->writeCalls;
        if (const FT_STATUS status = Health(); status != FT_OK) return status;
        const Faults f = Sim().FaultsFor(m_device->info.serial);
        if (f.write) return FT_IO_ERROR;
        const DWORD accepted = f.shortWrite ? size / 2 : size;
        const std::string_view bytes(reinterpret_cast<const char*>(data), accepted);
        std::string reply;
        {
            std::lock_guard<std::mutex> guard(m_device->engineLock);
            reply = m_device->engine.Feed(bytes);
        }
        std::string injected;
        if (bytes.find('\r') != std::string_view::npos &&
            Sim().TakeOneShot(m_device->info.serial, &Faults::reply, &injected))
            reply = injected;
        m_receiver.Deliver(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
        *written = accepted;
        return FT_OK;
    }

    FT_STATUS Reset() override {
        if (const FT_STATUS status = Health(); status != FT_OK) return status;
        return Sim().FaultsFor(m_device->info.serial).reset ? FT_IO_ERROR : FT_OK;
    }

    FT_STATUS Purge(DWORD) override {
        if (const FT_STATUS status = Health(); status != FT_OK) return status;
        return Sim().FaultsFor(m_device->info.serial).purge ? FT_IO_ERROR : FT_OK;
    }

    FT_STATUS Close() override {
        if (m_closed) return FT_INVALID_HANDLE;
        // An unplugged device can always be let go of.
        if (!m_device->gone && Sim().FaultsFor(m_device->info.serial).close) return FT_IO_ERROR;
        StopService();
        m_closed = true;
        return FT_OK;
    }

    FT_STATUS SetUsbParameters(ULONG, ULONG) override { return Health(); }
    FT_STATUS SetLatencyTimer(UCHAR) override { return Health(); }

  private:
    FT_STATUS Health() const {
        if (m_closed) return FT_INVALID_HANDLE;
        return m_device->gone ? FT_IO_ERROR : FT_OK;
    }

    void Service() {
        bool reportedGone = false;
        while (!m_stop) {
            std::this_thread::sleep_for(kServicePeriod);
            if (m_device->gone) {
                if (!reportedGone) m_receiver.Gone();
                reportedGone = true;
                continue;
            }
            if (m_receiver.Backlog() >= kMaxQueue) continue;  // the controller waits
            std::string out;
            {
                std::lock_guard<std::mutex> guard(m_device->engineLock);
                out = m_device->engine.Poll();
            }
            m_receiver.Deliver(reinterpret_cast<const std::uint8_t*>(out.data()), out.size());
            if (Sim().TakeOneShot(m_device->info.serial, &Faults::phantom)) {
                m_receiver.RaiseEvent(FT_EVENT_RXCHAR);
                ++m_device->phantoms;
            }
        }
    }

    void StopService() {
        m_stop = true;
        if (m_service.joinable() && m_service.get_id() != std::this_thread::get_id())
            m_service.join();
    }

    std::shared_ptr<SimDevice> m_device;
    Receiver& m_receiver;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_closed{false};
    std::thread m_service;
};

FT_STATUS SimBackend::Open(const DeviceInfo& info, Receiver& receiver,
                           std::unique_ptr<Channel>& channel) {
    const std::shared_ptr<SimDevice> device = Find(info.location);
    if (!device || device->gone) return FT_DEVICE_NOT_FOUND;
    if (FaultsFor(info.serial).open) return FT_DEVICE_NOT_OPENED;
    ++device->opens;
    channel = std::make_unique<SimChannel>(device, receiver);
    return FT_OK;
}

}  // namespace

Backend& TheBackend() {
    return Sim();
}

}  // namespace korva::d2xx

extern "C" {

// Switches a fault on for the device with this serial number ("*" or null:
// every device). A null or empty fault clears every fault of that serial (of
// every serial when the serial is null too). Returns 0, or -1 for an unknown
// fault name. Faults:
//   open reset purge close notify timeouts write read status: that call fails
//   short-write    FT_Write takes half of the block and reports it
//   vanish         the device is unplugged (clearing plugs in a new one)
//   phantom        one receive event with nothing queued
//   reply:TEXT     the next command line is answered with TEXT instead
KORVA_D2XX_EXPORT int korva_sim_usb_set_fault(const char* serial, const char* fault) {
    return korva::d2xx::Sim().SetFault(serial, fault);
}

// Counters of the listed device with this serial: "status" (FT_GetStatus
// calls), "write" (FT_Write calls), "open" (successful opens), "phantom"
// (phantom events raised). 0 when unknown.
KORVA_D2XX_EXPORT unsigned long korva_sim_usb_stat(const char* serial, const char* counter) {
    return korva::d2xx::Sim().Stat(serial, counter);
}

}  // extern "C"
