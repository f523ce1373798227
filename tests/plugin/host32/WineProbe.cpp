// Starts and ends: wine can run 32-bit Windows programs here.
#include <cstdio>

int main() {
    std::puts("varnel_wineprobe: started");
    return 0;
}
