// The vantrel command-line tool.
#include <cstdio>

int main() {
    std::puts("vantrel: the command-line tool is being built");
    return 0;
}
