#pragma once
// `m520s-monitor passwd`: reads a password (twice and without echo on a
// terminal, one line otherwise) and prints its crypt(3) hash for the
// config's "http" users.

#include <ostream>

namespace monitor {

// Returns the exit code: 0, or 2 for an empty or mistyped password.
int RunPasswd(int in_fd, std::ostream& out, std::ostream& err);

}  // namespace monitor
