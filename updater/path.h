// path - joining store paths for the engine's own code
#pragma once

#include <string>

// The first part, then "/" and each further part; a separator is always inserted.
std::string BuildPath(const char* first, ...);
