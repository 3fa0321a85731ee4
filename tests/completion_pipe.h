/* For the test hosts, C and C++: the update's completion as the posix backend posts it,
 * a 12-byte record (message, outcome, result) written to the pipe given as the window. */
#pragma once
#include <poll.h>
#include <stddef.h>
#include <unistd.h>

/* 0 once the whole record is in; 7 when the pipe fails or closes, 8 when it stays
 * incomplete for timeoutMs. */
static inline int ReadCompletion(int fd, unsigned char record[12], int timeoutMs) {
    size_t got = 0;
    struct pollfd p = {fd, POLLIN, 0};
    while (got < 12 && poll(&p, 1, timeoutMs) > 0) {
        ssize_t n = read(fd, record + got, 12 - got);
        if (n <= 0) return 7;
        got += (size_t)n;
    }
    return got == 12 ? 0 : 8;
}
