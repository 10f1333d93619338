// Process entry of linkwarden.
#include "app/linkwarden.h"

int main(int argc, char** argv) { return RunLinkwarden(argc, argv); }
