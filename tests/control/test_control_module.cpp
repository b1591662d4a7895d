// The module as a host sees it: dlopen libKORVAKT3002.so, register and
// unregister in a private registry, create the control by ProgID and call it
// by dispatch id only. This executable does not link the control class.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "ChildProcess.h"
#include "Ini.h"
#include "KorvaModule.h"
#include "PtyPair.h"
#include "ScriptedPeer.h"

namespace korva::test {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/korva-control-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made) m_Path = made;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_Path.empty()) fs::remove_all(m_Path, ec);
    }
    const std::string& Path() const { return m_Path; }

  private:
    std::string m_Path;
};

struct Module {
    Module() {
        handle = dlopen(KORVA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        reg = reinterpret_cast<KORVA_DllRegisterServerFn>(dlsym(handle, "KORVA_DllRegisterServer"));
        unreg = reinterpret_cast<KORVA_DllUnregisterServerFn>(
            dlsym(handle, "KORVA_DllUnregisterServer"));
        create = reinterpret_cast<KORVA_CreateInstanceFn>(dlsym(handle, "KORVA_CreateInstance"));
        path = reinterpret_cast<KORVA_RegistryPathFn>(dlsym(handle, "KORVA_RegistryPath"));
    }
    ~Module() {
        if (handle) dlclose(handle);
    }
    void* handle = nullptr;
    KORVA_DllRegisterServerFn reg = nullptr;
    KORVA_DllUnregisterServerFn unreg = nullptr;
    KORVA_CreateInstanceFn create = nullptr;
    KORVA_RegistryPathFn path = nullptr;
};

struct ReleaseInstance {
    void operator()(KorvaDispatch* d) const {
        if (d) d->Release();
    }
};
using Instance = std::unique_ptr<KorvaDispatch, ReleaseInstance>;

class ControlModule : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(mod.handle, nullptr) << dlerror();
        ASSERT_TRUE(mod.reg && mod.unreg && mod.create && mod.path);
        ASSERT_FALSE(dataHome.Path().empty());
        setenv("XDG_DATA_HOME", dataHome.Path().c_str(), 1);
    }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }

    std::string Registry() const { return dataHome.Path() + "/korva/registry.ini"; }
    std::string Value(const std::string& section, const std::string& key) const {
        return GetPrivateProfileString(section, key, "<absent>", 4096, Registry());
    }

    Module mod;
    TempDir dataHome;
};

TEST_F(ControlModule, RegistrationRoundTrip) {
    char buf[512];
    ASSERT_EQ(mod.path(buf, sizeof buf), Registry().size());
    EXPECT_EQ(std::string(buf), Registry());
    // Truncated copy stays terminated.
    char small[5];
    mod.path(small, sizeof small);
    EXPECT_EQ(std::string(small), Registry().substr(0, 4));

    // Someone else's entries survive both operations.
    fs::create_directories(dataHome.Path() + "/korva");
    ASSERT_TRUE(WritePrivateProfileString("Other.Thing.1", "CLSID", "{0}", Registry()));

    ASSERT_EQ(mod.reg(), 0);
    const std::string module = fs::canonical(KORVA_MODULE_PATH).string();
    const std::string ctlClsid = Value("KORVAKT3002.KORVAKT3002Ctrl.1", "CLSID");
    const std::string pageClsid = Value("KORVAKT3002.KORVAKT3002PropPage.1", "CLSID");
    ASSERT_NE(ctlClsid, "<absent>");
    ASSERT_NE(pageClsid, "<absent>");
    EXPECT_NE(ctlClsid, pageClsid);
    EXPECT_EQ(Value("KORVAKT3002.KORVAKT3002Ctrl.1", "Name"), "KORVAKT3002 Control");
    EXPECT_EQ(Value("KORVAKT3002.KORVAKT3002PropPage.1", "Name"), "KORVAKT3002 Property Page");
    const std::string ctl = "CLSID\\" + ctlClsid;
    EXPECT_EQ(Value(ctl, "ProgID"), "KORVAKT3002.KORVAKT3002Ctrl.1");
    EXPECT_EQ(Value(ctl, "Name"), "KORVAKT3002 Control");
    EXPECT_EQ(Value(ctl, "InprocServer"), module);
    EXPECT_EQ(Value(ctl, "ThreadingModel"), "Apartment");
    EXPECT_EQ(Value(ctl, "MiscStatus"), "0x20191");
    EXPECT_EQ(Value(ctl, "Version"), "1.0");
    const std::string libid = Value(ctl, "TypeLib");
    EXPECT_EQ(Value("TypeLib\\" + libid + "\\1.0", "Path"), module);
    const std::string page = "CLSID\\" + pageClsid;
    EXPECT_EQ(Value(page, "ProgID"), "KORVAKT3002.KORVAKT3002PropPage.1");
    EXPECT_EQ(Value(page, "ThreadingModel"), "Apartment");
    // Registering again is harmless.
    EXPECT_EQ(mod.reg(), 0);

    ASSERT_EQ(mod.unreg(), 0);
    EXPECT_EQ(Value("KORVAKT3002.KORVAKT3002Ctrl.1", "CLSID"), "<absent>");
    EXPECT_EQ(Value("KORVAKT3002.KORVAKT3002PropPage.1", "CLSID"), "<absent>");
    EXPECT_EQ(Value(ctl, "ProgID"), "<absent>");
    EXPECT_EQ(Value(page, "ProgID"), "<absent>");
    EXPECT_EQ(Value("TypeLib\\" + libid + "\\1.0", "Path"), "<absent>");
    EXPECT_EQ(Value("Other.Thing.1", "CLSID"), "{0}");
    // Nothing left to remove is not an error.
    EXPECT_EQ(mod.unreg(), 0);
}

