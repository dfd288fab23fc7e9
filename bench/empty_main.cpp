// The floor for whole-process figures: a C++ program that does nothing, linked
// as g++ links by default (dynamically). qvihost is linked statically, and
// that choice is part of what the figures measure.
int main() { return 0; }
