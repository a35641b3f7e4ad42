/* Transport layer beneath Paho MQTT C's synchronous client, its sockets: connect, poll, recv,
 * writev, close, SSL_set_fd, SSL_read and SSL_write (see transport.h for what each interposed call
 * does and why). The __real_ names
 * are the C library's (or OpenSSL's) functions, bound by the relocatable link that applies --wrap to
 * Paho's archive only. */
#define _GNU_SOURCE
#include "transport.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "console_c.h"
#include "inbound_guard.h"
#include "transport_internal.h"

int __real_connect(int fd, const struct sockaddr* addr, socklen_t len);
int __real_poll(struct pollfd* fds, nfds_t nfds, int timeout);
ssize_t __real_recv(int fd, void* buf, size_t len, int flags);
ssize_t __real_writev(int fd, const struct iovec* iov, int count);
int __real_close(int fd);
struct ssl_st;
int __real_SSL_set_fd(struct ssl_st* ssl, int fd);
int __real_SSL_read(struct ssl_st* ssl, void* buf, int num);
int __real_SSL_write(struct ssl_st* ssl, const void* buf, int num);
int SSL_get_fd(const struct ssl_st* ssl);

enum { MAX_FDS = 4096, BUFFER_SIZE = 32 * 1024, STACK_POLLFDS = 32 };

/* ---- per-socket state ---------------------------------------------------------------------- */

struct slot {
    pthread_mutex_t lock;
    int registered;        /* a TCP socket the library connected and reads itself (not TLS) */
    atomic_int connecting; /* its TCP connect is still in progress */
    atomic_size_t held;    /* bytes buffered (end - start), read without the lock by poll */
    unsigned char* data;
    size_t start, end;
    int steered; /* TCP_NODELAY is set per packet (plain TCP; TLS sockets keep it on) */
    int nagle;   /* TCP_NODELAY is off at the moment */
    struct movra_guard* guard; /* the connection's inbound guard (TCP and TLS alike) */
    int violated;              /* the guard found a violation: every later read ends the stream */
};

static struct slot slots[MAX_FDS];
static pthread_once_t slots_once = PTHREAD_ONCE_INIT;

static void init_slots(void) {
    for (int i = 0; i < MAX_FDS; ++i) pthread_mutex_init(&slots[i].lock, NULL);
}

static struct slot* slot_of(int fd) {
    if (fd < 0 || fd >= MAX_FDS) return NULL;
    pthread_once(&slots_once, init_slots);
    return &slots[fd];
}

/* ---- runs of packets ---------------------------------------------------------------------- */

/* This thread's next writes are followed at once by more (movra_transport_more), and the socket
 * on which its last write held bytes back (-1: none; movra_transport_flush sends them). */
static _Thread_local int more_follows;
static _Thread_local int held_fd = -1;

void movra_transport_more(int more) { more_follows = more; }

void movra_transport_flush(void) {
    const int fd = held_fd;
    held_fd = -1;
    struct slot* s = slot_of(fd);
    if (!s) return;
    pthread_mutex_lock(&s->lock);
    /* Setting TCP_NODELAY sends whatever the socket holds back. A socket closed since then has no
     * longer its registration (a later library socket with its number would only get what it
     * has anyway). */
    if (s->registered && s->steered) {
        int on = 1;
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) s->nagle = 0;
    }
    pthread_mutex_unlock(&s->lock);
}

/* ---- counters ------------------------------------------------------------------------------ */

static atomic_ullong n_nodelay, n_socket_reads, n_buffered_reads, n_tls_sockets;

