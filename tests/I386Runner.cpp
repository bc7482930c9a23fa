// Runs an i386 test program where this machine can execute i386 programs, and otherwise exits
// with the skip code, saying why: a kernel that refuses them would have the program run as a
// shell script instead.
#include "modules/Architecture.h"
#include "platform/Bundle.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARGUMENT]...\n", argv[0]);
        return 2;
    }
    zarv::Bundle::setMainBundlePath(QStringLiteral(ZARV_APP_DIR));
    const zarv::I386ProbeResult& probe = zarv::systemI386Probe();
    if (!probe.runs) {
        std::printf("this machine cannot execute i386 programs: %s\n", qPrintable(probe.reason));
        return ZARV_I386_SKIP_CODE;
    }
    execv(argv[1], argv + 1);
    std::perror(argv[1]);
    return 1;
}
