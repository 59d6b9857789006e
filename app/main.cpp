// Updater - firmware update and maintenance for Corvane modules
#include "Dispatch.h"

int main(int argc, char* argv[]) {
    return RunUpdater(argc, argv);
}
