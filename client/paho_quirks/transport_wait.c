/* Transport layer beneath Paho MQTT C's synchronous client, its waits: the wake-ups (every tier),
 * MQTTTime_sleep, pthread_create and Socket_getReadySocket (scheduling tier), Thread_wait_sem and
 * Thread_post_sem (semaphore tier); see transport.h for what each interposed call does and why.
 * The __real_ names are the library's own functions (or the C library's), bound by the relocatable
 * link that applies --wrap to Paho's archive only. */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "transport.h"
#include "transport_internal.h"

atomic_ullong transport_n_wakeups, transport_n_stale_posts, transport_n_aborted_waits,
    transport_n_handover_waits;

/* ---- wake-ups -------------------------------------------------------------------------------
 * kick_gen: callers want the receive thread to look again (a connect, a wait for a packet, a
 *   caller's pause); the receive thread's idle pause waits for it, its poll sees the eventfd.
 * run_gen: the receive thread made progress (first pass, a socket handled, thread ended);
 *   callers' pauses wait for it. Two counters keep callers from waking each other in turn. */

static atomic_ullong kick_gen;
static atomic_int waiters;
static pthread_mutex_t wait_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wait_cond;
static int wake_fd = -1;
static pthread_once_t wake_once = PTHREAD_ONCE_INIT;

#if MOVRA_TIER_SCHEDULING
static atomic_ullong run_gen;
static atomic_int receivers; /* receive threads that have made their first pass and not ended */
static atomic_int starting;  /* library threads started that have not made a first pass or ended */
static pthread_key_t exit_key;
static TRANSPORT_TLS int tl_library_thread; /* started by the library's Thread_start */
static TRANSPORT_TLS int tl_starting;       /* ... and still counted in starting */
static TRANSPORT_TLS int tl_receive_thread; /* ... and runs the library's receive pass */
static TRANSPORT_TLS int tl_idle;  /* its last pass found nothing: the next pause is idle */
static TRANSPORT_TLS int tl_woken; /* its last poll was ended by a wake-up */
static TRANSPORT_TLS unsigned long long
    tl_kick_seen; /* kick_gen before the state its pause follows */
static TRANSPORT_TLS unsigned long long tl_kick_next; /* kick_gen when its last pass ended */
static TRANSPORT_TLS int tl_started;                  /* this thread started a library thread ... */
static TRANSPORT_TLS unsigned long long tl_run_seen;  /* ... when run_gen had this value */

static void on_thread_exit(void* unused) {
    (void)unused;
    transport_receive_ends();
    atomic_fetch_sub(&receivers, 1); /* before the notification: see __wrap_MQTTTime_sleep */
    transport_notify(&run_gen);
}
#endif

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
#if MOVRA_TIER_SCHEDULING
    pthread_key_create(&exit_key, on_thread_exit);
#endif
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
    transport_notify(&kick_gen);
}

void transport_poll_woken(void) {
#if MOVRA_TIER_SCHEDULING
    tl_woken = 1;
#endif
    atomic_fetch_add(&transport_n_wakeups, 1);
}

static struct timespec deadline_after(long long ms) {
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
    struct timespec until = deadline_after(ms < 0 ? 0 : ms);
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

#if MOVRA_TIER_SCHEDULING
/* ---- the receive thread's pass and pauses ---------------------------------------------------- */

int __real_Socket_getReadySocket(int more_work, int timeout, void* mutex, int* rc);
int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*fn)(void*),
                          void* parameter);

int __wrap_Socket_getReadySocket(int more_work, int timeout, void* mutex, int* rc) {
    /* MQTTClient_yield and a wait without a receive thread run the pass on a caller's thread:
     * only a thread the library started is its receive thread. */
    if (tl_library_thread && !tl_receive_thread) {
        pthread_once(&wake_once, init_wake);
        tl_receive_thread = 1;
        pthread_setspecific(exit_key, &tl_receive_thread); /* on_thread_exit tells the callers */
        atomic_fetch_add(&receivers, 1);
        if (tl_starting) {
            tl_starting = 0;
            atomic_fetch_sub(&starting, 1);
        }
        tl_kick_next = atomic_load(&kick_gen);
        transport_notify(&run_gen);
    }
    tl_woken = 0;
    /* The idle pause after this pass ends on a kick since the previous pass ended: the library
     * looked at its state (a stop asked for, a new socket) after that, and a caller that changed
     * the state since kicks after the change. Without sockets the library does not poll, so no
     * eventfd reports a kick made before this pass. */
    const unsigned long long seen = tl_kick_next;
    if (tl_receive_thread) transport_receive_waits(1);
    int sock = __real_Socket_getReadySocket(more_work, timeout, mutex, rc);
    if (tl_receive_thread) transport_receive_waits(0);
    tl_kick_seen = seen;
    tl_kick_next = atomic_load(&kick_gen);
    tl_idle = sock == 0;
    if (sock != 0) transport_notify(&run_gen);
    return sock;
}

