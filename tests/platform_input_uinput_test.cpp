// The virtual keyboard: what a refused or impossible open tells the user, and (where the kernel
// has uinput) that the keys sent come out of its event device as the same text.
#include "platform/input/keymap.h"
#include "platform/input/uinput.h"
#include "support/key_reader.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

using namespace qv::platform;

namespace {

// The message of an open of path, as a user without rights to it (nobody, when run as root).
std::string OpenAsUser(const std::string& path) {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(1);
    TVirtualKeyboard keyboard;
    std::string error;
    keyboard.Open("qvcomm test", error, path);
    error += "|" + std::to_string(keyboard.ErrorNumber());
    (void)!write(out[1], error.data(), error.size());
    _exit(0);
  }
  close(out[1]);
  std::string text;
  char buf[1024];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, std::size_t(n));
  close(out[0]);
  waitpid(pid, nullptr, 0);
  return text;
}

TEST(VirtualKeyboard, AnOpenThatFailsSaysWhatToDo) {
  const std::string locked = testing::TempDir() + "qv-uinput-" + std::to_string(getpid());
  std::ofstream(locked) << "";
  chmod(locked.c_str(), 0600);
  struct Case {
    std::string path;
    int error;
    std::string says;
  } cases[] = {
      {"/nonexistent/uinput", ENOENT, "the kernel's uinput module is not loaded: sudo modprobe uinput"},
      {"/dev/null", ENOTTY, "cannot make the virtual keyboard with /dev/null"},
      {locked, EACCES, "cannot open " + locked + ": permission denied: "},
  };
  for (const Case& c : cases) {
    const std::string result = OpenAsUser(c.path);
    EXPECT_NE(result.find(c.says), std::string::npos) << result;
    EXPECT_EQ(result.substr(result.rfind('|') + 1), std::to_string(c.error)) << result;
  }
  // Refused: the way to the group that may use it, whichever step is missing.
  const std::string refused = OpenAsUser(locked);
  EXPECT_TRUE(refused.find("groupadd --system uinput") != std::string::npos ||
              refused.find("usermod -aG uinput") != std::string::npos ||
              refused.find("udev rule 60-qvcomm-uinput.rules") != std::string::npos)
      << refused;
  std::remove(locked.c_str());
}

TEST(VirtualKeyboard, TypedKeysComeBackFromItsEventDevice) {
  TVirtualKeyboard keyboard;
  std::string error;
  if (!keyboard.Open("qvcomm test keyboard", error)) {
    if (keyboard.ErrorNumber() == ENOENT || keyboard.ErrorNumber() == ENODEV)
      GTEST_SKIP() << "no uinput on this machine: " << error;
    FAIL() << error;
  }
  qv::test::KeyReader reader(keyboard.EventDevice());
  ASSERT_TRUE(reader.ok()) << keyboard.EventDevice();
  TXkbNames names;
  names.layout = "de";
  auto keymap = TKeymap::Create(names, error);
  ASSERT_TRUE(keymap) << error;
  // Once at full speed, once with a pause between keys; far more keys than the kernel keeps
  // for a reader at a time, read as they come.
  std::u32string text;
  for (int i = 0; i < 8; ++i) text += U"Grüße, 4006381333931 @{|}€\r";
  std::vector<TKeyEvent> events;
  for (char32_t c : text) keymap->AppendEvents(*keymap->Find(c), events);
  for (unsigned pause : {0u, 1u}) {
    std::vector<qv::test::TimedKey> keys;
    std::thread reading([&] { keys = reader.Read(events.size(), 20000); });
    EXPECT_TRUE(keyboard.Send(events, pause, error)) << error;
    reading.join();
    TKeyDecoder decoder(*keymap);
    for (const qv::test::TimedKey& k : keys) decoder.Feed(k.event);
    EXPECT_EQ(decoder.Text(), text) << "pause " << pause;
    EXPECT_FALSE(reader.dropped());
  }
}

}  // namespace
