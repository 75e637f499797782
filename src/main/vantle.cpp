#include "main/dispatch.h"

int main(int argc, char** argv) { return vantle::run_main(argc, argv); }
