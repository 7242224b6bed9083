// qvcomm read: where a barcode goes beside standard output: an MQTT broker through a spool
// file (--publish), a command run for each barcode (--exec).
#pragma once

#include <memory>
#include <string>

namespace qvcomm {

struct OutletSettings {
  std::string publish;       // mqtt:// or mqtts:// URL; empty: none
  std::string caFile;        // --ca
  std::string passwordFile;  // --password-file; else $QVCOMM_MQTT_PASSWORD
  unsigned long spoolMiB = 16;
  unsigned long hold = 10000;  // --hold: codes kept in memory while the spool cannot take them
  std::string exec;          // --exec: a program and its first arguments, split at blanks
  unsigned long execTimeout = 30;  // --exec-timeout: seconds one run may take
};

// Main thread only; the publisher's reports are printed from its own thread.
class Outlets {
 public:
  Outlets();
  ~Outlets();
  Outlets(const Outlets&) = delete;
  Outlets& operator=(const Outlets&) = delete;

  // Sets up what the settings ask for port ("COM3"): kExitOk, or an exit code after saying
  // why not.
  int Open(const std::string& port, const OutletSettings& settings);
  // The device behind the port now (for the status message).
  void SetDevice(const std::string& device);
  // One barcode, read at time (UTC, ISO 8601).
  void Deliver(const std::string& code, const std::string& time);
  // True once an outlet has failed for good (the broker refused the credentials): the reader
  // should end.
  bool Failed() const;
  // Stops; with drain, first gives the broker up to 2 s to take what is pending (the rest
  // waits in the spool for the next run). The exit code of a failure (kExitOk when none).
  int Close(bool drain = false);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qvcomm
