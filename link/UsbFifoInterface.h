#pragma once
// Binding of the FTDI D2XX library, loaded at run time by name: lists the
// attached USB FIFO devices, opens one by serial number, writes and reads byte
// blocks, and runs a notification thread on the driver's receive event.
//
// Library lookup, at every LoadDriverLibrary call: $KORVA_FTD2XX (a path; when
// set, nothing else is tried), else "libftd2xx.so" (the vendor's), else our own
// "libkorva_ftd2xx.so" from ../lib beside the executable, beside the module
// holding this code, then the normal dlopen search. A loaded library stays
// loaded for the life of the process.
//
// Threads: the notification thread runs from a successful open until Close.
// OnReceive and NotifyTarget::OnNotifyMessage run on it; neither may wait for
// a thread that calls Close, and a class overriding OnReceive must call Close
// in its own destructor (the thread must not run into a half-destroyed object).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "D2xx.h"

class UsbFifoInterface {
  public:
    // Receives the notification message (the debug tool's window); a plain
    // callable here, invoked synchronously on the notification thread. It must
    // outlive the open device.
    struct NotifyTarget {
        virtual ~NotifyTarget() = default;
        virtual void OnNotifyMessage(unsigned message, unsigned long wParam, long lParam) = 0;
    };

    UsbFifoInterface();
    virtual ~UsbFifoInterface();
    UsbFifoInterface(const UsbFifoInterface&) = delete;
    UsbFifoInterface& operator=(const UsbFifoInterface&) = delete;

    virtual void OnReceive(DWORD count);

    bool Initialize(NotifyTarget* notifyWnd, unsigned notifyMessage);
    bool LoadDriverLibrary();
    bool GetDeviceCount(int* count);
    bool GetSerialNumber(int index, std::string& serial);
    bool GetDescription(int index, std::string& text);
    bool GetLocation(int index, long* location);
    bool OpenBySerial(const std::string& serial);
    bool Write(std::vector<std::uint8_t>& data, unsigned long timeoutMs);
    bool Read(std::vector<std::uint8_t>& data, unsigned long timeoutMs);
    bool Close();
    std::string GetOpenSerial() const { return m_SerialNumber; }
    static void TextToBytes(const std::string& text, std::vector<std::uint8_t>& bytes);
    static void BytesToText(const std::vector<std::uint8_t>& bytes, std::string& text);

    bool IsOpen() const { return m_bOpen.load(); }
    FT_STATUS LastStatus() const { return m_LastStatus.load(); }
    // Path of the library that was loaded (empty when none could be).
    const std::string& LibraryPath() const { return m_LibraryPath; }

  protected:
    std::atomic<bool> m_bOpen{false};
    unsigned m_NotifyMessage = 0;
    std::atomic<FT_STATUS> m_LastStatus{0};
    // Written by Write (caller's thread) and Read (notification thread).
    std::atomic<unsigned long> m_WriteTimeout{3000};
    std::atomic<unsigned long> m_ReadTimeout{3000};
    NotifyTarget* m_pNotifyWnd = nullptr;
    std::string m_SerialNumber;
    void* m_hLibrary = nullptr;
    FT_HANDLE m_hDevice = nullptr;
    std::string m_LibraryPath;
    // Implementation details (entry points, event handles, thread) belong to the .cpp.
    struct Private;
    std::unique_ptr<Private> d;

  private:
    bool StartNotifyThread();
    void StopNotifyThread();
    void NotifyLoop();
};
