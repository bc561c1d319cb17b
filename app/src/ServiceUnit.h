// The systemd unit the service installs on Linux.
#pragma once

#include <string>

// The unit text for the executable at aExecutable.
std::string BuildServiceUnit(const char* aExecutable);
