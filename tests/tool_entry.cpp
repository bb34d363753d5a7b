// The tool's entry file, compiled into the unit tests under another name so that the tests
// can run the whole program against the scripted driver.
#include <cstdio>
#include <cstring>
#include <windows.h>

#define main dremlix_main
#include "../src/main.cpp"
