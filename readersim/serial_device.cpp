// Opening a serial device at any bit rate: termios2 with BOTHER. Kept apart
// because <asm/termbits.h> clashes with <termios.h>.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

namespace readersim {

// Returns a non-blocking descriptor in raw 8N1 mode at rate, or -1.
int OpenSerialDevice(const std::string &path, int rate) {
    if (rate <= 0) return -1;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        ::close(fd);
        return -1;
    }
    // What cfmakeraw does, on the termios2 fields.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                          IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(rate);
    tio.c_ospeed = static_cast<speed_t>(rate);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        ::close(fd);
        return -1;
    }
    ioctl(fd, TCFLSH, TCIOFLUSH);
    return fd;
}

// The output rate a pty's client set on its end: termios requests on the
// master act on the slave. -1 when it cannot be read.
int PtyClientRate(int masterFd) {
    struct termios2 tio;
    if (ioctl(masterFd, TCGETS2, &tio) != 0) return -1;
    return static_cast<int>(tio.c_ospeed);
}

}  // namespace readersim
