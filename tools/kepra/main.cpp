// kepra: the cameras from a shell or a script (the commands are in cli.cpp).
#include <cstdio>

#include "cli.h"

int main(int argc, char** argv) { return kepra_tool::Run(argc, argv, stdout, stderr); }
