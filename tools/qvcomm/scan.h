// What `read` and `type` share: the scanner's port, line settings and framing with their
// options, and the run of the barcode scanner component on one port until a signal, the port's
// end, --count barcodes or the subcommand's own handler ends it. Main thread.
#pragma once

#include "comm/qvcomm.h"
#include "platform/win32/wintypes.h"
#include "tools/qvcomm/cli.h"

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvcomm {

struct ScanSettings {
  std::string name;     // the port as given
  unsigned number = 0;  // COMn, or 0 for a device given by path or network address
  std::string device;   // that path or address
  DWORD baud = 9600;
  BYTE dataBits = 8;
  TParity parity = pNone;
  TStopBits stopBits = sbOne;
  TStreamProtocol flow = spHardware;
  std::optional<char> begin, end;
  bool digits = false, noAutoDetect = false, initConnection = false;
  std::optional<std::string> ignore;
  std::optional<unsigned long> timeoutMs;
  std::string logFile;
  unsigned long count = 0;
  bool reconnect = false;
};

class Outlets;

// CHAR: one character, a name (CR, LF, TAB, STX, ETX, ESC, NUL) or a code (13, 0x0d).
bool TakeChar(std::optional<char>& field, const std::string& v);
inline constexpr std::string_view kCharValues =
    "one character, CR, LF, TAB, STX, ETX, ESC, NUL or a code 0..255";
bool TakeParity(TParity& field, const std::string& v);
bool TakeStopBits(TStopBits& field, const std::string& v);
bool TakeFlow(TStreamProtocol& field, const std::string& v);

// Takes a number in [min, max] into field.
template <class T, unsigned long min, unsigned long max>
bool TakeNumber(T& field, const std::string& v) {
  unsigned long n = 0;
  if (!ParseNumber(v, min, max, n)) return false;
  field = T(n);
  return true;
}

// The rows of the line settings and the framing, for settings S that derive from
// ScanSettings.
template <class S>
inline constexpr auto kScanOptions = std::to_array<Option<S>>({
    {{"", "", "Line settings (defaults: 9600 8N1, rtscts):", ""}},
    {{"--baud", "N", "bits per second", "a rate from 50 to 4000000"},
     [](S& s, const std::string& v) { return TakeNumber<DWORD, 50, 4000000>(s.baud, v); }},
    {{"--data-bits", "5|6|7|8", "", "5, 6, 7 or 8"},
     [](S& s, const std::string& v) { return TakeNumber<BYTE, 5, 8>(s.dataBits, v); }},
    {{"--parity", "none|odd|even|mark|space", "", "none, odd, even, mark or space"},
     [](S& s, const std::string& v) { return TakeParity(s.parity, v); }},
    {{"--stop-bits", "1|1.5|2", "", "1, 1.5 or 2"},
     [](S& s, const std::string& v) { return TakeStopBits(s.stopBits, v); }},
    {{"--flow", "none|xonxoff|rtscts", "", "none, xonxoff or rtscts"},
     [](S& s, const std::string& v) { return TakeFlow(s.flow, v); }},
    {{"", "", "Framing (defaults: whole lines: any character; CR, LF or CR LF ends a barcode; a\n"
              "rest without its line end is delivered after 1000 ms without data):", ""}},
    {{"--digits", "", "the scanner component's own framing: only digits are taken, and\n"
                      "any other character (CR included) or 50 ms without data ends\n"
                      "a barcode", ""},
     [](S& s, const std::string&) { return s.digits = true; }},
    {{"--any-chars", "", "take every character (the default)", ""},
     [](S& s, const std::string&) { return !(s.digits = false); }},
    {{"--begin", "CHAR", "a begin character starts a new barcode", kCharValues},
     [](S& s, const std::string& v) { return TakeChar(s.begin, v); }},
    {{"--end", "CHAR", "the end character ends a barcode (and is not part of it), in\n"
                       "place of CR and LF", kCharValues},
     [](S& s, const std::string& v) { return TakeChar(s.end, v); }},
    {{"--no-auto-detect", "", "no end by the time-out (nor, with --digits, by a non-digit)", ""},
     [](S& s, const std::string&) { return s.noAutoDetect = true; }},
    {{"--ignore", "CHARS", "characters dropped from barcodes", "characters"},
     [](S& s, const std::string& v) { return s.ignore = v, true; }},
    {{"--timeout", "MS", "the end-of-barcode time-out (default 1000 for whole lines, 50 with\n"
                         "--digits)", "milliseconds from 0 to 3600000"},
     [](S& s, const std::string& v) { return TakeNumber<unsigned long, 0, 3600000>(s.timeoutMs.emplace(), v); }},
    {{"--init-connection", "", "test the scanner (DSR) each time the port opens", ""},
     [](S& s, const std::string&) { return s.initConnection = true; }},
    {{"", "", "CHAR is one character, or CR, LF, TAB, STX, ETX, ESC, NUL, or a code: 13, 0x0d.", ""}},
});

// The rows that end each list: --count, --log and --reconnect.
template <class S>
inline constexpr auto kScanTail = std::to_array<Option<S>>({
    {{"--count", "N", "end after N barcodes", "a number of barcodes from 1"},
     [](S& s, const std::string& v) { return TakeNumber<unsigned long, 1, 4000000000UL>(s.count, v); }},
    {{"--log", "FILE", "write the component's log (barcodes included) to FILE, a regular\n"
                       "file (relative to the current folder)", "a file name"},
     [](S& s, const std::string& v) { return s.logFile = v, !v.empty(); }},
    {{"--reconnect", "", "when the port goes away (or is not there yet), wait for it and\n"
                         "go on with the same settings", ""},
     [](S& s, const std::string&) { return s.reconnect = true; }},
});

// A subcommand's option table: the line settings and framing, its own rows, --count and --log.
template <class S, std::size_t N>
constexpr auto WithScanOptions(const std::array<Option<S>, N>& own) {
  std::array<Option<S>, kScanOptions<S>.size() + N + kScanTail<S>.size()> all{};
  std::size_t i = 0;
  for (const auto& o : kScanOptions<S>) all[i++] = o;
  for (const auto& o : own) all[i++] = o;
  for (const auto& o : kScanTail<S>) all[i++] = o;
  return all;
}

// The check of the operands: one port (COMn, a device path or a network address), and an end
// for --digits --no-auto-detect.
std::string ScanOperands(ScanSettings& s, const std::vector<std::string>& operands);
// The port as messages name it: COMn, else as given.
std::string PortName(const ScanSettings& s);

// Returned by a barcode handler that wants the next barcode; any other value ends the run
// with that exit code (the handler has said why).
inline constexpr int kGoOn = -1;

// Writes one line on standard output at once: kGoOn, or the end when it cannot (kExitOk when
// its reader went away, as with | head -1; kExitFailure after saying why otherwise).
int PrintLine(const std::string& line);

// Opens the port with the scanner, prints "qvcomm: <verb> <port>, <line settings><extra>;
// Ctrl-C ends" on stderr and hands each barcode to handle until the end; returns the exit code.
// With --reconnect a port that goes away (or is not there yet) is waited for and opened again.
// outlets (already open; may be null): a failed one ends the run, and it is closed at the end.
int RunScanner(const ScanSettings& s, const std::string& verb, const std::string& extra,
               const std::function<int(const std::string& code)>& handle, Outlets* outlets = nullptr);

}  // namespace qvcomm
