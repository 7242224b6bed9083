// The runtime's exception classes. Every error the components raise derives from Exception,
// so a handler that catches Exception sees all of them and nothing from the standard library.
#pragma once

#include "platform/win32/wintypes.h"

#include <exception>
#include <string>

// Values: any thread, as are the exception classes below.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A virtual operation that a descendant was expected to supply was called. Any thread.
class EAbstractError : public Exception {
 public:
  EAbstractError() : Exception("Abstract Error") {}
};

// An index outside a list ("List index out of bounds (%d)"). Any thread.
class EListError : public Exception {
 public:
  using Exception::Exception;
};

// A format string that does not fit its arguments. Any thread.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A published property that does not exist or has another type. Any thread.
class EPropertyError : public Exception {
 public:
  using Exception::Exception;
};

// Misuse of a thread object (waiting for itself, starting twice). Any thread.
class EThread : public Exception {
 public:
  using Exception::Exception;
};

// A failed system call; ErrorCode is the Windows error number. Any thread.
class EOSError : public Exception {
 public:
  EOSError(DWORD errorCode, std::string message) : Exception(std::move(message)), errorCode_(errorCode) {}
  DWORD ErrorCode() const noexcept { return errorCode_; }

 private:
  DWORD errorCode_;
};

// Raises EAbstractError; the body of every abstract operation.
[[noreturn]] void AbstractError();
// Raises EListError with "List index out of bounds (<index>)".
[[noreturn]] void ListIndexError(int index);
// Raises EOSError for the calling thread's last error (or the given one), with its system text.
[[noreturn]] void RaiseLastOSError();
[[noreturn]] void RaiseLastOSError(DWORD error);

// From a catch block: the message of the exception being handled, so that a handler's failure
// is reported in its own words whatever it threw: Message() of the runtime's exceptions, what()
// of the standard library's, "Unknown exception" for anything else.
std::string CurrentExceptionMessage();
