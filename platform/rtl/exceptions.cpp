#include "platform/rtl/exceptions.h"

#include "platform/win32/winbase.h"

void AbstractError() { throw EAbstractError(); }

void ListIndexError(int index) {
  throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

void RaiseLastOSError() { RaiseLastOSError(GetLastError()); }

void RaiseLastOSError(DWORD error) {
  throw EOSError(error, "System Error.  Code: " + std::to_string(error) + ".\n" +
                            qv::platform::SysErrorMessage(error));
}

std::string CurrentExceptionMessage() {
  const std::exception_ptr current = std::current_exception();
  if (!current) return {};
  try {
    std::rethrow_exception(current);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}
