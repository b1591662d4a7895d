#pragma once
// The FTDI chips the project's libftdi1-backed D2XX library looks for: vendor
// 0x0403 with the products of the FIFO-capable chips, plus the hexadecimal
// ids in KORVA_FTDI_PIDS (separated by ',' or blanks) for a chip programmed
// with its own id. UsbFifo's diagnosis checks devices against the same list.
#include <vector>

namespace korva {

inline constexpr int kFtdiVendor = 0x0403;

// The built-in products first, then those of KORVA_FTDI_PIDS in their order
// (values outside 1..0xffff and text that is no number are skipped).
std::vector<int> FtdiProductIds();

}  // namespace korva
