#include <cstdio>

#include "kestrel/kestrel.h"

int main() {
    std::fprintf(stderr, "usage: kestrel convert LOG [-o OUTBASE]\n");
    return 2;
}
