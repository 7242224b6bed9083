// EAN-13 codes: twelve digits and their check digit, for the virtual scanner, tests and
// benchmarks that need valid codes. Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace qv::barcode {

// Writes the twelve low decimal digits of number (zero-padded) and the EAN-13 check digit to
// out[0..12]; nothing else.
void WriteEan13(std::uint64_t number, char* out);
// The same as a string of 13 digits.
std::string Ean13(std::uint64_t number);

}  // namespace qv::barcode