void movra_transport_counters_get(struct movra_transport_counters* out) {
    out->nodelay_sockets = atomic_load(&n_nodelay);
    out->tls_sockets = atomic_load(&n_tls_sockets);
    out->socket_reads = atomic_load(&n_socket_reads);
    out->buffered_reads = atomic_load(&n_buffered_reads);
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
static int guard_received(struct slot* s, int fd, const void* data, size_t len) {
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

static void guard_sending(struct slot* s, const void* data, size_t len) {
    if (s->guard) movra_guard_sending(s->guard, data, len);
}

static void guard_unsent(struct slot* s, size_t len) {
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
        if (nodelay) atomic_fetch_add(&n_nodelay, 1);
    }
    int rc = __real_connect(fd, addr, len);
    int saved = errno;
    struct slot* s = tcp ? slot_of(fd) : NULL;
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
    struct slot* s = slot_of(fd);
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

ssize_t __wrap_recv(int fd, void* buf, size_t len, int flags) {
    struct slot* s = slot_of(fd);
    if (!s || len == 0 || flags != 0) return __real_recv(fd, buf, len, flags);
    pthread_mutex_lock(&s->lock);
    ssize_t rc;
    const int registered = s->registered;
    if (!registered) {
        rc = __real_recv(fd, buf, len, flags);
    } else if (s->violated) {
        rc = 0;
    } else if (s->end > s->start) {
        size_t n = s->end - s->start < len ? s->end - s->start : len;
        memcpy(buf, s->data + s->start, n);
        s->start += n;
        atomic_store(&s->held, s->end - s->start);
        atomic_fetch_add(&n_buffered_reads, 1);
        rc = (ssize_t)n;
    } else if (len >= BUFFER_SIZE / 2 || (!s->data && !(s->data = malloc(BUFFER_SIZE)))) {
        atomic_fetch_add(&n_socket_reads, 1);
        rc = __real_recv(fd, buf, len, 0); /* large reads go straight to the caller */
    } else {
        atomic_fetch_add(&n_socket_reads, 1);
        rc = __real_recv(fd, s->data, BUFFER_SIZE, 0);
        if (rc > 0) {
            size_t n = (size_t)rc < len ? (size_t)rc : len;
            memcpy(buf, s->data, n);
            s->start = n;
            s->end = (size_t)rc;
            atomic_store(&s->held, s->end - s->start);
            rc = (ssize_t)n;
        }
    }
    /* A violation ends the stream here, as a broker that closed the connection would. */
    if (registered && rc > 0 && guard_received(s, fd, buf, (size_t)rc) != 0) rc = 0;
    int saved = errno;
    pthread_mutex_unlock(&s->lock);
    errno = saved;
    return rc;
}

static int buffered(int fd) {
    struct slot* s = slot_of(fd);
    return s && atomic_load(&s->held) > 0;
}

static int connecting(int fd) {
    struct slot* s = slot_of(fd);
    return s && atomic_load(&s->connecting);
}

int __wrap_poll(struct pollfd* fds, nfds_t nfds, int timeout) {
    /* Data already buffered: those sockets are readable now, no system call needed. */
    int ready = 0;
    for (nfds_t i = 0; i < nfds; ++i) {
        fds[i].revents = 0;
        if ((fds[i].events & POLLIN) && buffered(fds[i].fd)) {
            fds[i].revents = POLLIN;
            ++ready;
        }
    }
    if (ready) return ready;
    if (timeout == 0) return __real_poll(fds, nfds, 0);

    const int wake_fd = transport_wake_fd();
    struct pollfd local[STACK_POLLFDS + 1];
    struct pollfd* all = nfds < STACK_POLLFDS ? local : malloc((nfds + 1) * sizeof *all);
    if (!all) return __real_poll(fds, nfds, timeout);
    for (nfds_t i = 0; i < nfds; ++i) {
        all[i] = fds[i];
        if (!(all[i].events & POLLOUT) && connecting(all[i].fd)) all[i].events |= POLLOUT;
    }
    all[nfds].fd = wake_fd; /* -1 is ignored by poll */
    all[nfds].events = POLLIN;
    all[nfds].revents = 0;
    int rc = __real_poll(all, nfds + 1, timeout);
    int saved = errno;
    int woken = 0;
    if (rc > 0) {
        rc = 0;
        for (nfds_t i = 0; i < nfds; ++i) {
            short rev = all[i].revents;
            if (!(fds[i].events & POLLOUT) && (all[i].events & POLLOUT)) {
                if (rev & (POLLOUT | POLLERR | POLLHUP)) {
                    struct slot* s = slot_of(all[i].fd);
                    if (s) atomic_store(&s->connecting, 0);
                    woken = 1;
                }
                rev &= (short)~POLLOUT;
            }
            fds[i].revents = rev;
            if (rev) ++rc;
        }
        if (all[nfds].revents & POLLIN) {
            uint64_t count;
            ssize_t r = read(wake_fd, &count, sizeof count);
            (void)r;
            woken = 1;
        }
    }
    if (all != local) free(all);
    if (woken) transport_poll_woken();
    errno = saved;
    return rc;
}

int __wrap_SSL_set_fd(struct ssl_st* ssl, int fd) {
    /* From here on OpenSSL reads the socket itself, past this layer: its reads must never find
     * bytes that a buffer took before. The library reads nothing before the handshake, so the
     * buffer is empty; should it not be, the handshake is refused instead (fails closed). */
    struct slot* s = slot_of(fd);
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
        atomic_fetch_add(&n_tls_sockets, 1);
    }
    return __real_SSL_set_fd(ssl, fd);
}

ssize_t __wrap_writev(int fd, const struct iovec* iov, int count) {
    /* The library writes each packet with one writev whose first buffer starts with the packet's
     * fixed header. A QoS 0 PUBLISH is sent with Nagle's algorithm on, so that a stream of them
     * fills segments while one is unacknowledged instead of costing a segment (and a wake-up of the
     * broker) each; every other packet, which someone waits for (CONNECT, a QoS 1 or 2 PUBLISH,
     * its acknowledgements, SUBSCRIBE, PINGREQ...), with TCP_NODELAY, which also pushes out what
     * Nagle held back before it. A write that continues an interrupted one starts mid-packet and
     * counts as "someone waits". */
    struct slot* s = slot_of(fd);
    size_t total = 0;
    int guarded = 0, hold = 0;
    if (s && count > 0) {
        pthread_mutex_lock(&s->lock);
        if (iov[0].iov_len > 0) {
            const unsigned char first = *(const unsigned char*)iov[0].iov_base;
            const int qos0_publish = (first >> 4) == 3 && ((first >> 1) & 3) == 0;
            if (s->registered && s->steered && s->nagle != qos0_publish) {
                int nodelay = !qos0_publish;
                if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay) == 0)
                    s->nagle = qos0_publish;
            }
        }
        /* The guard learns what the client waits for before the broker can answer it. */
        if ((guarded = s->registered)) {
            for (int i = 0; i < count; ++i) {
                guard_sending(s, iov[i].iov_base, iov[i].iov_len);
                total += iov[i].iov_len;
            }
        }
        /* A packet that more follow at once waits for them in the kernel (MSG_MORE): the run
         * leaves in full segments, not one segment (and one wake-up of the broker) per packet.
         * Any write without it, from any thread, or movra_transport_flush sends what waits. */
        hold = more_follows && s->registered && s->steered;
        if (hold)
            held_fd = fd;
        else if (held_fd == fd)
            held_fd = -1;
        pthread_mutex_unlock(&s->lock);
    }
    ssize_t rc;
    if (hold) {
        struct msghdr message = {.msg_iov = (struct iovec*)iov, .msg_iovlen = (size_t)count};
        rc = sendmsg(fd, &message, MSG_MORE);
    } else {
        rc = __real_writev(fd, iov, count);
    }
    if (guarded && (rc < 0 || (size_t)rc < total)) {
        int saved = errno;
        pthread_mutex_lock(&s->lock);
        guard_unsent(s, total - (rc > 0 ? (size_t)rc : 0));
        pthread_mutex_unlock(&s->lock);
        errno = saved;
    }
    return rc;
}

