/* What the parts of the transport layer share (transport_socket.c, transport_read.c,
 * transport_write.c: sockets; transport_wake.c: wake-ups; transport_schedule.c: the receive
 * thread's pass and pauses; transport_semaphore.c: the callers' waits; transport_handover.c: the
 * message handover). Not for use outside the layer. */
#ifndef MOVRA_PAHO_TRANSPORT_INTERNAL_H
#define MOVRA_PAHO_TRANSPORT_INTERNAL_H

#include <stdatomic.h>
#include <time.h>

/* Thread-local state of the layer: the static TLS model, a plain %fs-relative access. The general
 * model of a shared object (the Python module) costs a call per access, on every library lock. */
#define TRANSPORT_TLS __thread __attribute__((tls_model("initial-exec")))

/* The eventfd that ends the receive thread's poll (-1 when none could be made: the library's own
 * timeouts then still apply). */
int transport_wake_fd(void);
/* A caller wants the receive thread to look at its sockets again now. */
void transport_kick(void);
/* The receive thread's poll was ended by a wake-up (its next idle pause is skipped). */
void transport_poll_woken(void);

/* Moves on when a caller wants the receive thread to look at its sockets again. */
extern atomic_ullong transport_kick_gen;
/* CLOCK_MONOTONIC's time ms from now. */
struct timespec transport_deadline_after(long long ms);
/* Waits up to ms for *gen to move past seen; returns 1 when it did. ms < 0: no time limit. */
int transport_wait_gen(atomic_ullong* gen, unsigned long long seen, long long ms);
/* Moves *gen on and wakes transport_wait_gen's waiters. */
void transport_notify(atomic_ullong* gen);

/* This thread's connect begins: semaphore posts older than this are no answer to it. */
void transport_connect_begins(void);
/* Whether this thread has started a library thread since it last asked; the mark is cleared.
 * Always 0 without the scheduling tier, which wraps the thread starts. */
int transport_take_thread_start(void);

/* The receive thread enters (1) or leaves (0) a wait for its sockets (a poll or an idle pause). */
void transport_receive_waits(int waiting);
/* The receive thread ends. */
void transport_receive_ends(void);

/* The counters of movra_transport_counters_get (defined in transport_socket.c). */
extern atomic_ullong transport_n_nodelay, transport_n_socket_reads, transport_n_buffered_reads,
    transport_n_tls_sockets, transport_n_wakeups, transport_n_stale_posts,
    transport_n_aborted_waits, transport_n_handover_waits;

#endif
