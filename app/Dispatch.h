// Dispatch - the process entry's work: parse, set up the store, run the commands
#pragma once

// Answers the exit status: 0 for success, 1 for failure.
int RunUpdater(int argc, const char* const argv[]);
