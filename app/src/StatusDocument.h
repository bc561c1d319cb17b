// The answer to every request: the service's status as compact JSON,
// wrapped as a call to callback so a page can load it with a script tag.
#pragma once

#include <string>

std::string BuildStatusBody();
