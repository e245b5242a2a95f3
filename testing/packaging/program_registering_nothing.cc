// Stands in for the service program in a package whose registration has to
// fail: like the program it ends with exit code 0 in every role, so only the
// package's own check can tell that no service was registered.
int main() { return 0; }
