/* Transport layer beneath Paho MQTT C's synchronous client, its sockets' lifetime: connect, close
 * and SSL_set_fd, the per-socket slots and the inbound guard's hooks, and the layer's counters (see
 * transport.h for what each interposed call does and why). The __real_ names are the C library's
 * (or OpenSSL's) functions, bound by the relocatable link that applies --wrap to Paho's archive
 * only. */
#define _GNU_SOURCE
#include "transport_socket.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "console_c.h"
#include "inbound_guard.h"
#include "transport.h"
#include "transport_internal.h"

int __real_connect(int fd, const struct sockaddr* addr, socklen_t len);
int __real_close(int fd);
int __real_SSL_set_fd(struct ssl_st* ssl, int fd);

/* ---- per-socket state ---------------------------------------------------------------------- */

static struct slot slots[MAX_FDS];
static pthread_once_t slots_once = PTHREAD_ONCE_INIT;

static void init_slots(void) {
    for (int i = 0; i < MAX_FDS; ++i) pthread_mutex_init(&slots[i].lock, NULL);
}

struct slot* transport_slot(int fd) {
    if (fd < 0 || fd >= MAX_FDS) return NULL;
    pthread_once(&slots_once, init_slots);
    return &slots[fd];
}

/* ---- counters ------------------------------------------------------------------------------ */

atomic_ullong transport_n_nodelay, transport_n_socket_reads, transport_n_buffered_reads,
    transport_n_tls_sockets, transport_n_wakeups, transport_n_stale_posts,
    transport_n_aborted_waits, transport_n_handover_waits;

void movra_transport_counters_get(struct movra_transport_counters* out) {
    out->nodelay_sockets = atomic_load(&transport_n_nodelay);
    out->tls_sockets = atomic_load(&transport_n_tls_sockets);
    out->socket_reads = atomic_load(&transport_n_socket_reads);
    out->buffered_reads = atomic_load(&transport_n_buffered_reads);
    out->wakeups = atomic_load(&transport_n_wakeups);
    out->stale_posts = atomic_load(&transport_n_stale_posts);
    out->aborted_waits = atomic_load(&transport_n_aborted_waits);
    out->handover_waits = atomic_load(&transport_n_handover_waits);
}

/* ---- the inbound guard ---------------------------------------------------------------------- */

/* The broker's bytes that a read of the library returns, under the slot's lock. Returns 0 when
 * they may reach the library. On the first violation the console line names it and the socket is
 * shut down: the library's next read or write on it fails at once, also while its connect is still
 * completing (when it would not yet notice the end of a read). */
int transport_guard_received(struct slot* s, int fd, const void* data, size_t len) {
    if (s->violated) return -1;
    const char* violation = s->guard ? movra_guard_received(s->guard, data, len) : "no guard";
    if (!violation) return 0;
    s->violated = 1;
    shutdown(fd, SHUT_RDWR);
    s->start = s->end = 0;
    atomic_store(&s->held, 0);
    char line[256];
    snprintf(line, sizeof line, "Connection closed: the broker broke the MQTT protocol (%s)",
             violation);
    movra_console_err(line);
    return -1;
}

void transport_guard_sending(struct slot* s, const void* data, size_t len) {
    if (s->guard) movra_guard_sending(s->guard, data, len);
}

void transport_guard_unsent(struct slot* s, size_t len) {
    if (s->guard && len) movra_guard_unsent(s->guard, len);
}

int __wrap_connect(int fd, const struct sockaddr* addr, socklen_t len) {
    transport_connect_begins();
    int tcp = addr && (addr->sa_family == AF_INET || addr->sa_family == AF_INET6);
    struct movra_guard* guard = NULL;
    if (tcp) {
        /* No connection without its guard: a socket beyond the slots, or no memory for the
         * guard, fails the connect. */
        if (fd < 0 || fd >= MAX_FDS) {
            errno = EMFILE;
            return -1;
        }
        if (!(guard = movra_guard_new())) {
            errno = ENOMEM;
            return -1;
        }
    }
    int nodelay = 0;
    if (tcp) {
        int on = 1;
        nodelay = setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
        if (nodelay) atomic_fetch_add(&transport_n_nodelay, 1);
    }
    int rc = __real_connect(fd, addr, len);
    int saved = errno;
    struct slot* s = tcp ? transport_slot(fd) : NULL;
    if (s) {
        pthread_mutex_lock(&s->lock);
        s->registered = 1;
        movra_guard_free(s->guard);
        s->guard = guard;
        s->violated = 0;
        s->steered = nodelay;
        s->nagle = 0;
        s->start = s->end = 0;
        atomic_store(&s->held, 0);
        atomic_store(&s->connecting, rc != 0 && (saved == EINPROGRESS || saved == EWOULDBLOCK));
        pthread_mutex_unlock(&s->lock);
    }
    transport_kick();
    errno = saved;
    return rc;
}

int __wrap_close(int fd) {
    struct slot* s = transport_slot(fd);
    if (s) {
        pthread_mutex_lock(&s->lock);
        free(s->data);
        s->data = NULL;
        s->registered = 0;
        movra_guard_free(s->guard);
        s->guard = NULL;
        s->violated = 0;
        s->steered = 0;
        s->start = s->end = 0;
        atomic_store(&s->held, 0);
        atomic_store(&s->connecting, 0);
        pthread_mutex_unlock(&s->lock);
    }
    return __real_close(fd);
}

int __wrap_SSL_set_fd(struct ssl_st* ssl, int fd) {
    /* From here on OpenSSL reads the socket itself, past this layer: its reads must never find
     * bytes that a buffer took before. The library reads nothing before the handshake, so the
     * buffer is empty; should it not be, the handshake is refused instead (fails closed). */
    struct slot* s = transport_slot(fd);
    if (s) {
        pthread_mutex_lock(&s->lock);
        int clean = s->end == s->start;
        s->registered = 0;
        s->steered = 0; /* OpenSSL writes the records itself: TCP_NODELAY stays on */
        free(s->data);
        s->data = NULL;
        s->start = s->end = 0;
        atomic_store(&s->held, 0);
        pthread_mutex_unlock(&s->lock);
        if (!clean) return 0;
        atomic_fetch_add(&transport_n_tls_sockets, 1);
    }
    return __real_SSL_set_fd(ssl, fd);
}
