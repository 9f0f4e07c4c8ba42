#include <cstdio>
int main() { std::puts("wendrix-run: not built yet"); return 0; }
