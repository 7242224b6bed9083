// The registry store: one text file per root, under the user's configuration folder.
//
//   $XDG_CONFIG_HOME/qvcomm/machine.reg   HKEY_LOCAL_MACHINE   ($XDG_CONFIG_HOME defaults to
//   $XDG_CONFIG_HOME/qvcomm/user.reg      HKEY_CURRENT_USER     ~/.config)
//
// The machine root is kept per user too: a desktop user cannot write the system's folders.
//
// File format (UTF-8 or any 8-bit text; lines end with LF, a CR before it is ignored):
//
//   ; comment (also # comment); blank lines are ignored
//   [Software\qvcomm\PortMap]            a key, by its path below the root ("[]" is the root)
//   "COM7"=sz:"/dev/pts/3"               REG_SZ: the text, stored with one terminating NUL
//   @=dword:0000002a                     REG_DWORD (4 bytes, little-endian); @ = default value
//   "Config"=hex:01,1c,00,ff             REG_BINARY, byte for byte ("hex:" alone: empty)
//   "Path"=expand:"$HOME/x"              REG_EXPAND_SZ, as sz:
//   "List"=multi:"a","b"                 REG_MULTI_SZ: each text + NUL, then a final NUL
//   "Odd"=hex(1):41,42                   any type N (hex) with raw bytes: data that the forms
//                                        above cannot express exactly (a text without its NUL,
//                                        a DWORD of another size, REG_NONE, ...)
//
// Quoted texts escape \\ \" \n \r \t and \xHH (every other control byte, NUL included); other
// bytes stand for themselves. Key and value names are compared ignoring ASCII case and keep
// the spelling they were created with. Every key is listed, parents before children; a
// section for a key whose parents are missing creates them. Values keep their order.
//
// Writes: every change is a read-modify-write under an advisory lock (flock on <file>.lock):
// the file is read again under the lock, changed, written to <file>.tmp, fsync'ed, renamed
// over <file>, and the folder fsync'ed. Concurrent writers therefore lose nothing and a crash
// leaves either the old or the new file. Readers take no lock (a rename is atomic) and keep a
// parsed copy only while the file's inode, size and times are unchanged.
//
// A file that does not parse is reported on stderr (file, line, reason), renamed aside to
// <file>.damaged-<YYYYmmdd-HHMMSS> and the operation fails with ERROR_REGISTRY_CORRUPT; the
// store then starts empty for that root (the damaged copy keeps everything for repair).
#pragma once

#include "platform/win32/wintypes.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qv::platform {

struct RegValue {
  std::string name;  // "" is the default value
  DWORD type = 0;
  std::vector<BYTE> data;
};

struct RegKeyNode {
  std::string path;  // below the root, components joined by '\', original spelling
  std::vector<RegValue> values;

  const RegValue* FindValue(std::string_view name) const;
  RegValue* FindValue(std::string_view name);
};

// The contents of one root. A value without a lock of its own: the store hands out finished
// hives as read-only snapshots (any thread may read one) and changes a copy under its lock.
class RegHive {
 public:
  RegHive();

  const RegKeyNode* Find(std::string_view path) const;
  RegKeyNode* Find(std::string_view path);
  // Creates the key and its missing parents; *created tells whether the key itself was new.
  RegKeyNode& Create(std::string_view path, bool* created = nullptr);
  bool HasSubKeys(std::string_view path) const;
  // Removes one key (not its subkeys). False if missing.
  bool Erase(std::string_view path);
  // Every key, parents before children.
  std::vector<const RegKeyNode*> Keys() const;

  std::string Serialize(std::string_view rootName) const;
  // Parses the file format; on failure errorLine (1-based) and error describe the first fault.
  static bool Parse(std::string_view text, RegHive& hive, std::size_t& errorLine,
                    std::string& error);

 private:
  std::map<std::string, RegKeyNode> keys_;  // by lower-case path; "" is the root
};

enum class RegRoot { Machine, User };

// Lower-case (ASCII) copy, the form names are compared in.
std::string RegFold(std::string_view text);
// Whether two names are the same ignoring ASCII case (no copies made).
bool RegNamesEqual(std::string_view a, std::string_view b);
// Splits a key path into components; false for an empty component or a control character.
bool RegSplitPath(std::string_view path, std::vector<std::string>& parts);

// A per-user base folder without its trailing slash: $<variable> when it is an absolute path,
// else <home>/<belowHome> (XDG_CONFIG_HOME and .config, XDG_STATE_HOME and .local/state).
std::string UserBaseFolder(const char* variable, const char* belowHome);

// The folder and file of a root's store (read from the environment on every call, so a test
// can point XDG_CONFIG_HOME at a fresh folder).
std::string RegStoreFolder();
std::string RegStoreFile(RegRoot root);

// The current contents of a root (an empty hive when the file does not exist yet).
// ERROR_REGISTRY_CORRUPT for a damaged file (moved aside, see above), another error when the
// file cannot be read.
LONG RegStoreRead(RegRoot root, std::shared_ptr<const RegHive>& hive);

// Read-modify-write under the lock. change gets the current contents; it returns
// ERROR_SUCCESS and sets changed to have them written, anything else to abandon the change
// (that result is returned). The lock is waited for 5 s at most, and no longer once a
// termination signal of the program's TSignalWatch came: ERROR_CANTWRITE then, and
// RegStoreFailure names the program that holds it.
LONG RegStoreModify(RegRoot root, const std::function<LONG(RegHive&, bool& changed)>& change);

// Why the last store call of this thread failed, in words a user acts on: the file and the
// system's reason ("permission denied on /home/u/.config/qvcomm/user.reg.lock"), the program
// that holds the lock, or the damaged file and its line. Empty after a call that succeeded or that its change declined.
std::string RegStoreFailure();

// A read-only key whose values are built each time it is opened (SERIALCOMM under
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP is one). Writes to it or below it fail with
// ERROR_ACCESS_DENIED; its parents exist as empty read-only keys unless the store has them.
using RegViewBuilder = std::function<std::vector<RegValue>()>;
void RegisterRegView(RegRoot root, const std::string& path, RegViewBuilder build);
// The values of the SERIALCOMM view as the system builds them (one per port of the port map);
// a test that replaced the view puts this builder back.
std::vector<RegValue> SerialCommValues();


}  // namespace qv::platform
