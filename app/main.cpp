// Placeholder until this module is built.
int main() { return 0; }
