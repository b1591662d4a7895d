#pragma once
// Conversions between the command line, the bytes on the wire and the text of
// the received-data box.
#include <QString>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace usbfifo {

// One byte per character of the command line, then CR when `sendEnter`.
// Characters beyond U+00FF do not fit in one byte: returns false and leaves
// `bytes` empty (nothing is written).
bool CommandToBytes(const QString& command, bool sendEnter, std::vector<std::uint8_t>& bytes);

// What one received block adds to the received text: the bytes themselves
// (`charMode`) or each byte as a signed decimal number and a space, then
// "\r\n" when `addEnter`.
std::string FormatReceived(const std::vector<std::uint8_t>& bytes, bool charMode, bool addEnter);

// Shows received bytes in the box: CR, LF and CR LF each end a line (also when
// CR and LF arrive in different blocks: `afterCr` carries that across), other
// control bytes appear as their control pictures, 0x80..0x9f as U+FFFD, and
// 0xa0..0xff as the Latin-1 characters, so every byte stays visible.
QString RenderForDisplay(std::string_view bytes, bool& afterCr);

}  // namespace usbfifo
