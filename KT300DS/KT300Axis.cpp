#include <cmath>
#include <limits>

#include "Devices.h"

namespace kt300ds {
namespace {

Tango::DevState ToTango(AxisState s) {
    switch (s) {
        case AxisState::kOn:
            return Tango::ON;
        case AxisState::kMoving:
            return Tango::MOVING;
        case AxisState::kAlarm:
            return Tango::ALARM;
        case AxisState::kFault:
            return Tango::FAULT;
        case AxisState::kDisable:
            return Tango::DISABLE;
    }
    return Tango::UNKNOWN;
}

KT300Axis& Axis(Tango::DeviceImpl* dev) {
    return *static_cast<KT300Axis*>(dev);
}

std::string Letter(const KT300Axis& a) {
    return std::string(1, KT300Protocol::AxisLetter(a.Axis()));
}

// A written number the controller can take: finite and within a float.
float CheckedFloat(const std::string& what, double v) {
    if (!std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max())
        Throw(Result::Fail("KT300_BadValue", what + ": " + std::to_string(v) +
                                                 " is not a usable number; nothing was sent"),
              "KT300Axis");
    return static_cast<float>(v);
}

// A double attribute read and written through one protocol query and setter.
using FloatGet = bool (KT300Protocol::*)(int, float*);
using FloatSet = bool (KT300Protocol::*)(int, float);

FnAttr* FloatParam(const char* name, FloatGet get, FloatSet set, bool refreshLimits = false) {
    std::string n(name);
    return new FnAttr(
        name, Tango::DEV_DOUBLE,
        [n, get](Tango::DeviceImpl* d, Tango::Attribute& a) {
            KT300Axis& x = Axis(d);
            float v = 0;
            int axis = x.Axis();
            Check(x.Ready().Exchange("Read " + n + " of " + Letter(x),
                                     [&](KT300Protocol& p) { return (p.*get)(axis, &v); }),
                  "KT300Axis::read");
            x.number = v;
            a.set_value(&x.number);
        },
        [n, set, refreshLimits](Tango::DeviceImpl* d, Tango::WAttribute& a) {
            KT300Axis& x = Axis(d);
            Tango::DevDouble w = 0;
            a.get_write_value(w);
            std::string what = "Write " + n + " of " + Letter(x);
            float v = CheckedFloat(what, w);
            int axis = x.Axis();
            Check(x.Ready().Exchange(what, [&](KT300Protocol& p) { return (p.*set)(axis, v); }),
                  "KT300Axis::write");
            if (refreshLimits) x.Ready().RefreshLimits(axis);
        });
}

CORBA::Any* Void() {
    return new CORBA::Any();
}

}  // namespace

// --- device ---

KT300Axis::KT300Axis(Tango::DeviceClass* cls, std::string& name) : Tango::Device_5Impl(cls, name) {
    init_device();
}

KT300Axis::~KT300Axis() {
    delete_device();
    if (link_) link_->RemoveListener(this, true);
}

void KT300Axis::init_device() {
    set_change_event("State", true, false);
    set_archive_event("State", true, false);
    set_change_event("Status", true, false);
    set_change_event("Position", true, false);
    set_archive_event("Position", true, false);
    configError_.clear();
    axis_ = -1;
    std::shared_ptr<ControllerLink> link;
    auto props = ReadProperties(*this, {"Controller", "Axis"});
    auto ctl = props.find("Controller");
    auto ax = props.find("Axis");
    if (ax == props.end()) {
        configError_ = "property Axis is missing: expected X, Y, Z or T";
    } else if ((axis_ = AxisFromName(ax->second)) < 0) {
        configError_ = "property Axis is \"" + ax->second + "\": expected X, Y, Z or T";
    } else if (ctl == props.end() || ctl->second.empty()) {
        configError_ =
            "property Controller is missing: expected the name of a KT300Controller device";
    } else {
        KT300ControllerClass* cls = KT300ControllerClass::instance();
        std::string want = ctl->second;
        for (auto& c : want) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        KT300Controller* found = nullptr;
        if (cls) {
            for (Tango::DeviceImpl* dev : cls->get_device_list()) {
                std::string have = dev->get_name();
                for (auto& c : have)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (have == want) found = static_cast<KT300Controller*>(dev);
            }
        }
        if (!found)
            configError_ = "property Controller names \"" + ctl->second +
                           "\", which is no KT300Controller device of this server process";
        else
            link = found->Link();
    }
    if (!configError_.empty()) axis_ = axis_ < 0 ? 0 : axis_;
    link_ = link;
    statePusher_ = StatePusher{};
    positionPushed_ = false;
    archivedStanding_ = false;
    if (link_) {
        attached_ = true;
        link_->AddListener(this);
    }
}

void KT300Axis::delete_device() {
    attached_ = false;
    if (link_) link_->RemoveListener(this, false);
}

Tango::DevState KT300Axis::dev_state() {
    Tango::DevState s = configError_.empty()
                            ? ToTango(link_->State().axes[static_cast<std::size_t>(axis_)].state)
                            : Tango::FAULT;
    set_state(s);
    return s;
}

Tango::ConstDevString KT300Axis::dev_status() {
    status_ = configError_.empty() ? link_->State().axes[static_cast<std::size_t>(axis_)].status
                                   : "Bad configuration: " + configError_;
    set_status(status_);
    return status_.c_str();
}

void KT300Axis::OnSnapshot(const Snapshot& snapshot) {
    if (!attached_ || Tango::Util::instance()->is_svr_starting()) return;
    try {
        Tango::AutoTangoMonitor monitor(this);
        if (!attached_ || !configError_.empty()) return;
        const AxisSnapshot& a = snapshot.axes[static_cast<std::size_t>(axis_)];
        statePusher_.Push(*this, ToTango(a.state), a.status);
        if (!a.positionKnown) return;
        if (!positionPushed_ || a.position != lastPushedPosition_) {
            positionPushed_ = true;
            lastPushedPosition_ = a.position;
            position = a.position;
            push_change_event("Position", &position);
        }
        // Archive: at the period while moving, and once when the axis comes to stand.
        int period = snapshot.archivePeriodMs;
        auto now = std::chrono::steady_clock::now();
        bool due = period > 0 && now - lastArchive_ >= std::chrono::milliseconds(period);
        if ((a.moving && due) || (!a.moving && !archivedStanding_)) {
            lastArchive_ = now;
            archivedStanding_ = !a.moving;
            position = a.position;
            push_archive_event("Position", &position);
        }
        if (a.moving) archivedStanding_ = false;
    } catch (const Tango::DevFailed&) {
        // No monitor in time, or no event channel: the next snapshot tries again.
    }
}

ControllerLink& KT300Axis::Ready() {
    if (!configError_.empty())
        Throw(Result::Fail("KT300_BadProperty", get_name() + ": " + configError_), "KT300Axis");
    return *link_;
}

// --- class ---

KT300AxisClass* KT300AxisClass::instance_ = nullptr;

KT300AxisClass::KT300AxisClass(std::string& name) : ExportingClass(name) {}

KT300AxisClass* KT300AxisClass::init(const char* name) {
    if (!instance_) {
        std::string n(name);
        instance_ = new KT300AxisClass(n);
    }
    return instance_;
}

void KT300AxisClass::device_factory(const Tango::DevVarStringArray* devices) {
    std::vector<Tango::DeviceImpl*> created;
    for (unsigned long i = 0; i < devices->length(); ++i) {
        std::string name((*devices)[i].in());
        auto* dev = new KT300Axis(this, name);
        device_list.push_back(dev);
        created.push_back(dev);
    }
    ExportAll(created);
}

void KT300AxisClass::attribute_factory(std::vector<Tango::Attr*>& list) {
    list.push_back(new FnAttr(
        "Position", Tango::DEV_DOUBLE,
        [](Tango::DeviceImpl* d, Tango::Attribute& a) {
            KT300Axis& x = Axis(d);
            double v = 0;
            Check(x.Ready().ReadPosition(x.Axis(), &v), "KT300Axis::Position");
            x.position = v;
            a.set_value(&x.position);
        },
        [](Tango::DeviceImpl* d, Tango::WAttribute& a) {
            KT300Axis& x = Axis(d);
            Tango::DevDouble w = 0;
            a.get_write_value(w);
            Check(x.Ready().MoveAbsolute(x.Axis(), w), "KT300Axis::Position");
        }));
    list.push_back(FloatParam("Velocity", &KT300Protocol::GetSpeed, &KT300Protocol::SetSpeed));
    list.push_back(
        FloatParam("Acceleration", &KT300Protocol::GetAccSpeed, &KT300Protocol::SetAccSpeed));
    list.push_back(
        FloatParam("Deceleration", &KT300Protocol::GetDccSpeed, &KT300Protocol::SetDccSpeed));
    list.push_back(
        FloatParam("HomeSpeed", &KT300Protocol::GetHomeSpeed, &KT300Protocol::SetHomeSpeed));
    list.push_back(
        FloatParam("UserOrigin", &KT300Protocol::GetUserOrigin, &KT300Protocol::SetUserOrigin));
    list.push_back(FloatParam("LimitPositive", &KT300Protocol::GetUserPositiveLimit,
                              &KT300Protocol::SetUserPositiveLimit, true));
    list.push_back(FloatParam("LimitNegative", &KT300Protocol::GetUserNegativeLimit,
                              &KT300Protocol::SetUserNegativeLimit, true));
    list.push_back(new FnAttr(
        "LimitsEnabled", Tango::DEV_BOOLEAN,
        [](Tango::DeviceImpl* d, Tango::Attribute& a) {
            KT300Axis& x = Axis(d);
            int v = -1, axis = x.Axis();
            Check(
                x.Ready().Exchange("Read the limit enable of " + Letter(x),
                                   [&](KT300Protocol& p) { return p.GetUserLimitAble(axis, &v); }),
                "KT300Axis::LimitsEnabled");
            x.limitsEnabled = v == 0;  // "E" (0) enabled, "D" (1) disabled
            a.set_value(&x.limitsEnabled);
        },
        [](Tango::DeviceImpl* d, Tango::WAttribute& a) {
            KT300Axis& x = Axis(d);
            Tango::DevBoolean w = false;
            a.get_write_value(w);
            int axis = x.Axis();
            Check(x.Ready().Exchange(
                      "Write the limit enable of " + Letter(x),
                      [&](KT300Protocol& p) { return p.SetUserLimitAble(axis, w ? 0 : 1); }),
                  "KT300Axis::LimitsEnabled");
            x.Ready().RefreshLimits(axis);
        }));
    list.push_back(new FnAttr(
        "Unit", Tango::DEV_STRING,
        [](Tango::DeviceImpl* d, Tango::Attribute& a) {
            KT300Axis& x = Axis(d);
            int u = -1, axis = x.Axis();
            Check(x.Ready().Exchange("Read the unit of " + Letter(x),
                                     [&](KT300Protocol& p) { return p.GetUnit(axis, &u); }),
                  "KT300Axis::Unit");
            x.unitText = UnitName(u);
            x.unitPtr = const_cast<char*>(x.unitText.c_str());
            a.set_value(&x.unitPtr);
        },
        [](Tango::DeviceImpl* d, Tango::WAttribute& a) {
            KT300Axis& x = Axis(d);
            Tango::DevString w = nullptr;
            a.get_write_value(w);
            std::string text = w ? w : "";
            int u = UnitFromName(text);
            if (u < 0)
                Throw(Result::Fail(
                          "KT300_BadValue",
                          "Unit \"" + text + "\": expected deg, mm, step or um; nothing was sent"),
                      "KT300Axis::Unit");
            int axis = x.Axis();
            Check(x.Ready().Exchange("Write the unit of " + Letter(x),
                                     [&](KT300Protocol& p) { return p.SetUnit(axis, u); }),
                  "KT300Axis::Unit");
            x.Ready().RefreshLimits(axis);  // limits read in the new unit
        }));
    list.push_back(
        new FnAttr("Encoder", Tango::DEV_LONG, [](Tango::DeviceImpl* d, Tango::Attribute& a) {
            KT300Axis& x = Axis(d);
            long v = 0;
            int axis = x.Axis();
            Check(x.Ready().Exchange("Read the encoder of " + Letter(x),
                                     [&](KT300Protocol& p) { return p.GetEncoderValue(axis, &v); }),
                  "KT300Axis::Encoder");
            x.encoder = static_cast<Tango::DevLong>(v);
            a.set_value(&x.encoder);
        }));
}

void KT300AxisClass::command_factory() {
    using Tango::DEV_VOID;
    auto simple = [this](const char* name, const char* desc,
                         std::function<Result(ControllerLink&, int)> fn) {
        command_list.push_back(new FnCmd(name, DEV_VOID, DEV_VOID, "", desc,
                                         [fn, name](Tango::DeviceImpl* d, const CORBA::Any&) {
                                             KT300Axis& x = Axis(d);
                                             Check(fn(x.Ready(), x.Axis()), name);
                                             return Void();
                                         }));
    };
    simple("Stop", "decelerates the axis to a stop; reaches the line ahead of waiting requests",
           [](ControllerLink& l, int a) { return l.Stop(a, true); });
    simple("Abort", "stops the axis at once; reaches the line ahead of waiting requests",
           [](ControllerLink& l, int a) { return l.Stop(a, false); });
    simple("Home", "homes the axis on its negative limit switch",
           [](ControllerLink& l, int a) { return l.Home(a, false); });
    simple("HomeOptical", "homes the axis on its optical switch",
           [](ControllerLink& l, int a) { return l.Home(a, true); });
    simple("GoUserOrigin", "moves the axis to its user origin",
           [](ControllerLink& l, int a) { return l.GoUserOrigin(a); });
    command_list.push_back(new FnCmd(
        "MoveRelative", Tango::DEV_DOUBLE, DEV_VOID, "distance in the axis unit", "",
        [](Tango::DeviceImpl* d, const CORBA::Any& in) {
            Tango::DevDouble v = 0;
            if (!(in >>= v))
                Tango::Except::throw_exception("KT300_BadValue", "MoveRelative takes a number",
                                               "KT300Axis::MoveRelative");
            KT300Axis& x = Axis(d);
            Check(x.Ready().MoveRelative(x.Axis(), v), "KT300Axis::MoveRelative");
            return Void();
        }));
}

}  // namespace kt300ds