/* TLS: the library's reads and writes of the decrypted stream, on the socket OpenSSL reads. */
int __wrap_SSL_read(struct ssl_st* ssl, void* buf, int num) {
    const int fd = SSL_get_fd(ssl);
    struct slot* s = slot_of(fd);
    if (!s) return 0; /* no guard for it: never reached, the connect was refused */
    pthread_mutex_lock(&s->lock);
    const int violated = s->violated;
    pthread_mutex_unlock(&s->lock);
    if (violated) return 0;
    int rc = __real_SSL_read(ssl, buf, num);
    if (rc > 0) {
        int saved = errno;
        pthread_mutex_lock(&s->lock);
        if (guard_received(s, fd, buf, (size_t)rc) != 0) rc = 0;
        pthread_mutex_unlock(&s->lock);
        errno = saved;
    }
    return rc;
}

int __wrap_SSL_write(struct ssl_st* ssl, const void* buf, int num) {
    struct slot* s = slot_of(SSL_get_fd(ssl));
    if (s && num > 0) {
        pthread_mutex_lock(&s->lock);
        guard_sending(s, buf, (size_t)num);
        pthread_mutex_unlock(&s->lock);
    }
    int rc = __real_SSL_write(ssl, buf, num);
    if (s && num > 0 && rc < num) {
        int saved = errno;
        pthread_mutex_lock(&s->lock);
        guard_unsent(s, (size_t)num - (rc > 0 ? (size_t)rc : 0));
        pthread_mutex_unlock(&s->lock);
        errno = saved;
    }
    return rc;
}
