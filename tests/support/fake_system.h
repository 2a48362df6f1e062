// Test stand-in for system(3): kernel-log posts never reach the host.
//
// Every command is run by /bin/sh as usual, except that "> /dev/kmsg" becomes
// an append to a capture file, so tests can read every post, in order, that
// would have reached the kernel log. Linked into every unit test program.
// Every kernel-log report of the daemon reaches it through vexd_kmsg.
#pragma once

#include <string>
#include <vector>

// Path of the capture file that stands in for /dev/kmsg (per test process).
const std::string &fake_kmsg_path();
// Text captured so far; clear it with fake_kmsg_clear().
std::string fake_kmsg_read();
void fake_kmsg_clear();
// Every command passed to system(), in order, as given.
std::vector<std::string> fake_system_commands();
void fake_system_clear();
