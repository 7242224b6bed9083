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
