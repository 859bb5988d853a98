// Updater: the console firmware update and maintenance program for Corvane modules.
#include "UpdaterDriver.h"

int main(int argc, char** argv) {
    return runUpdater(argc, argv);
}
