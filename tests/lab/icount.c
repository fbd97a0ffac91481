// SPDX-License-Identifier: MIT
// Prints a serial port's TIOCGICOUNT counters on one line, for the lab's checks:
// rx=N parity=N frame=N brk=N overrun=N buf_overrun=N
// Test code, built static so the lab's initramfs can run it.
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: icount DEVICE\n");
        return 2;
    }
    int fd = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
    struct serial_icounter_struct ic;
    if (fd < 0 || ioctl(fd, TIOCGICOUNT, &ic) != 0) {
        perror(argv[1]);
        return 1;
    }
    printf("rx=%d parity=%d frame=%d brk=%d overrun=%d buf_overrun=%d\n", ic.rx, ic.parity,
        ic.frame, ic.brk, ic.overrun, ic.buf_overrun);
    close(fd);
    return 0;
}
