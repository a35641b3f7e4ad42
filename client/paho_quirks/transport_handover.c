/* Transport layer beneath Paho MQTT C's synchronous client, the message handover (handover
 * tier): the library's lock and unlock functions, Thread_lock_mutex and Thread_unlock_mutex up to
 * 1.3.12, Paho_thread_lock_mutex and Paho_thread_unlock_mutex from 1.3.13 (same signature and
 * meaning; see transport.h). The receive thread hands a message
 * to the callback after it released the library's client lock, and after the callback returns it
 * takes the lock back before it unlinks the message from the client's queue; a disconnect or
 * destruction that takes the lock in either gap frees the message (or the client) under it. This
 * part knows when the receive thread is in such a gap, and keeps a guarded caller from holding a
 * library lock meanwhile. The __real_ names are the library's own functions, bound by the
 * relocatable link that applies --wrap to Paho's archive only. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdatomic.h>

#include "transport.h"
#include "transport_internal.h"

#if MOVRA_TIER_HANDOVER
#if MOVRA_PAHO_THREAD_NAMES
#define REAL_LOCK __real_Paho_thread_lock_mutex
#define REAL_UNLOCK __real_Paho_thread_unlock_mutex
#define WRAP_LOCK __wrap_Paho_thread_lock_mutex
#define WRAP_UNLOCK __wrap_Paho_thread_unlock_mutex
#else
#define REAL_LOCK __real_Thread_lock_mutex
#define REAL_UNLOCK __real_Thread_unlock_mutex
#define WRAP_LOCK __wrap_Thread_lock_mutex
#define WRAP_UNLOCK __wrap_Thread_unlock_mutex
#endif

int REAL_LOCK(pthread_mutex_t* mutex);
int REAL_UNLOCK(pthread_mutex_t* mutex);
int WRAP_LOCK(pthread_mutex_t* mutex);
int WRAP_UNLOCK(pthread_mutex_t* mutex);

/* The receive thread is "in a gap" while it holds none of the library's locks and is neither
 * waiting for its sockets nor inside a callback that holds its message (movra_transport_hold).
 * The gaps above are of that kind; so are a few instructions between its waits and its locks,
 * which only delay a guarded caller by as long. */
static atomic_int in_gap;        /* receive threads in a gap */
static atomic_ullong gap_closed; /* moves on when in_gap falls to zero */

/* One record per thread, in one thread-local access. Only the receive thread and a guarded caller
 * are tracked: every other thread's locks go straight to the library. */
struct thread_state {
    int tracked;    /* the receive thread, or guarded (tracked is its depth + receive) */
    int receive;    /* the receive thread (from its first wait for sockets) */
    int guarded;    /* depth of movra_transport_guard_begin on this thread */
    int holds;      /* library locks it holds, counted while tracked */
    int waiting;    /* the receive thread waits for its sockets */
    int holding;    /* the receive thread is in a callback that holds its message */
    int ended;      /* the receive thread has left the library */
    int in_gap;     /* counted in in_gap */
    int after_pass; /* the receive thread's next lock is the client lock */
};
static TRANSPORT_TLS struct thread_state tl;

/* The library's client lock (mqttclient_mutex): the first lock the receive thread takes after its
 * wait for sockets (MQTTClient_cycle). A guarded caller may take other library locks first
 * (MQTTClient_destroy and the connect hold connect_mutex while they take it); the receive thread
 * needs none of those to leave a gap. Until the receive thread's first pass names it, a guarded
 * caller's outermost lock stands in for it. */
static _Atomic(pthread_mutex_t*) client_lock;

static void update(void) {
    if (!tl.receive) return;
    const int gap = tl.holds == 0 && !tl.waiting && !tl.holding && !tl.ended;
    if (gap == tl.in_gap) return;
    tl.in_gap = gap;
    if (gap)
        atomic_fetch_add(&in_gap, 1);
    else if (atomic_fetch_sub(&in_gap, 1) == 1)
        transport_notify(&gap_closed);
}

void transport_receive_waits(int waiting) {
    if (!tl.receive) { /* its first wait: it holds no library lock here */
        tl.receive = 1;
        tl.holds = 0;
        ++tl.tracked;
    }
    tl.waiting = waiting;
    if (!waiting) tl.after_pass = 1;
    update();
}

void transport_receive_ends(void) {
    tl.ended = 1;
    update();
}

void movra_transport_hold(void) {
    tl.holding = 1;
    update();
}

void movra_transport_release(void) {
    tl.holding = 0;
    update();
}

/* Called outside the library: the thread holds none of its locks. */
void movra_transport_guard_begin(void) {
    ++tl.guarded;
    ++tl.tracked;
}

void movra_transport_guard_end(void) {
    --tl.guarded;
    --tl.tracked;
}

int WRAP_LOCK(pthread_mutex_t* mutex) {
    if (!tl.tracked) return REAL_LOCK(mutex);
    int rc = REAL_LOCK(mutex);
    /* A guarded caller's client lock: given back, and taken again, until no receive thread is in
     * a gap. While it holds the lock the receive thread cannot enter the first gap (it must hold
     * the lock for that) and does not leave a held message (the caller waited for that). */
    pthread_mutex_t* known = atomic_load(&client_lock);
    const int guarded = tl.guarded > 0 && !tl.receive && (known ? mutex == known : tl.holds == 0);
    while (rc == 0 && guarded && atomic_load(&in_gap) > 0) {
        unsigned long long seen = atomic_load(&gap_closed);
        atomic_fetch_add(&transport_n_handover_waits, 1);
        REAL_UNLOCK(mutex);
        if (atomic_load(&in_gap) > 0) transport_wait_gen(&gap_closed, seen, -1);
        rc = REAL_LOCK(mutex);
    }
    if (rc == 0 && tl.after_pass && tl.receive) {
        tl.after_pass = 0;
        if (!known) atomic_store(&client_lock, mutex);
    }
    if (rc == 0) { /* the gap ends once the lock is held */
        ++tl.holds;
        update();
    }
    return rc;
}

int WRAP_UNLOCK(pthread_mutex_t* mutex) {
    if (!tl.tracked) return REAL_UNLOCK(mutex);
    /* Counted as given back before it is: the gap begins before another thread can take the lock. */
    const int counted = tl.holds > 0;
    if (counted) {
        --tl.holds;
        update();
    }
    int rc = REAL_UNLOCK(mutex);
    if (rc != 0 && counted) {
        ++tl.holds;
        update();
    }
    return rc;
}
#elif MOVRA_TIER_SCHEDULING
/* Without the lock wraps nothing waits for the receive thread's gaps. */
void transport_receive_waits(int waiting) { (void)waiting; }
void transport_receive_ends(void) {}
#endif /* MOVRA_TIER_HANDOVER */
