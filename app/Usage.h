// Usage - the usage texts, written to standard error
#pragma once

#include <cstdio>

void PrintShortUsage(FILE* out, const char* program);
// The short usage, the parameters and commands, the extended block when asked
// for, and the samples.
void PrintFullUsage(FILE* out, const char* program, bool extended);
