#pragma once
// Our own declarations of the D2XX types and constants (the vendor's Linux ABI:
// DWORD is 32-bit, FT_HANDLE a pointer, events are a pthread condition).
#include <pthread.h>

#include <cstdint>

using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UCHAR = unsigned char;
using USHORT = unsigned short;
using FT_STATUS = ULONG;
using FT_HANDLE = void*;
using LPDWORD = DWORD*;
using LPVOID = void*;
using PVOID = void*;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_OTHER_ERROR = 18,
};

constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;
constexpr DWORD FT_OPEN_BY_LOCATION = 4;
constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000;
constexpr DWORD FT_LIST_ALL = 0x20000000;
constexpr DWORD FT_PURGE_RX = 1;
constexpr DWORD FT_PURGE_TX = 2;
constexpr DWORD FT_EVENT_RXCHAR = 1;
constexpr DWORD FT_EVENT_MODEM_STATUS = 2;

struct EVENT_HANDLE {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};

extern "C" {
using PFN_FT_Open = FT_STATUS (*)(int deviceNumber, FT_HANDLE* handle);
using PFN_FT_OpenEx = FT_STATUS (*)(PVOID arg1, DWORD flags, FT_HANDLE* handle);
using PFN_FT_ListDevices = FT_STATUS (*)(PVOID arg1, PVOID arg2, DWORD flags);
using PFN_FT_Close = FT_STATUS (*)(FT_HANDLE handle);
using PFN_FT_Read = FT_STATUS (*)(FT_HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read);
using PFN_FT_Write = FT_STATUS (*)(FT_HANDLE handle, LPVOID buffer, DWORD toWrite, LPDWORD written);
using PFN_FT_ResetDevice = FT_STATUS (*)(FT_HANDLE handle);
using PFN_FT_Purge = FT_STATUS (*)(FT_HANDLE handle, ULONG mask);
using PFN_FT_SetTimeouts = FT_STATUS (*)(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout);
using PFN_FT_GetQueueStatus = FT_STATUS (*)(FT_HANDLE handle, DWORD* rxBytes);
using PFN_FT_GetStatus = FT_STATUS (*)(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                       DWORD* eventStatus);
using PFN_FT_SetEventNotification = FT_STATUS (*)(FT_HANDLE handle, DWORD mask, PVOID param);
using PFN_FT_SetUSBParameters = FT_STATUS (*)(FT_HANDLE handle, ULONG inTransferSize,
                                              ULONG outTransferSize);
using PFN_FT_SetLatencyTimer = FT_STATUS (*)(FT_HANDLE handle, UCHAR latency);
}
