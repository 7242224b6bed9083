// The runtime's text-to-number conversions. They raise EConvertError with the runtime's wording
// ("'COMA' is not a valid integer value"), so callers that parse outside data either catch it
// or let it reach their own caller.
#pragma once

#include "platform/rtl/exceptions.h"

#include <string>

// A decimal integer: optional blanks, an optional sign, then digits only, within 32 bits.
// Anything else raises EConvertError "'<text>' is not a valid integer value".
int StrToInt(const std::string& text);
// The same, without raising: false and value untouched when the text is not such a number.
bool TryStrToInt(const std::string& text, int& value);
