// What the Linux platform files share among themselves; the tool never sees this.
#ifndef DREMLIX_LINUX_PLATFORM_H
#define DREMLIX_LINUX_PLATFORM_H

// Why the last CreateFileA failed, naming the device and the system's reason, or "" when the
// last open succeeded.
const char *linux_open_failure();

// Maps a COM port name to its device: DREMLIX_COM<n> when set, else /dev/ttyS<n-1>. Returns
// false for names that are not COM1 to COM255.
bool linux_device_path(const char *port_name, char *path, unsigned size);

// Clears the exclusive flag of every port this process holds open. Safe in a signal handler.
void linux_release_ports();

// Puts the terminal's settings back if the key-press poll changed them. Safe in a signal
// handler, and harmless when nothing was changed.
void linux_restore_console();

// From the first call on, each signal that would end the process first restores the terminal
// and releases the ports, then ends it as it would have.
void linux_watch_ending_signals();

#endif
