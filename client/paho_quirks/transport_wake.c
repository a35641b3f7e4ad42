/* Transport layer beneath Paho MQTT C's synchronous client, its wake-ups (every tier): the eventfd
 * that ends the receive thread's poll, and the generation counters that callers and the receive
 * thread wait on (see transport.h for what the interposed calls do and why). */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "transport_internal.h"

/* transport_kick_gen: callers want the receive thread to look again (a connect, a wait for a
 *   packet, a caller's pause); the receive thread's idle pause waits for it, its poll sees the
 *   eventfd.
 * run_gen (transport_schedule.c): the receive thread made progress (first pass, a socket handled,
 *   thread ended); callers' pauses wait for it. Two counters keep callers from waking each other in
 *   turn. */

atomic_ullong transport_kick_gen;
static atomic_int waiters;
static pthread_mutex_t wait_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wait_cond;
static int wake_fd = -1;
static pthread_once_t wake_once = PTHREAD_ONCE_INIT;

void transport_notify(atomic_ullong* gen) {
    atomic_fetch_add(gen, 1);
    if (atomic_load(&waiters) > 0) {
        pthread_mutex_lock(&wait_lock);
        pthread_cond_broadcast(&wait_cond);
        pthread_mutex_unlock(&wait_lock);
    }
}

static void init_wake(void) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&wait_cond, &attr);
    pthread_condattr_destroy(&attr);
    /* Without an eventfd the poll is not woken early: the library's own timeouts still apply. */
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

int transport_wake_fd(void) {
    pthread_once(&wake_once, init_wake);
    return wake_fd;
}

void transport_kick(void) {
    const int fd = transport_wake_fd();
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t r = write(fd, &one, sizeof one);
        (void)r; /* a full counter already wakes the poll */
    }
    transport_notify(&transport_kick_gen);
}

struct timespec transport_deadline_after(long long ms) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

int transport_wait_gen(atomic_ullong* gen, unsigned long long seen, long long ms) {
    pthread_once(&wake_once, init_wake);
    struct timespec until = transport_deadline_after(ms < 0 ? 0 : ms);
    int moved = 0;
    pthread_mutex_lock(&wait_lock);
    atomic_fetch_add(&waiters, 1);
    for (;;) {
        if (atomic_load(gen) != seen) {
            moved = 1;
            break;
        }
        if (ms < 0) {
            pthread_cond_wait(&wait_cond, &wait_lock);
        } else if (pthread_cond_timedwait(&wait_cond, &wait_lock, &until) == ETIMEDOUT) {
            moved = atomic_load(gen) != seen;
            break;
        }
    }
    atomic_fetch_sub(&waiters, 1);
    pthread_mutex_unlock(&wait_lock);
    return moved;
}
