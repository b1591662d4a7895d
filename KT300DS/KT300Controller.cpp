#include <charconv>
#include <cmath>

#include "Devices.h"

namespace kt300ds {

void Throw(const Result& r, const char* origin) {
    Tango::Except::throw_exception(r.reason.empty() ? "KT300_Error" : r.reason, r.text, origin);
    std::abort();  // not reached: throw_exception always throws
}

void StatePusher::Push(Tango::DeviceImpl& dev, Tango::DevState state, const std::string& status) {
    dev.set_state(state);
    dev.set_status(status);
    if (pushed && state == last && status == lastStatus) return;
    pushed = true;
    last = state;
    lastStatus = status;
    dev.push_change_event("State");
    dev.push_archive_event("State");
    dev.push_change_event("Status");
}

std::map<std::string, std::string> ReadProperties(Tango::DeviceImpl& dev,
                                                  const std::vector<std::string>& names) {
    std::map<std::string, std::string> out;
    if (!Tango::Util::_UseDb) return out;  // -nodb: defaults only
    Tango::DbData data;
    for (const auto& n : names) data.push_back(Tango::DbDatum(n));
    dev.get_db_device()->get_property(data);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (data[i].is_empty()) continue;
        std::vector<std::string> values;
        data[i] >> values;
        std::string joined;
        for (const auto& v : values) joined += (joined.empty() ? "" : " ") + v;
        out[names[i]] = joined;
    }
    return out;
}

void ExportingClass::ExportAll(const std::vector<Tango::DeviceImpl*>& created) {
    for (Tango::DeviceImpl* dev : created) {
        // Without a database server the CORBA name is the device name itself.
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
            export_device(dev);
        else
            export_device(dev, dev->get_name().c_str());
    }
}

