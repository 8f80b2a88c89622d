#include "front/relka_main.h"

int main(int argc, char** argv) { return relka_main(argc, argv); }
