// Line speeds that have no termios constant (12345 baud), through Linux's
// termios2 and BOTHER. termios2 comes from the kernel's own header, which
// cannot share a file with <termios.h>: hence a file of its own.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...);

// Sets both speeds of the line to `baud`; true when the line took exactly
// that speed.
bool set_custom_speed(int fd, uint32_t baud) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return false;
    }
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &settings) == 0 && ioctl(fd, TCGETS2, &settings) == 0 &&
           settings.c_ospeed == baud;
}
