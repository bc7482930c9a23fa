// Built for i386 and placed in the bundle: the system can run i386 programs when this one runs.
// It needs what the 32-bit modules and their host need (loader, C and C++ runtimes).
int main() {
    return sizeof(void*) == 4 ? 0 : 1;
}
