// A shared library without an export directory: not a module.
extern "C" __attribute__((visibility("default"))) int Add(int a, int b) {
    return a + b;
}
