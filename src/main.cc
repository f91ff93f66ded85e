// The ortavis-upgd program: its command line, then the daemon's life
// (UpgdMain, ortavis_upgd.h).
#include <cstdio>
#include <cstring>

#include "ortavis_upgd.h"

// The daemon takes no arguments: its paths are fixed and its one setting is
// stored. Anything on its command line is a mistake said at once, rather than
// a daemon started in the terminal of whoever asked for help.
int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("ortavis-upgd %s\n", UPGD_VERSION);
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "usage: ortavis-upgd (no arguments; --version prints the version; see ortavis-upgd(8))\n");
        return 2;
    }
    return UpgdMain();
}
