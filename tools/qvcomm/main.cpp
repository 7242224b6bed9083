// qvcomm: lists, maps and reads serial ports, and plays a barcode scanner on a virtual one.
//
//   qvcomm ports [-v] [--json]          the ports present
//   qvcomm map COMn PATH [--force]      name a terminal device COMn
//   qvcomm unmap COMn                   remove that mapping
//   qvcomm read COMn [options]          print the barcodes a scanner sends
//   qvcomm simulate [COMn] [options]    a virtual scanner on a pseudo-terminal
//
// Usage and exit codes are in the README ("qvcomm: the command-line tool").
#include "tools/qvcomm/commands.h"

#include <cstdio>
#include <exception>
#include <map>

namespace qvcomm {

namespace {

const std::map<std::string, const char*> kHelp = {
    {"",
     "usage: qvcomm COMMAND [ARGS]\n"
     "\n"
     "  ports [-v] [--json]           list the serial ports present\n"
     "  map COMn PATH [--force]       name a terminal device (e.g. /dev/ttyUSB0) COMn\n"
     "  unmap COMn                    remove your mapping of COMn\n"
     "  read COMn [OPTIONS]           print each barcode a scanner on COMn sends\n"
     "  simulate [COMn] [OPTIONS]     a virtual barcode scanner on a pseudo-terminal\n"
     "\n"
     "'qvcomm COMMAND --help' describes each command.\n"},
    {"ports",
     "usage: qvcomm ports [-v] [--json]\n"
     "\n"
     "Lists the serial ports present in number order: port, device, description\n"
     "(manufacturer), [driver], and 'user mapping' for a port you mapped.\n"
     "\n"
     "  -v, --verbose   every field of each port's record\n"
     "  --json          one JSON array of objects with every field\n"},
    {"map",
     "usage: qvcomm map COMn PATH [--force]\n"
     "\n"
     "Makes COMn name the terminal device PATH (a serial port, a pseudo-terminal, a socat\n"
     "link). Refuses a PATH that is not a terminal device, one mapped under another number,\n"
     "and a COMn that already names another device unless --force.\n"
     "\n"
     "  -f, --force     replace what COMn names now\n"},
    {"unmap",
     "usage: qvcomm unmap COMn\n"
     "\n"
     "Removes your mapping of COMn.\n"},
    {"read",
     "usage: qvcomm read COMn [OPTIONS]\n"
     "\n"
     "Opens COMn with the barcode scanner component and prints each barcode on its own line\n"
     "as it arrives, until Ctrl-C (or SIGTERM) or --count barcodes.\n"
     "\n"
     "Line settings (defaults: 9600 8N1, rtscts):\n"
     "  --baud N                 bits per second\n"
     "  --data-bits 5|6|7|8\n"
     "  --parity none|odd|even|mark|space\n"
     "  --stop-bits 1|1.5|2\n"
     "  --flow none|xonxoff|rtscts\n"
     "Framing (defaults: a carriage return or any other non-digit ends a barcode, and\n"
     "50 ms without data):\n"
     "  --begin CHAR             a begin character starts a new barcode\n"
     "  --end CHAR               the end character (default CR) ends a barcode\n"
     "  --any-chars              take every character, not only digits\n"
     "  --no-auto-detect         no end by a non-digit or by the time-out\n"
     "  --ignore CHARS           characters dropped from barcodes\n"
     "  --timeout MS             the end-of-barcode time-out (default 50)\n"
     "  --init-connection        test the scanner (DSR) each time the port opens\n"
     "CHAR is one character, or CR, LF, TAB, STX, ETX, ESC, NUL, or a code: 13, 0x0d.\n"
     "Output:\n"
     "  --json                   one JSON object per barcode and line:\n"
     "                           {\"port\":\"COM3\",\"barcode\":\"...\",\"time\":\"...\"}\n"
     "  --count N                end after N barcodes\n"
     "  --log FILE               write the component's log (barcodes included) to FILE\n"},
    {"simulate",
     "usage: qvcomm simulate [COMn] [OPTIONS]\n"
     "\n"
     "Plays a barcode scanner: opens a pseudo-terminal pair, maps its far end as COMn (the\n"
     "lowest free number when none is given), prints that port name on the first line, then\n"
     "sends each line of standard input as a barcode, or with --demo made-up EAN-13 codes.\n"
     "Ends at the end of the input, after --count codes, or on Ctrl-C, and removes the\n"
     "mapping.\n"
     "\n"
     "  --demo                   send valid EAN-13 codes at a steady pace\n"
     "  --delay MS               time between codes (default 500 with --demo, else 0)\n"
     "  --terminator CR|LF|CRLF|none   what follows each code (default CR)\n"
     "  --count N                end after N codes\n"},
};

}  // namespace

int PrintHelp(const std::string& command) {
  std::fputs(kHelp.at(command), stdout);
  return kExitOk;
}

}  // namespace qvcomm

int main(int argc, char** argv) {
  using namespace qvcomm;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kHelp.at(""), stderr);
    return kExitUsage;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "-h" || command == "--help" || command == "help") return PrintHelp("");
  static const std::map<std::string, int (*)(Args&)> kCommands = {
      {"ports", CmdPorts}, {"map", CmdMap}, {"unmap", CmdUnmap},
      {"read", CmdRead},   {"simulate", CmdSimulate},
  };
  auto it = kCommands.find(command);
  if (it == kCommands.end()) {
    std::fprintf(stderr, "qvcomm: unknown command \"%s\"\nTry 'qvcomm --help'.\n",
                 Printable(command).c_str());
    return kExitUsage;
  }
  try {
    Args parsed(command, std::move(args));
    return it->second(parsed);
  } catch (const std::exception& e) {
    Error(e.what());
    return kExitFailure;
  }
}
