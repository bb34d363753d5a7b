// The port the simulator plays a reader on: a pty whose slave end is the serial port dremlix
// opens, and whose master end is the reader's side of the line.
#ifndef DREMLIX_SIM_PORT_H
#define DREMLIX_SIM_PORT_H

#include <string>

#include <sys/stat.h>

struct Port {
    int master = -1;        // the reader's side: what is written here arrives at the port
    int slave = -1;         // held open for the line's settings; see open_port
    std::string slave_path; // the port's device, as DREMLIX_COMn names it
    struct stat slave_id {};
    long long reader_output = 0; // bytes the program on the port wrote to it
};

// Creates the pty with a raw line at the nominal speed for baud (9600 when the pty has no such
// speed), its master non-blocking. False after telling the user why not.
bool open_port(Port &port, long baud);

// Reads and counts whatever the program on the port wrote to it, without waiting.
void discard_reader_output(Port &port);

// The id of a process other than this one that has the port open, or 0.
long port_opener(const Port &port);

// The name the kernel gives process pid, or "?".
std::string process_name(long pid);

// How many bytes wait in the port for its reader; false when the port cannot tell.
bool bytes_waiting(const Port &port, int &count);

#endif
