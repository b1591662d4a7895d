#pragma once
// The two TANGO device classes of KT300DS. Each device is a thin face over a
// kt300ds::ControllerLink: the controller device owns one, its axis devices
// share it. Events are pushed from the link's poller thread through
// Listener::OnSnapshot, under the device's monitor.
#include <tango.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "ControllerLink.h"

namespace kt300ds {

// A TANGO exception from a failed Result.
[[noreturn]] void Throw(const Result& r, const char* origin);
inline void Check(const Result& r, const char* origin) {
    if (!r.ok) Throw(r, origin);
}

// Attributes and commands bound to functions, so each device class lists its
// interface in one table.
class FnAttr : public Tango::Attr {
  public:
    using ReadFn = std::function<void(Tango::DeviceImpl*, Tango::Attribute&)>;
    using WriteFn = std::function<void(Tango::DeviceImpl*, Tango::WAttribute&)>;
    FnAttr(const char* name, long type, ReadFn read, WriteFn write = {})
        : Tango::Attr(name, type, write ? Tango::READ_WRITE : Tango::READ),
          read_(std::move(read)),
          write_(std::move(write)) {}
    void read(Tango::DeviceImpl* dev, Tango::Attribute& attr) override { read_(dev, attr); }
    void write(Tango::DeviceImpl* dev, Tango::WAttribute& attr) override {
        if (write_) write_(dev, attr);
    }

  private:
    ReadFn read_;
    WriteFn write_;
};

class FnCmd : public Tango::Command {
  public:
    using Fn = std::function<CORBA::Any*(Tango::DeviceImpl*, const CORBA::Any&)>;
    FnCmd(const char* name, Tango::CmdArgType in, Tango::CmdArgType out, const char* inDesc,
          const char* outDesc, Fn fn)
        : Tango::Command(name, in, out, inDesc, outDesc), fn_(std::move(fn)) {}
    CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any& in) override {
        return fn_(dev, in);
    }

  private:
    Fn fn_;
};

// Pushes State and Status of one device as change and archive events when
// they change; shared by both device classes.
struct StatePusher {
    bool pushed = false;
    Tango::DevState last = Tango::UNKNOWN;
    std::string lastStatus;
    void Push(Tango::DeviceImpl& dev, Tango::DevState state, const std::string& status);
};

class KT300Controller : public Tango::Device_5Impl, public Listener {
  public:
    KT300Controller(Tango::DeviceClass* cls, std::string& name);
    ~KT300Controller() override;
    void init_device() override;
    void delete_device() override;
    Tango::DevState dev_state() override;
    Tango::ConstDevString dev_status() override;
    void OnSnapshot(const Snapshot& snapshot) override;

    // For the axis devices of this process.
    std::shared_ptr<ControllerLink> Link() const { return link_; }
    // Why the device cannot serve ("" when it can): a bad property.
    const std::string& ConfigError() const { return configError_; }

    // The interface (see KT300ControllerClass).
    ControllerLink& Ready();
    Tango::DevShort portOutput = 0;  // as last written through this device
    Tango::DevShort portInput = 0;
    Tango::DevBoolean connected = false;
    std::string modelText, systemInfoText;
    Tango::DevString modelPtr = nullptr, systemInfoPtr = nullptr;

  private:
    std::shared_ptr<ControllerLink> link_;
    std::string configError_;
    std::string status_;
    std::atomic<bool> attached_{false};
    StatePusher statePusher_;
};

class KT300Axis : public Tango::Device_5Impl, public Listener {
  public:
    KT300Axis(Tango::DeviceClass* cls, std::string& name);
    ~KT300Axis() override;
    void init_device() override;
    void delete_device() override;
    Tango::DevState dev_state() override;
    Tango::ConstDevString dev_status() override;
    void OnSnapshot(const Snapshot& snapshot) override;

    ControllerLink& Ready();
    int Axis() const { return axis_; }
    // Read buffers for the attribute values (read under the device monitor).
    Tango::DevDouble position = 0, number = 0;
    Tango::DevLong encoder = 0;
    Tango::DevBoolean limitsEnabled = false;
    std::string unitText;
    Tango::DevString unitPtr = nullptr;

  private:
    std::shared_ptr<ControllerLink> link_;
    int axis_ = -1;
    std::string configError_;
    std::string status_;
    std::atomic<bool> attached_{false};
    StatePusher statePusher_;
    bool positionPushed_ = false;
    double lastPushedPosition_ = 0;
    bool archivedStanding_ = false;
    std::chrono::steady_clock::time_point lastArchive_{};
};

// Exports the devices a class factory created, with or without a database.
class ExportingClass : public Tango::DeviceClass {
  protected:
    explicit ExportingClass(std::string& name) : Tango::DeviceClass(name) {}
    void ExportAll(const std::vector<Tango::DeviceImpl*>& created);
};

class KT300ControllerClass : public ExportingClass {
  public:
    static KT300ControllerClass* init(const char* name);
    static KT300ControllerClass* instance();
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr*>& list) override;
    void device_factory(const Tango::DevVarStringArray* devices) override;

  private:
    explicit KT300ControllerClass(std::string& name);
    static KT300ControllerClass* instance_;
};

class KT300AxisClass : public ExportingClass {
  public:
    static KT300AxisClass* init(const char* name);
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr*>& list) override;
    void device_factory(const Tango::DevVarStringArray* devices) override;

  private:
    explicit KT300AxisClass(std::string& name);
    static KT300AxisClass* instance_;
};

// Device properties of this device as texts; absent ones are left out.
std::map<std::string, std::string> ReadProperties(Tango::DeviceImpl& dev,
                                                  const std::vector<std::string>& names);

}  // namespace kt300ds
