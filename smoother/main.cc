#include "smoother/run.h"

// The table store lives for the whole run; its heap blocks are never freed.
static table tab;

int main(int argc, char** argv) { return quorvel(argc, argv, &tab); }
