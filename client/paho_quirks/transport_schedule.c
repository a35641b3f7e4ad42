/* Transport layer beneath Paho MQTT C's synchronous client, its scheduling tier: the receive
 * thread's pass (Socket_getReadySocket) and pauses (MQTTTime_sleep), and the library's threads
 * (pthread_create, made where Thread.c starts one); see transport.h for what each interposed call
 * does and why. The __real_ names are the library's own functions (or the C library's), bound by
 * the relocatable link that applies --wrap to Paho's archive only. */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>

#include "transport.h"
#include "transport_internal.h"

#if MOVRA_TIER_SCHEDULING
static atomic_ullong run_gen;
static atomic_int receivers; /* receive threads that have made their first pass and not ended */
static atomic_int starting;  /* library threads started that have not made a first pass or ended */
static pthread_key_t exit_key;
static pthread_once_t exit_once = PTHREAD_ONCE_INIT;
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
static TRANSPORT_TLS int tl_started_unasked; /* ... since transport_take_thread_start last asked */

static void on_thread_exit(void* unused) {
    (void)unused;
    transport_receive_ends();
    atomic_fetch_sub(&receivers, 1); /* before the notification: see __wrap_MQTTTime_sleep */
    transport_notify(&run_gen);
}

static void init_exit(void) { pthread_key_create(&exit_key, on_thread_exit); }
#endif

int transport_take_thread_start(void) {
#if MOVRA_TIER_SCHEDULING
    const int started = tl_started_unasked;
    tl_started_unasked = 0;
    return started;
#else
    return 0;
#endif
}

void transport_poll_woken(void) {
#if MOVRA_TIER_SCHEDULING
    tl_woken = 1;
#endif
    atomic_fetch_add(&transport_n_wakeups, 1);
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
        transport_wake_fd();
        pthread_once(&exit_once, init_exit);
        tl_receive_thread = 1;
        pthread_setspecific(exit_key, &tl_receive_thread); /* on_thread_exit tells the callers */
        atomic_fetch_add(&receivers, 1);
        if (tl_starting) {
            tl_starting = 0;
            atomic_fetch_sub(&starting, 1);
        }
        tl_kick_next = atomic_load(&transport_kick_gen);
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
    tl_kick_next = atomic_load(&transport_kick_gen);
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
        if (transport_wait_gen(&transport_kick_gen, tl_kick_seen, (long long)ms))
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
    tl_started_unasked = 1;
    return 0;
}
#endif /* MOVRA_TIER_SCHEDULING */
