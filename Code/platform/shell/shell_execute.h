// ShellExecute of a program file: the verbs "open" and "runas".
//
// The file is made executable and started detached: a session of its own,
// no descriptor of ours (standard input, output and error are /dev/null),
// reaped at once (it is the child of a child that ended), the caller does
// not wait for it. Its arguments are the file and the parameters split the
// way stored command lines are (double quotes group); no shell.
//
// "runas" starts it with root rights: directly when we are root, else
// through the program $VQ_ELEVATE names (default "pkexec"; set and empty:
// directly, for tests).
#pragma once

#include <string>
#include <string_view>

namespace platform::shell {

// 0 when the program was started, else an errno value (ENOENT for a
// missing file, EINVAL for another verb, the exec failure of the program).
int ShellExecute(std::string_view verb, const std::string& file, const std::string& parameters);

}  // namespace platform::shell
