/*
 * The simulated host's wall clock, stepped: preloaded into the daemon
 * (LD_PRELOAD), it moves the wall clock that the process reads (time, and clock_gettime of CLOCK_REALTIME and its coarse
 * twin) by the seconds written in the file UPGD_CLOCK_SHIFT_FILE
 * names, read anew on every call, so a test or an operator steps the daemon's
 * wall clock either way, as an NTP step or an operator's date would, without
 * touching the machine's. Every other clock is left as
 * the kernel keeps it.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static long Shift(void)
{
    const char *path = getenv("UPGD_CLOCK_SHIFT_FILE");
    int fd = path != NULL ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        return 0;
    }
    char text[32] = {0};
    ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    return n > 0 ? strtol(text, NULL, 10) : 0;
}

int clock_gettime(clockid_t clock, struct timespec *ts)
{
    int rc = (int)syscall(SYS_clock_gettime, clock, ts);
    if (rc == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
        ts->tv_sec += Shift();
    }
    return rc;
}

time_t time(time_t *out)
{
    struct timespec ts;
    time_t now = clock_gettime(CLOCK_REALTIME, &ts) == 0 ? ts.tv_sec : (time_t)-1;
    if (out != NULL) {
        *out = now;
    }
    return now;
}
