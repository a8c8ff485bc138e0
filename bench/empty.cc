// The baseline for startup: a C++ program that loads nothing but the standard library.
int main() { return 0; }
