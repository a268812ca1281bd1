#include "updater/thimbleset.h"

int main(int argc, char** argv) { return thimbleset::ThimblesetMain(argc, argv); }
