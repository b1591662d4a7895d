#pragma once
// Control and command ids of the UsbFifo dialog. Every widget with an id
// carries it as the dynamic property "controlId".

namespace usbfifo {

enum ControlId : int {
    IDC_GET_DEVICE_COUNT = 1001,
    IDC_DEVICE_COUNT = 1002,
    IDC_DEVICE_INDEX = 1003,
    IDC_GET_SERIAL = 1004,
    IDC_SERIAL = 1005,
    IDC_GET_DESCRIPTION = 1006,
    IDC_DESCRIPTION = 1007,
    IDC_GET_POSITION = 1008,
    IDC_POSITION = 1009,
    IDC_OPEN_DEVICE = 1011,
    IDC_READ_DATA = 1012,
    IDC_WRITE_DATA = 1013,
    IDC_RECEIVED = 1016,
    IDC_ADD_ENTER = 1017,
    IDC_RECEIVE_COUNT = 1018,
    IDC_CLEAR = 1019,
    IDC_CHAR_MODE = 1020,
    IDC_SEND_ENTER = 1021,
    IDC_SPENT_MS = 1024,
    IDC_SPEED = 1025,
    IDC_SHOW_DATA = 1027,
    IDC_CLOSE_DEVICE = 1028,
    IDC_COMMAND = 1030,
};

// The system-menu command of the about box.
constexpr int IDM_ABOUTBOX = 16;

// The notification message of the device interface: the first user message
// number (0x0400) plus 10.
constexpr unsigned WM_USB_RECEIVE = 0x0400 + 10;

}  // namespace usbfifo
