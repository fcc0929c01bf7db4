// Preloaded after libfaketime when the watchdog runs on an accelerated clock (bench/run.sh,
// scripts/soak.sh, the fault tests). libfaketime moves the timestamps that stat() and fstat() report
// onto its fake clock, but it does not wrap statx(), which is what Qt reads file times with. Without
// this, the watchdog would compare a file written "now" (by the kernel, in real time) with its own
// clock running a hundred times faster, and call every healthy caster locked up.
//
// Nor does it wrap pthread_cond_clockwait(), which a std::condition_variable's timed wait ends in:
// its deadline, read on the fake clock, would be awaited on the real one, and a wait meant to take
// 100 ms would take as long as the fake clock has run ahead. This moves the deadline back onto the
// real clock, so that the watchdog's own threads wait at the fake clock's pace as well.
//
// A real time t maps to the fake clock as libfaketime maps the present moment:
//     fake(t) = fake_now - (real_now - t) * rate
// where fake_now comes through libfaketime (clock_gettime is looked up past this library) and
// real_now straight from the kernel. The rate is the "x" factor in FAKETIME, e.g. "+0 x100".
//
// Build: cc -O2 -shared -fPIC -o libfakestatx.so fakestatx.c -ldl
// Use:   LD_PRELOAD="/path/libfaketime.so.1 /path/libfakestatx.so" FAKETIME="+0 x100" program

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

typedef int (*statx_fn)(int, const char *, int, unsigned int, struct statx *);
typedef int (*clockwait_fn)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const struct timespec *);

static statx_fn real_statx;
static clockwait_fn real_clockwait;
static double rate = 1.0;

// The speed factor from FAKETIME ("+0 x100", "-2d x10,5"); 1 when there is none.
static double rateFromEnv(void)
{
    const char *fakeTime = getenv("FAKETIME");
    if (!fakeTime)
        return 1.0;
    const char *x = strchr(fakeTime, 'x');
    if (!x)
        return 1.0;
    char number[32];
    size_t n = 0;
    for (const char *c = x + 1; *c && n + 1 < sizeof number; ++c)
        number[n++] = *c == ',' ? '.' : *c; // libfaketime reads the factor in the locale's notation
    number[n] = '\0';
    char *end = NULL;
    double value = strtod(number, &end);
    return end != number && value > 0 ? value : 1.0;
}

__attribute__((constructor)) static void init(void)
{
    real_statx = (statx_fn)dlsym(RTLD_NEXT, "statx");
    real_clockwait = (clockwait_fn)dlsym(RTLD_NEXT, "pthread_cond_clockwait");
    rate = rateFromEnv();
}

static int64_t nanoseconds(int64_t sec, int64_t nsec)
{
    return sec * 1000000000LL + nsec;
}

static void mapTimestamp(struct statx_timestamp *ts, int64_t fakeNow, int64_t realNow)
{
    const int64_t t = nanoseconds(ts->tv_sec, ts->tv_nsec);
    const int64_t mapped = fakeNow - (int64_t)((double)(realNow - t) * rate);
    int64_t sec = mapped / 1000000000LL;
    int64_t nsec = mapped % 1000000000LL;
    if (nsec < 0) {
        nsec += 1000000000LL;
        --sec;
    }
    ts->tv_sec = sec;
    ts->tv_nsec = (uint32_t)nsec;
}

int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *buf)
{
    if (!real_statx) {
        real_statx = (statx_fn)dlsym(RTLD_NEXT, "statx");
        if (!real_statx)
            return -1;
    }
    const int result = real_statx(dirfd, path, flags, mask, buf);
    if (result != 0 || rate == 1.0)
        return result;

    struct timespec fake, real;
    clock_gettime(CLOCK_REALTIME, &fake); // libfaketime's, the clock the caller lives by
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &real);
    const int64_t fakeNow = nanoseconds(fake.tv_sec, fake.tv_nsec);
    const int64_t realNow = nanoseconds(real.tv_sec, real.tv_nsec);
    if (buf->stx_mask & STATX_MTIME)
        mapTimestamp(&buf->stx_mtime, fakeNow, realNow);
    if (buf->stx_mask & STATX_ATIME)
        mapTimestamp(&buf->stx_atime, fakeNow, realNow);
    if (buf->stx_mask & STATX_CTIME)
        mapTimestamp(&buf->stx_ctime, fakeNow, realNow);
    if (buf->stx_mask & STATX_BTIME)
        mapTimestamp(&buf->stx_btime, fakeNow, realNow);
    return result;
}

// A deadline on the fake clock lies (deadline - fake now) / rate of real time ahead.
int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock,
                           const struct timespec *deadline)
{
    if (!real_clockwait) {
        real_clockwait = (clockwait_fn)dlsym(RTLD_NEXT, "pthread_cond_clockwait");
        if (!real_clockwait)
            return EINVAL;
    }
    struct timespec fake, real;
    clock_gettime(clock, &fake);
    syscall(SYS_clock_gettime, clock, &real);
    const int64_t ahead = (int64_t)((double)(nanoseconds(deadline->tv_sec, deadline->tv_nsec)
                                             - nanoseconds(fake.tv_sec, fake.tv_nsec))
                                    / rate);
    const int64_t moved = nanoseconds(real.tv_sec, real.tv_nsec) + (ahead > 0 ? ahead : 0);
    const struct timespec onRealClock = {(time_t)(moved / 1000000000LL), (long)(moved % 1000000000LL)};
    return real_clockwait(cond, mutex, clock, &onRealClock);
}
