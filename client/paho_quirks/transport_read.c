/* Transport layer beneath Paho MQTT C's synchronous client, what the library reads: recv (through
 * a per-socket buffer), poll (with the wake-up eventfd) and SSL_read, each checked by the inbound
 * guard before the library has it (see transport.h for what each interposed call does and why).
 * The __real_ names are the C library's (or OpenSSL's) functions, bound by the relocatable link
 * that applies --wrap to Paho's archive only. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "transport.h"
#include "transport_internal.h"
#include "transport_socket.h"

int __real_poll(struct pollfd* fds, nfds_t nfds, int timeout);
ssize_t __real_recv(int fd, void* buf, size_t len, int flags);
int __real_SSL_read(struct ssl_st* ssl, void* buf, int num);

enum { BUFFER_SIZE = 32 * 1024, STACK_POLLFDS = 32 };

ssize_t __wrap_recv(int fd, void* buf, size_t len, int flags) {
    struct slot* s = transport_slot(fd);
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
        atomic_fetch_add(&transport_n_buffered_reads, 1);
        rc = (ssize_t)n;
    } else if (len >= BUFFER_SIZE / 2 || (!s->data && !(s->data = malloc(BUFFER_SIZE)))) {
        atomic_fetch_add(&transport_n_socket_reads, 1);
        rc = __real_recv(fd, buf, len, 0); /* large reads go straight to the caller */
    } else {
        atomic_fetch_add(&transport_n_socket_reads, 1);
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
    if (registered && rc > 0 && transport_guard_received(s, fd, buf, (size_t)rc) != 0) rc = 0;
    int saved = errno;
    pthread_mutex_unlock(&s->lock);
    errno = saved;
    return rc;
}

static int buffered(int fd) {
    struct slot* s = transport_slot(fd);
    return s && atomic_load(&s->held) > 0;
}

static int connecting(int fd) {
    struct slot* s = transport_slot(fd);
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
                    struct slot* s = transport_slot(all[i].fd);
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

/* TLS: the library's reads and writes of the decrypted stream, on the socket OpenSSL reads. */
int __wrap_SSL_read(struct ssl_st* ssl, void* buf, int num) {
    const int fd = SSL_get_fd(ssl);
    struct slot* s = transport_slot(fd);
    if (!s) return 0; /* no guard for it: never reached, the connect was refused */
    pthread_mutex_lock(&s->lock);
    const int violated = s->violated;
    pthread_mutex_unlock(&s->lock);
    if (violated) return 0;
    int rc = __real_SSL_read(ssl, buf, num);
    if (rc > 0) {
        int saved = errno;
        pthread_mutex_lock(&s->lock);
        if (transport_guard_received(s, fd, buf, (size_t)rc) != 0) rc = 0;
        pthread_mutex_unlock(&s->lock);
        errno = saved;
    }
    return rc;
}
