// The scanner's framing rules under arbitrary options, characters and chunking, checked against
// a plain reading of the rules one byte at a time: the same codes in the same order, the same
// pending code, the time-out armed exactly when it should be; and what was delivered plus what
// is pending is exactly the characters taken since the last begin character, in order.
//
// Input: options, CharBegin, CharEnd, an ignore-list length (low 3 bits) and the list, then
// chunks. A chunk starts with a header byte: bits 0-5 its length, bit 6 the time-out fires
// after it, bit 7 a new options byte follows the header.
#include "barcode/qvbarcode.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct TRecorder : TObject {
  std::vector<std::string> codes;
  void On(TObject*, std::string Code) { codes.push_back(std::move(Code)); }
};

// The rules, literally, in the order they are tested.
struct TModel {
  BYTE options = 0, begin = 0, end = 0;
  std::string ignore, pending, taken;
  std::vector<std::string> codes;
  bool Has(BYTE bit) const { return options & bit; }
  void Deliver() {
    if (pending.empty()) return;
    codes.push_back(pending);
    pending.clear();
  }
  void Byte(BYTE b) {
    if (Has(0x08) && b == begin) {
      pending.clear();
      taken.clear();
    } else if (Has(0x04) && b == end) {
      Deliver();
    } else if ((b >= '0' && b <= '9') || Has(0x10)) {
      if (ignore.find(char(b)) == std::string::npos) {
        pending += char(b);
        taken += char(b);
      }
    } else if (Has(0x01)) {
      Deliver();
    }
  }
};

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TqvBarCodeScan* scan = new TqvBarCodeScan;
  static TRecorder* got = new TRecorder;
  if (size < 4) return 0;
  // Start from nothing pending.
  scan->OnBarCode = nullptr;
  scan->DoBarcode();
  scan->OnBarCode = TOnBarCodeEvent(got, &TRecorder::On);
  got->codes.clear();

  TModel m;
  std::size_t i = 0;
  m.options = data[i++];
  m.begin = data[i++];
  m.end = data[i++];
  const std::size_t k = data[i++] & 7;
  for (std::size_t j = 0; j < k && i < size; ++j) m.ignore += char(data[i++]);
  scan->SetOptions(TBarcodeOptions::FromBits(m.options));
  scan->SetCharBegin(m.begin);
  scan->SetCharEnd(m.end);
  scan->SetIgnoreChars(m.ignore);

  std::string accepted;  // everything delivered, then taken since the last begin character
  while (i < size) {
    const BYTE header = data[i++];
    if ((header & 0x80) && i < size) {
      m.options = data[i++];
      scan->SetOptions(TBarcodeOptions::FromBits(m.options));
    }
    const std::size_t n = std::min<std::size_t>(header & 0x3F, size - i);
    scan->HandleRxData(scan, data + i, int(n));
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t before = m.codes.size();
      m.Byte(data[i + j]);
      if (m.codes.size() != before) {
        accepted += m.taken;
        m.taken.clear();
      }
    }
    i += n;
    Check(scan->Timer().Enabled() == (m.Has(0x01) && !m.pending.empty()));
    if ((header & 0x40) && scan->Timer().Enabled()) {
      scan->TimeoutElapsed(nullptr);
      m.Deliver();
      accepted += m.taken;
      m.taken.clear();
    }
    Check(got->codes == m.codes);
    Check(scan->PendingCode() == m.pending);
  }
  std::string delivered;
  for (const std::string& c : got->codes) {
    Check(!c.empty());
    delivered += c;
  }
  Check(delivered + scan->PendingCode() == accepted + m.taken);
  return 0;
}
