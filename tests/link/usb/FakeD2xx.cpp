// A minimal D2XX library for the loading tests: one device "FAKE01" that
// opens and accepts everything and never receives. It is linked several
// times, each with a version script that leaves one name unexported.
#include "D2xx.h"

namespace {
int g_token;  // the one handle handed out
FT_HANDLE Token() {
    return &g_token;
}
}  // namespace

extern "C" {
FT_STATUS FT_Open(int, FT_HANDLE* handle) {
    *handle = Token();
    return FT_OK;
}
FT_STATUS FT_OpenEx(PVOID, DWORD, FT_HANDLE* handle) {
    *handle = Token();
    return FT_OK;
}
FT_STATUS FT_ListDevices(PVOID arg1, PVOID, DWORD flags) {
    if (flags != FT_LIST_NUMBER_ONLY) return FT_INVALID_PARAMETER;
    *static_cast<DWORD*>(arg1) = 1;
    return FT_OK;
}
FT_STATUS FT_Close(FT_HANDLE) {
    return FT_OK;
}
FT_STATUS FT_Read(FT_HANDLE, LPVOID, DWORD, LPDWORD read) {
    *read = 0;
    return FT_OK;
}
FT_STATUS FT_Write(FT_HANDLE, LPVOID, DWORD size, LPDWORD written) {
    *written = size;
    return FT_OK;
}
FT_STATUS FT_ResetDevice(FT_HANDLE) {
    return FT_OK;
}
FT_STATUS FT_Purge(FT_HANDLE, ULONG) {
    return FT_OK;
}
FT_STATUS FT_SetTimeouts(FT_HANDLE, ULONG, ULONG) {
    return FT_OK;
}
FT_STATUS FT_GetQueueStatus(FT_HANDLE, DWORD* rx) {
    *rx = 0;
    return FT_OK;
}
FT_STATUS FT_GetStatus(FT_HANDLE, DWORD* rx, DWORD* tx, DWORD* events) {
    *rx = *tx = *events = 0;
    return FT_OK;
}
FT_STATUS FT_SetEventNotification(FT_HANDLE, DWORD, PVOID) {
    return FT_OK;
}
FT_STATUS FT_SetUSBParameters(FT_HANDLE, ULONG, ULONG) {
    return FT_OK;
}
FT_STATUS FT_SetLatencyTimer(FT_HANDLE, UCHAR) {
    return FT_OK;
}
}
