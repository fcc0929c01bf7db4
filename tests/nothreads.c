// Preloaded into the watchdog by a fault test: no thread can be started, as on a machine whose limit
// on processes has been reached.

#include <errno.h>
#include <pthread.h>

int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*run)(void *), void *argument)
{
    (void)thread;
    (void)attributes;
    (void)run;
    (void)argument;
    return EAGAIN;
}
