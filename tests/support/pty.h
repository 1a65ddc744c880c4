// Pseudo-terminals for tests of the program at a terminal: opening a pair,
// reading what the program shows, and looking at the terminal's modes.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>

namespace pellucor::test {

// A pseudo-terminal master (close-on-exec, not made the controlling terminal
// of the test) and the path of its slave; master is -1 when none could be
// opened. The master is closed with the object.
class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int master() const { return master_; }
  // release_master hands the master over; this object no longer closes it.
  int release_master() { return std::exchange(master_, -1); }
  const std::string& slave_path() const { return slave_path_; }

 private:
  int master_ = -1;
  std::string slave_path_;
};

// echo_is_on tells whether the terminal of `fd` (either side) echoes input.
bool echo_is_on(int fd);

// read_some reads what arrives on `fd` during `wait`, and always takes the
// whole `wait`: a pseudo-terminal master reports a hang-up (and reads fail)
// while no slave is open, before the child opens it and after the child
// closes it, so a failed read must not end the window early or callers'
// loops would spin through their time budget in microseconds.
std::string read_some(int fd, std::chrono::milliseconds wait);

// read_until reads from `fd` into `screen` until `screen` holds `text` at or
// after `from`, or `within` has passed; true when it came. It returns as soon
// as the text is there, for tests that act right after something appears.
bool read_until(int fd, std::string& screen, std::string_view text, std::size_t from,
                std::chrono::milliseconds within);

}  // namespace pellucor::test
