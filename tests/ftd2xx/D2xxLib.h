#pragma once
// One of our D2XX libraries opened by path, with its fourteen functions (and
// the simulator's switches when present) resolved by name, as a host would.
#include <dlfcn.h>

#include <string>

#include "D2xx.h"

namespace korva::test {

struct D2xxLib {
    explicit D2xxLib(const std::string& path) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            error = dlerror();
            return;
        }
        Resolve(Open, "FT_Open");
        Resolve(OpenEx, "FT_OpenEx");
        Resolve(ListDevices, "FT_ListDevices");
        Resolve(Close, "FT_Close");
        Resolve(Read, "FT_Read");
        Resolve(Write, "FT_Write");
        Resolve(ResetDevice, "FT_ResetDevice");
        Resolve(Purge, "FT_Purge");
        Resolve(SetTimeouts, "FT_SetTimeouts");
        Resolve(GetQueueStatus, "FT_GetQueueStatus");
        Resolve(GetStatus, "FT_GetStatus");
        Resolve(SetEventNotification, "FT_SetEventNotification");
        Resolve(SetUSBParameters, "FT_SetUSBParameters");
        Resolve(SetLatencyTimer, "FT_SetLatencyTimer");
        setFault = reinterpret_cast<int (*)(const char*, const char*)>(
            dlsym(handle, "korva_sim_usb_set_fault"));
        stat = reinterpret_cast<unsigned long (*)(const char*, const char*)>(
            dlsym(handle, "korva_sim_usb_stat"));
    }
    // Loaded libraries stay loaded, as the binding keeps them.
    D2xxLib(const D2xxLib&) = delete;
    D2xxLib& operator=(const D2xxLib&) = delete;

    bool Ok() const { return handle != nullptr && missing.empty(); }

    template <typename Fn>
    void Resolve(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(dlsym(handle, name));
        if (fn == nullptr) missing += std::string(name) + " ";
    }

    void* handle = nullptr;
    std::string error;
    std::string missing;
    PFN_FT_Open Open = nullptr;
    PFN_FT_OpenEx OpenEx = nullptr;
    PFN_FT_ListDevices ListDevices = nullptr;
    PFN_FT_Close Close = nullptr;
    PFN_FT_Read Read = nullptr;
    PFN_FT_Write Write = nullptr;
    PFN_FT_ResetDevice ResetDevice = nullptr;
    PFN_FT_Purge Purge = nullptr;
    PFN_FT_SetTimeouts SetTimeouts = nullptr;
    PFN_FT_GetQueueStatus GetQueueStatus = nullptr;
    PFN_FT_GetStatus GetStatus = nullptr;
    PFN_FT_SetEventNotification SetEventNotification = nullptr;
    PFN_FT_SetUSBParameters SetUSBParameters = nullptr;
    PFN_FT_SetLatencyTimer SetLatencyTimer = nullptr;
    int (*setFault)(const char*, const char*) = nullptr;
    unsigned long (*stat)(const char*, const char*) = nullptr;
};

inline PVOID Arg(unsigned long value) {
    return reinterpret_cast<PVOID>(value);
}

}  // namespace korva::test