namespace {

Tango::DevState ToTango(LinkState s) {
    switch (s) {
        case LinkState::kOn:
            return Tango::ON;
        case LinkState::kMoving:
            return Tango::MOVING;
        case LinkState::kFault:
            return Tango::FAULT;
        case LinkState::kDisable:
            return Tango::DISABLE;
    }
    return Tango::UNKNOWN;
}

bool ParseInt(const std::string& text, long lo, long hi, long* out) {
    long v = 0;
    const char* b = text.data();
    const char* e = b + text.size();
    auto [p, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || p != e || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool ParseBool(const std::string& text, bool* out) {
    std::string t;
    for (char c : text) t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t == "true" || t == "1" || t == "yes")
        *out = true;
    else if (t == "false" || t == "0" || t == "no")
        *out = false;
    else
        return false;
    return true;
}

// Settings from the device properties; "" or the reason they are unusable.
std::string SettingsFromProperties(const std::map<std::string, std::string>& p, LinkSettings* s) {
    auto get = [&](const char* name) -> const std::string* {
        auto it = p.find(name);
        return it == p.end() ? nullptr : &it->second;
    };
    long v = 0;
    if (auto* port = get("Port")) {
        if (!port->empty() && (*port)[0] == '/')
            s->devicePath = *port;
        else if (ParseInt(*port, 1, 255, &v))
            s->port = static_cast<int>(v);
        else
            return "property Port is \"" + *port +
                   "\": expected a serial port number 1..255 or a device path such as /dev/ttyUSB0";
    }
    if (auto* usb = get("USBSerial")) s->usbSerial = *usb;
    if (auto* sel = get("Select")) {
        if (!ParseInt(*sel, 0, 99, &v))
            return "property Select is \"" + *sel +
                   "\": expected a controller number 0..99 (0: no select)";
        s->select = static_cast<int>(v);
    }
    if (auto* sim = get("Simulator")) {
        if (!ParseBool(*sim, &s->simulator))
            return "property Simulator is \"" + *sim + "\": expected true or false";
    }
    if (auto* baud = get("SimulatorBaud")) {
        if (!ParseInt(*baud, 0, 4000000, &v))
            return "property SimulatorBaud is \"" + *baud +
                   "\": expected 0 (no wire time) to 4000000";
        s->simulatorBaud = static_cast<int>(v);
    }
    if (auto* model = get("SimulatorModel")) s->simulatorModel = *model;
    if (auto* poll = get("PollPeriod")) {
        if (!ParseInt(*poll, 0, 10000, &v))
            return "property PollPeriod is \"" + *poll + "\": expected 0..10000 ms";
        s->pollPeriodMs = static_cast<int>(v);
    }
    if (auto* arch = get("ArchivePeriod")) {
        if (!ParseInt(*arch, 0, 3600000, &v))
            return "property ArchivePeriod is \"" + *arch + "\": expected 0 (none) to 3600000 ms";
        s->archivePeriodMs = static_cast<int>(v);
    }
    return {};
}

bool PlanNameOk(const std::string& name) {
    return !name.empty() && name.size() <= 8 && name.find_first_of(" ,\r\n\t") == std::string::npos;
}

std::string ExtractString(const CORBA::Any& in) {
    const char* s = nullptr;
    if (!(in >>= s) || s == nullptr)
        Tango::Except::throw_exception("KT300_BadValue", "expected a string argument", "KT300");
    return s;
}

KT300Controller& Ctrl(Tango::DeviceImpl* dev) {
    return *static_cast<KT300Controller*>(dev);
}

CORBA::Any* Void() {
    return new CORBA::Any();
}

}  // namespace

// --- device ---

KT300Controller::KT300Controller(Tango::DeviceClass* cls, std::string& name)
    : Tango::Device_5Impl(cls, name), link_(std::make_shared<ControllerLink>()) {
    init_device();
}

KT300Controller::~KT300Controller() {
    delete_device();
    link_->RemoveListener(this, true);
}

void KT300Controller::init_device() {
    set_change_event("State", true, false);
    set_archive_event("State", true, false);
    set_change_event("Status", true, false);
    LinkSettings settings;
    configError_ = SettingsFromProperties(
        ReadProperties(*this, {"Port", "USBSerial", "Select", "Simulator", "SimulatorBaud",
                               "SimulatorModel", "PollPeriod", "ArchivePeriod"}),
        &settings);
    link_->Configure(settings);
    if (configError_.empty())
        link_->Connect();  // a failure shows as FAULT with its reason
    else
        link_->SetUnusable(get_name() + " has a bad property: " + configError_);
    statePusher_ = StatePusher{};
    attached_ = true;
    link_->AddListener(this);
}

void KT300Controller::delete_device() {
    attached_ = false;
    link_->RemoveListener(this, false);
}

Tango::DevState KT300Controller::dev_state() {
    Tango::DevState s = configError_.empty() ? ToTango(link_->State().state) : Tango::FAULT;
    set_state(s);
    return s;
}

Tango::ConstDevString KT300Controller::dev_status() {
    status_ = configError_.empty() ? link_->State().status : "Bad configuration: " + configError_;
    set_status(status_);
    return status_.c_str();
}

void KT300Controller::OnSnapshot(const Snapshot& snapshot) {
    if (!attached_ || Tango::Util::instance()->is_svr_starting()) return;
    try {
        Tango::AutoTangoMonitor monitor(this);
        if (!attached_ || !configError_.empty()) return;
        statePusher_.Push(*this, ToTango(snapshot.state), snapshot.status);
    } catch (const Tango::DevFailed&) {
        // No monitor in time, or no event channel: the next snapshot tries again.
    }
}

ControllerLink& KT300Controller::Ready() {
    if (!configError_.empty())
        Throw(Result::Fail("KT300_BadProperty", get_name() + ": " + configError_),
              "KT300Controller");
    return *link_;
}

// --- class ---

KT300ControllerClass* KT300ControllerClass::instance_ = nullptr;

KT300ControllerClass::KT300ControllerClass(std::string& name) : ExportingClass(name) {}

KT300ControllerClass* KT300ControllerClass::init(const char* name) {
    if (!instance_) {
        std::string n(name);
        instance_ = new KT300ControllerClass(n);
    }
    return instance_;
}

KT300ControllerClass* KT300ControllerClass::instance() {
    return instance_;
}

void KT300ControllerClass::device_factory(const Tango::DevVarStringArray* devices) {
    std::vector<Tango::DeviceImpl*> created;
    for (unsigned long i = 0; i < devices->length(); ++i) {
        std::string name((*devices)[i].in());
        auto* dev = new KT300Controller(this, name);
        device_list.push_back(dev);
        created.push_back(dev);
    }
    ExportAll(created);
}

void KT300ControllerClass::attribute_factory(std::vector<Tango::Attr*>& list) {
    list.push_back(new FnAttr(
        "PortOutput", Tango::DEV_SHORT,
        [](Tango::DeviceImpl* d, Tango::Attribute& a) {
            Ctrl(d).Ready();
            a.set_value(&Ctrl(d).portOutput);
        },
        [](Tango::DeviceImpl* d, Tango::WAttribute& a) {
            Tango::DevShort v = 0;
            a.get_write_value(v);
            if (v < 0 || v > 256)
                Throw(Result::Fail("KT300_BadValue", "PortOutput " + std::to_string(v) +
                                                         " is outside 0..256; nothing was sent"),
                      "KT300Controller::PortOutput");
            Check(Ctrl(d).Ready().Exchange("Set the output port",
                                           [&](KT300Protocol& p) { return p.SetPortOutput(v); }),
                  "KT300Controller::PortOutput");
            Ctrl(d).portOutput = v;
        }));
    list.push_back(
        new FnAttr("PortInput", Tango::DEV_SHORT, [](Tango::DeviceImpl* d, Tango::Attribute& a) {
            short v = 0;
            Check(Ctrl(d).Ready().Exchange("Read the input port",
                                           [&](KT300Protocol& p) { return p.GetPortInput(&v); }),
                  "KT300Controller::PortInput");
            Ctrl(d).portInput = v;
            a.set_value(&Ctrl(d).portInput);
        }));
    auto readInfo = [](KT300Controller& c) {
        std::string reply;
        Check(c.Ready().Exchange("Read the system information",
                                 [&](KT300Protocol& p) {
                                     if (!p.SendCommand("SystemInfo?", 2000)) return false;
                                     reply = p.GetReply();
                                     return true;
                                 }),
              "KT300Controller::SystemInfo");
        // "SystemInfo KT3007Q,1.0,4": the second word of the first line.
        std::string line = FirstReplyLine(reply);
        std::size_t sp = line.find(' ');
        c.systemInfoText = sp == std::string::npos ? std::string() : line.substr(sp + 1);
        c.modelText = c.systemInfoText.substr(0, c.systemInfoText.find(','));
    };
    list.push_back(new FnAttr("Model", Tango::DEV_STRING,
                              [readInfo](Tango::DeviceImpl* d, Tango::Attribute& a) {
                                  readInfo(Ctrl(d));
                                  Ctrl(d).modelPtr = const_cast<char*>(Ctrl(d).modelText.c_str());
                                  a.set_value(&Ctrl(d).modelPtr);
                              }));
    list.push_back(new FnAttr(
        "SystemInfo", Tango::DEV_STRING, [readInfo](Tango::DeviceImpl* d, Tango::Attribute& a) {
            readInfo(Ctrl(d));
            Ctrl(d).systemInfoPtr = const_cast<char*>(Ctrl(d).systemInfoText.c_str());
            a.set_value(&Ctrl(d).systemInfoPtr);
        }));
    list.push_back(
        new FnAttr("Connected", Tango::DEV_BOOLEAN, [](Tango::DeviceImpl* d, Tango::Attribute& a) {
            Ctrl(d).connected = Ctrl(d).ConfigError().empty() && Ctrl(d).Link()->Connected();
            a.set_value(&Ctrl(d).connected);
        }));
}

void KT300ControllerClass::command_factory() {
    using Tango::DEV_STRING;
    using Tango::DEV_VOID;
    command_list.push_back(
        new FnCmd("Connect", DEV_VOID, DEV_VOID, "",
                  "opens the link and checks the controller (also after a fault)",
                  [](Tango::DeviceImpl* d, const CORBA::Any&) {
                      Check(Ctrl(d).Ready().Connect(), "KT300Controller::Connect");
                      return Void();
                  }));
    command_list.push_back(new FnCmd("Disconnect", DEV_VOID, DEV_VOID, "", "closes the link",
                                     [](Tango::DeviceImpl* d, const CORBA::Any&) {
                                         Ctrl(d).Ready().Disconnect();
                                         return Void();
                                     }));
    command_list.push_back(
        new FnCmd("StopAll", DEV_VOID, DEV_VOID, "",
                  "stops every axis and a plan run at once, ahead of waiting requests",
                  [](Tango::DeviceImpl* d, const CORBA::Any&) {
                      Check(Ctrl(d).Ready().StopAll(), "KT300Controller::StopAll");
                      return Void();
                  }));
    command_list.push_back(new FnCmd(
        "StartPlan", DEV_STRING, DEV_VOID, "name of a plan stored in the controller", "",
        [](Tango::DeviceImpl* d, const CORBA::Any& in) {
            std::string name = ExtractString(in);
            if (!PlanNameOk(name))
                Throw(Result::Fail("KT300_BadValue",
                                   "StartPlan: \"" + name +
                                       "\" is no plan name (1..8 characters, no blanks or commas)"),
                      "KT300Controller::StartPlan");
            Check(Ctrl(d).Ready().StartPlan(name), "KT300Controller::StartPlan");
            return Void();
        }));
    command_list.push_back(new FnCmd("EndPlan", DEV_VOID, DEV_VOID, "", "ends a plan run",
                                     [](Tango::DeviceImpl* d, const CORBA::Any&) {
                                         Check(Ctrl(d).Ready().EndPlan(),
                                               "KT300Controller::EndPlan");
                                         return Void();
                                     }));
    command_list.push_back(new FnCmd(
        "ListPlans", DEV_VOID, Tango::DEVVAR_STRINGARRAY, "", "names of the stored plans",
        [](Tango::DeviceImpl* d, const CORBA::Any&) {
            std::string reply;
            Check(Ctrl(d).Ready().Exchange("ListPlans",
                                           [&](KT300Protocol& p) {
                                               if (!p.SendCommand("PLAN?", 2000)) return false;
                                               reply = p.GetReply();
                                               return true;
                                           }),
                  "KT300Controller::ListPlans");
            // "PLAN A,B" (or "PLAN" alone) on the first line.
            std::string line = FirstReplyLine(reply);
            std::size_t sp = line.find(' ');
            std::vector<std::string> names;
            if (sp != std::string::npos) {
                std::string rest = line.substr(sp + 1);
                std::size_t b = 0;
                while (b <= rest.size()) {
                    std::size_t e = rest.find(',', b);
                    std::string n =
                        rest.substr(b, e == std::string::npos ? std::string::npos : e - b);
                    if (!n.empty()) names.push_back(n);
                    if (e == std::string::npos) break;
                    b = e + 1;
                }
            }
            auto* out = new Tango::DevVarStringArray();
            out->length(static_cast<CORBA::ULong>(names.size()));
            for (std::size_t i = 0; i < names.size(); ++i)
                (*out)[static_cast<CORBA::ULong>(i)] = CORBA::string_dup(names[i].c_str());
            auto* any = new CORBA::Any();
            (*any) <<= out;
            return any;
        }));
    command_list.push_back(new FnCmd(
        "DeletePlan", DEV_STRING, DEV_VOID, "name of the plan to delete", "",
        [](Tango::DeviceImpl* d, const CORBA::Any& in) {
            std::string name = ExtractString(in);
            if (!PlanNameOk(name))
                Throw(Result::Fail("KT300_BadValue",
                                   "DeletePlan: \"" + name +
                                       "\" is no plan name (1..8 characters, no blanks or commas)"),
                      "KT300Controller::DeletePlan");
            Check(Ctrl(d).Ready().Exchange("DeletePlan " + name,
                                           [&](KT300Protocol& p) { return p.DeletePlan(name); }),
                  "KT300Controller::DeletePlan");
            return Void();
        }));
    command_list.push_back(new FnCmd(
        "SimulatorHangUp", DEV_VOID, DEV_VOID, "",
        "built-in simulator only: the simulated cable is pulled out (for tests and demonstrations)",
        [](Tango::DeviceImpl* d, const CORBA::Any&) {
            Check(Ctrl(d).Ready().SimulatorHangUp(), "KT300Controller::SimulatorHangUp");
            return Void();
        }));
}

}  // namespace kt300ds
