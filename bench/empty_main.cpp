// The floor for whole-process figures: a C++ program that does nothing,
// built and linked as qvihost is.
int main() { return 0; }