void __wrap_MQTTTime_sleep(uint64_t ms) {
    if (tl_receive_thread && tl_idle) {
        /* The receive pass found nothing: pause until a caller wants it to look again. */
        tl_idle = 0;
        if (tl_woken) {
            tl_woken = 0;
            return;
        }
        transport_receive_waits(1);
        if (transport_wait_gen(&kick_gen, tl_kick_seen, (long long)ms))
            atomic_fetch_add(&transport_n_wakeups, 1);
        transport_receive_waits(0);
        return;
    }
    /* A caller waits for the receive thread to start, to stop or to finish in-flight flows: the
     * library re-checks its condition after the pause, so ending it early on progress is safe. */
    int started = tl_started;
    unsigned long long seen = started ? tl_run_seen : atomic_load(&run_gen);
    tl_started = 0; /* the receive thread it started may have made its first pass already */
    /* No receive thread left, and none on its way (one may have ended before this pause began):
     * nothing to wait for. A thread the library started but that has not made its first pass yet
     * is waited for, up to the library's own time: ending this pause at once would let the library
     * give up on it, and start a second receive thread while the first one still runs. */
    if (!started && atomic_load(&receivers) == 0 && atomic_load(&starting) == 0) return;
    transport_kick();
    transport_wait_gen(&run_gen, seen, (long long)ms);
}

#endif /* MOVRA_TIER_SCHEDULING */

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
    /* The value first, then the stamp: a post counted in the value was stamped before it. */
    int value = 0;
    if (tl_connect_stamp && sem_getvalue(sem, &value) == 0 && value > 0 &&
        atomic_load(stamp_of(sem)) < tl_connect_stamp && sem_trywait(sem) == 0)
        atomic_fetch_add(&transport_n_stale_posts, 1);
    transport_kick();
    struct timespec until = deadline_after((steps - 1) * 10);
    for (;;) {
        /* With an end condition, in slices of ABORT_SLICE_MS that ask it in between. */
        struct timespec slice = until;
        if (tl_abort) {
            struct timespec soon = deadline_after(ABORT_SLICE_MS);
            if (soon.tv_sec < until.tv_sec ||
                (soon.tv_sec == until.tv_sec && soon.tv_nsec < until.tv_nsec))
                slice = soon;
        }
        if (sem_clockwait(sem, CLOCK_MONOTONIC, &slice) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != ETIMEDOUT) return 0;
        if (tl_abort && tl_abort(tl_abort_context)) {
            atomic_fetch_add(&transport_n_aborted_waits, 1);
            return EAGAIN;
        }
        if (slice.tv_sec == until.tv_sec && slice.tv_nsec == until.tv_nsec) return EAGAIN;
    }
}

void movra_transport_wait_abort(int (*stop)(void*), void* context) {
    tl_abort = stop;
    tl_abort_context = context;
}

#else
void transport_connect_begins(void) {}
/* Without the semaphore wraps the library's own waits run their course: nothing to end early. */
void movra_transport_wait_abort(int (*stop)(void*), void* context) {
    (void)stop;
    (void)context;
}
#endif /* MOVRA_TIER_SEMAPHORE */

#if MOVRA_TIER_SCHEDULING
/* ---- library threads ----------------------------------------------------------------------------
 * Only the library's thread start (Thread.c, in both spellings of its name) creates threads inside
 * the archive: each one it creates is marked, so that only its receive thread counts as one. */

struct start {
    void* (*fn)(void*);
    void* parameter;
};

static void* run_library_thread(void* box) {
    struct start s = *(struct start*)box;
    free(box);
    tl_library_thread = 1;
    tl_starting = 1;
    void* result = s.fn(s.parameter);
    transport_receive_ends(); /* the library is done with this thread */
    if (tl_starting) {        /* a thread that never ran a receive pass (connectionLost_call) */
        tl_starting = 0;
        atomic_fetch_sub(&starting, 1);
        transport_notify(&run_gen);
    }
    return result;
}

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*fn)(void*),
                          void* parameter) {
    struct start* box = malloc(sizeof *box);
    /* Without the mark the thread would run unseen by the waits above: it is not started, and the
     * library's caller times out waiting for it (fails closed). */
    if (!box) return EAGAIN;
    box->fn = fn;
    box->parameter = parameter;
    const unsigned long long seen = atomic_load(&run_gen);
    atomic_fetch_add(&starting, 1);
    int rc = __real_pthread_create(thread, attr, run_library_thread, box);
    if (rc != 0) {
        free(box);
        atomic_fetch_sub(&starting, 1);
        return rc;
    }
    tl_run_seen = seen;
    tl_started = 1;
    return 0;
}
#endif /* MOVRA_TIER_SCHEDULING */
