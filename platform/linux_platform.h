// What the Linux platform files share among themselves; the tool never sees this.
#ifndef DREMLIX_LINUX_PLATFORM_H
#define DREMLIX_LINUX_PLATFORM_H

// Why the last CreateFileA failed, naming the device and the system's reason, or "" when the
// last open succeeded.
const char *linux_open_failure();

// Maps a COM port name to its device: DREMLIX_COM<n> when set, else /dev/ttyS<n-1>. Returns
// false for names that are not COM1 to COM255.
bool linux_device_path(const char *port_name, char *path, unsigned size);

#endif
