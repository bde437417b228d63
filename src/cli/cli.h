// The zelkpatch command line, apart from main() so that tests can drive it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/host_services.h"

namespace zelk {

// Exit status: 0 done (for info: a sound patch), 1 stopped on a message,
// 2 usage error. `in` gives a comment read from standard input; usage goes
// to `err`; everything else, help included, is a message through the host.
int RunCommandLine(const std::vector<std::string>& args, HostServices& host, std::FILE* in, std::FILE* err);

}  // namespace zelk
