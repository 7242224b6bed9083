#include "platform/rtl/wndmethod.h"

namespace qv::platform {
WindowHandler ToWindowHandler(const TWndMethod& method) {
  return method ? WindowHandler(method) : WindowHandler();
}
}  // namespace qv::platform

HWND AllocateHWnd(TWndMethod handler) { return qv::platform::CreateWindowRecord(qv::platform::ToWindowHandler(handler)); }

void DeallocateHWnd(HWND hwnd) { qv::platform::DestroyWindowRecord(hwnd); }
