// The local clock and the user's regional date and time formats.
//
// The formats come from the user's LC_TIME locale (LC_ALL, LC_TIME or LANG, read once): its
// short date (the locale's date format, 12/07/26 in the C locale, 07.12.2026 in de_DE) and its
// time with seconds (13:05:09; 01:05:09 PM in en_US). Formatting makes no system call, so it
// is cheap enough for every log line. Safe from any thread.
#pragma once

#include <ctime>
#include <string>

namespace qv::platform {

// One reading of the local clock.
struct TLocalTimestamp {
  std::tm Local{};       // broken-down local time
  unsigned MSec = 0;     // 0..999
};

// The local date and time now (or the injected value).
TLocalTimestamp LocalNow();
// The date in the user's short date format.
std::string ShortDateText(const std::tm& Local);
// The time with hours, minutes and seconds in the user's format.
std::string LongTimeText(const std::tm& Local);

// Test hooks: platform/testhooks.h.

}  // namespace qv::platform
