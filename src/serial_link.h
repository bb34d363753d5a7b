// The serial port: opening and configuring it, the receive loop, and closing it.
#ifndef DREMLIX_SERIAL_LINK_H
#define DREMLIX_SERIAL_LINK_H

#include <windows.h>

// "COM1" to "COM8": chosen from the command line before anything is printed.
extern char PortName[5];

// The open port, or INVALID_HANDLE_VALUE before a successful open and after closing.
extern HANDLE PortHandle;

// Opens PortName for exclusive overlapped use at 9600 8N1. Returns 1 when the port is open,
// 0 (after telling the user) when it cannot be opened.
int open_port();

// Prints the records that arrive until a key is pressed or a break arrives on the line.
void receive_loop();

// Raises the break state on the line and closes the port.
void close_port();

#endif
