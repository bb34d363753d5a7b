// The Linux platform layer: the Win32 calls the tool makes, over termios, ptys and /dev/tty.
// This header is what its files share among themselves; the tool never sees it.
//
// Where the layer differs from the calls it stands in for, and why:
// - WaitCommEvent reports EV_RXCHAR for as long as received bytes wait unread, not once per
//   arrival. A wait cannot see what arrived while none was outstanding, and no byte may wait
//   unannounced.
// - ReadFile never pends: it hands over what the driver holds, at most what was asked, and
//   returns TRUE, with 0 bytes when nothing waits. Only waits are overlapped, and a wait
//   completes when a later call into the layer finds its event: there is no second thread.
// - A port held by another program fails CreateFileA with ERROR_SHARING_VIOLATION, as on
//   Windows. The device is locked with flock, which holds against root too, and marked
//   exclusive (TIOCEXCL) against programs that do not lock; every way out but SIGKILL clears
//   that mark.
// - SetCommState knows the termios rates from 110 to 921600 baud and refuses any other, as a
//   driver refuses a rate it cannot make. SetupComm's sizes are only kept: the kernel sizes
//   its own buffers.
// - GetCommandLineA joins the arguments with single blanks. The shell has already split and
//   unquoted the typed line, so its quotes and runs of blanks are gone.
// - A break is seen only where the driver marks it in the byte stream (real UARTs and USB
//   adapters; never a pty), and is reported after the bytes that came before it.
// - MessageBoxA has no desktop: it writes its caption and text to standard error, with the
//   device and the system's reason when an open has just failed.
// - COMn is the device named by DREMLIX_COMn, else /dev/ttyS(n-1).
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
