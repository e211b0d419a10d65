// vantrel-sim: a simulated board on a pseudo-terminal.
#include <cstdio>

int main() {
    std::puts("vantrel-sim: the simulator is being built");
    return 0;
}
