#include "barcode/ean13.h"

namespace qv::barcode {

void WriteEan13(std::uint64_t number, char* out) {
  // Weights from the left: 1, 3, 1, 3, ...
  int sum = 0;
  for (int i = 11; i >= 0; --i) {
    const int d = int(number % 10);
    number /= 10;
    out[i] = char('0' + d);
    sum += d * (i % 2 ? 3 : 1);
  }
  out[12] = char('0' + (10 - sum % 10) % 10);
}

std::string Ean13(std::uint64_t number) {
  std::string code(13, '0');
  WriteEan13(number, code.data());
  return code;
}

}  // namespace qv::barcode
