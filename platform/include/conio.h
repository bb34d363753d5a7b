// The console key-press poll, declared for builds that are not Windows.
#ifndef DREMLIX_PLATFORM_CONIO_H
#define DREMLIX_PLATFORM_CONIO_H

// Nonzero when a key press is waiting at the console. It never waits and never consumes the
// key, so the press is still in the console's input when the tool ends.
int _kbhit(void);

#endif
