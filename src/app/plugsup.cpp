#include "startup/entry.h"

int main(int argc, char** argv) { return supervisor_main(argc, argv); }
