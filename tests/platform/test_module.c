/* A tiny loadable module for the bundle tests. */
int ZarvTestAnswer(void) {
    return 42;
}
