// The export check is a link test: the generated units reference every function and variable
// the public headers declare, and this program links only if the library exports them all.
int main() { return 0; }