TEST_F(ControlModule, RegistrationFailsWhenTheRegistryCannotBeWritten) {
    // A file where the registry's folder must go.
    const std::string blocker = dataHome.Path() + "/blocked";
    std::ofstream(blocker) << "x";
    setenv("XDG_DATA_HOME", blocker.c_str(), 1);
    EXPECT_EQ(static_cast<std::uint32_t>(mod.reg()), 0x80040200u);
}

// Unregistering rewrites the registry: a save that fails (full disk) keeps
// every byte of it, and a FIFO in its place is refused without blocking.
TEST_F(ControlModule, FailedUnregisterKeepsTheRegistryAndAFifoIsRefused) {
    ASSERT_EQ(mod.reg(), 0);
    std::ifstream in(Registry(), std::ios::binary);
    const std::string before((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(before.size(), 64u);
    EXPECT_TRUE(
        WithFullDisk(64, [&] { return static_cast<std::uint32_t>(mod.unreg()) == 0x80040200u; }));
    std::ifstream again(Registry(), std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), {}), before);

    fs::remove(Registry());
    ASSERT_EQ(::mkfifo(Registry().c_str(), 0600), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(mod.unreg()), 0x80040200u);  // returns, not blocks
    EXPECT_EQ(static_cast<std::uint32_t>(mod.reg()), 0x80040200u);
    EXPECT_TRUE(fs::is_fifo(Registry()));
}

TEST_F(ControlModule, CreatesTheControlByProgIdOnly) {
    EXPECT_EQ(mod.create(nullptr), nullptr);
    EXPECT_EQ(mod.create("KORVAKT3002.KORVAKT3002PropPage.1"), nullptr);
    EXPECT_EQ(mod.create("KORVAKT3002.KORVAKT3002Ctrl"), nullptr);
    Instance a(mod.create("korvakt3002.korvakt3002ctrl.1"));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetTypeInfo().entries.size(), 109u);
    EXPECT_TRUE(a->GetEventTypeInfo().entries.empty());
}

TEST_F(ControlModule, HostCallsByDispatchId) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Error();
    ScriptedPeer peer(pty);
    setenv("KORVA_COM11", pty.SlavePath().c_str(), 1);

    Instance ctl(mod.create(KORVA_PROGID_CONTROL));
    ASSERT_NE(ctl, nullptr);
    auto id = [&](const char* name) {
        DISPID dispid = DISPID_UNKNOWN;
        const char* names[] = {name};
        EXPECT_EQ(ctl->GetIDsOfNames(names, std::span(&dispid, 1)), S_OK) << name;
        return dispid;
    };
    Variant result;
    ASSERT_EQ(ctl->Invoke(id("langenge"), kInvokePropertyGet, {}, &result), S_OK);
    EXPECT_EQ(result, Variant("English"));
    ASSERT_EQ(ctl->Invoke(id("ComPort"), kInvokePropertyGet, {}, &result), S_OK);
    EXPECT_EQ(result, Variant(std::int16_t{1}));
    std::vector<Variant> port{Variant(std::int32_t{11})};
    ASSERT_EQ(ctl->Invoke(id("ComPort"), kInvokePropertyPut, port, nullptr), S_OK);

    peer.Expect("Hello", "OK\r").Expect("SetSpeed X,250.000000", "OK\r");
    ASSERT_EQ(ctl->Invoke(id("Connect"), kInvokeMethod, {}, &result), S_OK);
    EXPECT_EQ(result, Variant(true));
    std::vector<Variant> args{Variant("0"), Variant("250")};
    ASSERT_EQ(ctl->Invoke(id("SetSpeed"), kInvokeMethod, args, &result), S_OK);
    EXPECT_EQ(result, Variant(true));
    EXPECT_TRUE(peer.WaitForLines(2, std::chrono::seconds(1)));

    // Exclusive: a second control cannot open the same port...
    Instance other(mod.create(KORVA_PROGID_CONTROL));
    ASSERT_EQ(other->Invoke(id("ComPort"), kInvokePropertyPut, port, nullptr), S_OK);
    ASSERT_EQ(other->Invoke(id("Connect"), kInvokeMethod, {}, &result), S_OK);
    EXPECT_EQ(result, Variant(false));
    // ...until the first is released without DisConnect, which closes it.
    const DISPID connect = id("Connect");
    ctl.reset();
    peer.Expect("Hello", "OK\r");
    ASSERT_EQ(other->Invoke(connect, kInvokeMethod, {}, &result), S_OK);
    EXPECT_EQ(result, Variant(true));
}

TEST_F(ControlModule, DialogsWithoutAnApplicationTraceAndReturn) {
    Instance ctl(mod.create(KORVA_PROGID_CONTROL));
    ASSERT_NE(ctl, nullptr);
    Variant result("x");
    for (DISPID id : {DISPID{6}, DISPID{13}, DISPID_ABOUTBOX}) {
        EXPECT_EQ(ctl->Invoke(id, kInvokeMethod, {}, &result), S_OK) << id;
        EXPECT_TRUE(result.IsEmpty());
    }
}

}  // namespace
}  // namespace korva::test
