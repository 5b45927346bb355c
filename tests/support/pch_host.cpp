// Compiled only for the precompiled header the Qt Test programs share (tests/CMakeLists.txt).
int main() { return 0; }
