// A station's identity: a random name of its own, kept in its state folder, so two stations
// with the same host name and port (a cloned machine, a copied state folder) never share the
// key a consumer tells messages apart by. It is made again when the machine's identity
// (/etc/machine-id) is not the one it was made under: a clone gets a new machine-id, and so a
// station identity of its own.
//
// Test hook: QVCOMM_MACHINE_ID_FILE in the environment names another file to read the
// machine's identity from.
//
// Any thread.
#pragma once

#include <string>

namespace qv::platform {

struct StationIdentity {
  std::string id;       // 16 lower-case hex digits
  std::string renewed;  // when it was made again: why, for the log; else empty
};

// Reads <folder>/<name>.id, or makes it (and the folder). False with the reason, naming the
// file, when it cannot be read or written.
bool LoadStationIdentity(const std::string& folder, const std::string& name, StationIdentity& out,
                         std::string& error);

}  // namespace qv::platform
