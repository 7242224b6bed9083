#include "platform/system/localtime.h"

#include "platform/testhooks.h"

#include <langinfo.h>
#include <locale.h>

#include <atomic>
#include <mutex>
#include <optional>

namespace qv::platform {

namespace {

std::mutex g_fixedMutex;
std::optional<TLocalTimestamp> g_fixed;
std::atomic<bool> g_hasFixed{false};

std::atomic<locale_t> g_locale{locale_t(0)};
std::once_flag g_userLocaleOnce;

locale_t TimeLocale() {
  std::call_once(g_userLocaleOnce, [] {
    if (g_locale.load() != locale_t(0)) return;
    locale_t loc = newlocale(LC_TIME_MASK, "", locale_t(0));
    // A LANG naming a locale that is not installed must not cost the prefix: fall back to C.
    if (loc == locale_t(0)) loc = newlocale(LC_TIME_MASK, "C", locale_t(0));
    g_locale.store(loc);
  });
  return g_locale.load();
}

std::string FormatWith(const char* fmtItemText, const std::tm& Local, locale_t loc) {
  char buf[128];
  std::size_t n = strftime_l(buf, sizeof buf, fmtItemText, &Local, loc);
  return std::string(buf, n);
}

}  // namespace

TLocalTimestamp LocalNow() {
  if (g_hasFixed.load(std::memory_order_acquire)) {
    std::lock_guard guard(g_fixedMutex);
    if (g_fixed) return *g_fixed;
  }
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  TLocalTimestamp out;
  localtime_r(&ts.tv_sec, &out.Local);
  out.MSec = unsigned(ts.tv_nsec / 1000000);
  return out;
}

std::string ShortDateText(const std::tm& Local) {
  locale_t loc = TimeLocale();
  return FormatWith(nl_langinfo_l(D_FMT, loc), Local, loc);
}

std::string LongTimeText(const std::tm& Local) {
  locale_t loc = TimeLocale();
  return FormatWith(nl_langinfo_l(T_FMT, loc), Local, loc);
}

void InjectLocalTime(const TLocalTimestamp* Fixed) {
  std::lock_guard guard(g_fixedMutex);
  if (Fixed)
    g_fixed = *Fixed;
  else
    g_fixed.reset();
  g_hasFixed.store(Fixed != nullptr, std::memory_order_release);
}

bool InjectTimeLocale(const char* Name) {
  TimeLocale();  // the user's locale is read first, so a later first use does not replace ours
  locale_t loc = newlocale(LC_TIME_MASK, Name ? Name : "", locale_t(0));
  if (loc == locale_t(0)) {
    if (Name) return false;
    loc = newlocale(LC_TIME_MASK, "C", locale_t(0));
  }
  locale_t old = g_locale.exchange(loc);
  if (old != locale_t(0)) freelocale(old);
  return true;
}

}  // namespace qv::platform
