// The entry points of the tool's own files, as the unit tests reach them.
#ifndef DREMLIX_TESTS_TOOL_H
#define DREMLIX_TESTS_TOOL_H

#include "record_framer.h"
#include "serial_link.h"

int dremlix_main(int argc, char **argv, char **envp);
void select_port();

#endif
