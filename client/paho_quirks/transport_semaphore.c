/* Transport layer beneath Paho MQTT C's synchronous client, its semaphore tier: the callers' waits
 * for the receive thread, Thread_wait_sem and Thread_post_sem (see transport.h for what each
 * interposed call does and why). The __real_ names are the library's own functions, bound by the
 * relocatable link that applies --wrap to Paho's archive only. */
#define _GNU_SOURCE
#include <errno.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdint.h>
#include <time.h>

#include "transport.h"
#include "transport_internal.h"

/* ---- semaphores -------------------------------------------------------------------------------
 * The library's semaphores are binary (Thread_post_sem posts only to a semaphore at zero) and
 * stand for "the answer to what this thread sent has come": the TCP connect completed, a CONNACK,
 * SUBACK or UNSUBACK arrived, or the socket failed while waiting for one. After a refused connect
 * (CONNACK with a code) the broker closes the socket, and the receive thread reports that failure
 * as a second CONNACK post when the caller has already taken the first one; the library's retry
 * of the connect as MQTT 3.1 then found the semaphore posted before its own CONNACK came, and
 * failed with -1 instead of the broker's code. So each post is stamped, and a waiting thread
 * discards a post older than its own latest connect: no answer to what it sent since can be older.
 * Stamps live in a small table indexed by the semaphore's address; two semaphores sharing an entry
 * only keep the newer stamp, which makes a post look newer, never older (a stale post is then
 * taken as the library itself would take it). */

#if MOVRA_TIER_SEMAPHORE
enum { STAMP_SLOTS = 1024 };
static atomic_ullong post_clock;
static atomic_ullong post_stamp[STAMP_SLOTS];
static TRANSPORT_TLS unsigned long long
    tl_connect_stamp; /* post_clock at this thread's last connect */
/* This thread's waits end early once tl_abort(tl_abort_context) returns non-zero. */
enum { ABORT_SLICE_MS = 5 };
static TRANSPORT_TLS int (*tl_abort)(void*);
static TRANSPORT_TLS void* tl_abort_context;

void transport_connect_begins(void) { tl_connect_stamp = atomic_fetch_add(&post_clock, 1) + 1; }

int __real_Thread_post_sem(sem_t* sem);

static atomic_ullong* stamp_of(const sem_t* sem) {
    uintptr_t key = (uintptr_t)sem;
    return &post_stamp[(key >> 4) % STAMP_SLOTS];
}

int __wrap_Thread_post_sem(sem_t* sem) {
    unsigned long long now = atomic_fetch_add(&post_clock, 1) + 1;
    atomic_ullong* stamp = stamp_of(sem);
    unsigned long long old = atomic_load(stamp);
    while (old < now && !atomic_compare_exchange_weak(stamp, &old, now)) {
    }
    return __real_Thread_post_sem(sem);
}

int __wrap_Thread_wait_sem(sem_t* sem, int timeout) {
    /* Same results as the library's: 0 when posted; -1 without waiting for timeouts under 20 ms;
     * EAGAIN when the time ran out. It waited (timeout / 10 - 1) steps of 10 ms. */
    long long steps = (1000LL * timeout) / 10000;
    if (steps <= 1) return -1;
    /* A wait that follows a thread start on this thread is the library's wait for that thread:
     * MQTTClient_disconnect1 starts the connection-lost callback on a thread of its own and waits
     * for its post on a semaphore that lives in the waiting frame and is destroyed once the wait
     * returns. Ended early, the callback's thread would post to freed memory: a stop moves the
     * end condition of a subscribe under way, its SUBACK wait fails, and the library disconnects
     * on the subscribing thread, end condition still set. So that wait runs the library's course. */
    int (*abort_when)(void*) = transport_take_thread_start() ? NULL : tl_abort;
    /* The value first, then the stamp: a post counted in the value was stamped before it. */
    int value = 0;
    if (tl_connect_stamp && sem_getvalue(sem, &value) == 0 && value > 0 &&
        atomic_load(stamp_of(sem)) < tl_connect_stamp && sem_trywait(sem) == 0)
        atomic_fetch_add(&transport_n_stale_posts, 1);
    transport_kick();
    struct timespec until = transport_deadline_after((steps - 1) * 10);
    for (;;) {
        /* With an end condition, in slices of ABORT_SLICE_MS that ask it in between. */
        struct timespec slice = until;
        if (abort_when) {
            struct timespec soon = transport_deadline_after(ABORT_SLICE_MS);
            if (soon.tv_sec < until.tv_sec ||
                (soon.tv_sec == until.tv_sec && soon.tv_nsec < until.tv_nsec))
                slice = soon;
        }
        if (sem_clockwait(sem, CLOCK_MONOTONIC, &slice) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != ETIMEDOUT) return 0;
        if (abort_when && abort_when(tl_abort_context)) {
            atomic_fetch_add(&transport_n_aborted_waits, 1);
            return EAGAIN;
        }
        if (slice.tv_sec == until.tv_sec && slice.tv_nsec == until.tv_nsec) return EAGAIN;
    }
}

void movra_transport_wait_abort(int (*stop)(void*), void* context) {
    tl_abort = stop;
    tl_abort_context = context;
    (void)transport_take_thread_start(); /* a start before the condition was set is no wait's */
}

#else
void transport_connect_begins(void) {}
/* Without the semaphore wraps the library's own waits run their course: nothing to end early. */
void movra_transport_wait_abort(int (*stop)(void*), void* context) {
    (void)stop;
    (void)context;
}
#endif /* MOVRA_TIER_SEMAPHORE */
