// The line's settings: a DCB to termios and back, the queue sizes, the break state.
#include "linux_port.h"

#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

struct BaudRate {
    DWORD rate;
    speed_t speed;
};

const BaudRate BaudRates[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool speed_of(DWORD rate, speed_t *speed) {
    for (const BaudRate &entry : BaudRates) {
        if (entry.rate == rate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

DWORD rate_of(speed_t speed) {
    for (const BaudRate &entry : BaudRates) {
        if (entry.speed == speed) {
            return entry.rate;
        }
    }
    return 0;
}

} // namespace

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    Object *port = object_of(hFile, PortObject);
    termios line{};
    if (port == nullptr || tcgetattr(port->fd, &line) != 0) {
        if (port != nullptr) {
            set_last_error(error_from_errno(errno));
        }
        return FALSE;
    }
    DWORD length = lpDCB->DCBlength;
    *lpDCB = DCB{};
    lpDCB->DCBlength = length;
    lpDCB->BaudRate = rate_of(cfgetospeed(&line));
    lpDCB->fBinary = TRUE;
    lpDCB->fParity = (line.c_iflag & INPCK) != 0;
    lpDCB->fOutxCtsFlow = (line.c_cflag & CRTSCTS) != 0;
    lpDCB->fRtsControl = (line.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    lpDCB->fDtrControl = DTR_CONTROL_ENABLE;
    lpDCB->fOutX = (line.c_iflag & IXON) != 0;
    lpDCB->fInX = (line.c_iflag & IXOFF) != 0;
    switch (line.c_cflag & CSIZE) {
    case CS5:
        lpDCB->ByteSize = 5;
        break;
    case CS6:
        lpDCB->ByteSize = 6;
        break;
    case CS7:
        lpDCB->ByteSize = 7;
        break;
    default:
        lpDCB->ByteSize = 8;
        break;
    }
    if (!(line.c_cflag & PARENB)) {
        lpDCB->Parity = NOPARITY;
    } else if (line.c_cflag & CMSPAR) {
        lpDCB->Parity = (line.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        lpDCB->Parity = (line.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    lpDCB->StopBits = (line.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    lpDCB->XonChar = static_cast<char>(line.c_cc[VSTART]);
    lpDCB->XoffChar = static_cast<char>(line.c_cc[VSTOP]);
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    Object *port = object_of(hFile, PortObject);
    termios line{};
    if (port == nullptr || tcgetattr(port->fd, &line) != 0) {
        return FALSE;
    }
    speed_t speed;
    tcflag_t size;
    switch (lpDCB->ByteSize) {
    case 5:
        size = CS5;
        break;
    case 6:
        size = CS6;
        break;
    case 7:
        size = CS7;
        break;
    case 8:
        size = CS8;
        break;
    default:
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // As on Windows, XON equal to XOFF makes the whole record invalid, flow control or not.
    if (!speed_of(lpDCB->BaudRate, &speed) || lpDCB->Parity > SPACEPARITY ||
        lpDCB->StopBits > TWOSTOPBITS || lpDCB->XonChar == lpDCB->XoffChar) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    cfsetispeed(&line, speed);
    cfsetospeed(&line, speed);
    line.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    line.c_cflag |= size;
    if (lpDCB->Parity != NOPARITY) {
        line.c_cflag |= PARENB;
    }
    if (lpDCB->Parity == ODDPARITY || lpDCB->Parity == MARKPARITY) {
        line.c_cflag |= PARODD;
    }
    if (lpDCB->Parity == MARKPARITY || lpDCB->Parity == SPACEPARITY) {
        line.c_cflag |= CMSPAR;
    }
    if (lpDCB->StopBits != ONESTOPBIT) {
        line.c_cflag |= CSTOPB;
    }
    if (lpDCB->fOutxCtsFlow || lpDCB->fRtsControl == RTS_CONTROL_HANDSHAKE) {
        line.c_cflag |= CRTSCTS;
    }
    line.c_iflag &= ~(IXON | IXOFF | INPCK);
    if (lpDCB->fOutX) {
        line.c_iflag |= IXON;
    }
    if (lpDCB->fInX) {
        line.c_iflag |= IXOFF;
    }
    if (lpDCB->fParity) {
        line.c_iflag |= INPCK;
    }
    if (tcsetattr(port->fd, TCSANOW, &line) != 0) {
        set_last_error(error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    // The kernel sizes its own tty buffers; the request is kept only to be reported.
    Object *port = object_of(hFile, PortObject);
    if (port == nullptr) {
        return FALSE;
    }
    port->input_queue = dwInQueue;
    port->output_queue = dwOutQueue;
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    Object *port = object_of(hFile, PortObject);
    if (port == nullptr) {
        return FALSE;
    }
    int request;
    if (dwFunc == SETBREAK) {
        request = TIOCSBRK;
    } else if (dwFunc == CLRBREAK) {
        request = TIOCCBRK;
    } else {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ioctl(port->fd, request) != 0) {
        set_last_error(error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}
