#include "agent/Agent.h"

int main(int argc, char** argv) {
    return Agent::main(argc, argv);
}
