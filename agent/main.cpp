#include "agent/Daemon.h"

int main(int argc, char** argv) {
    return Daemon::main(argc, argv);
}
