/* Transport layer beneath Paho MQTT C's synchronous client, what the library writes: writev (with
 * Nagle's algorithm per packet and MSG_MORE within a run of packets) and SSL_write, each shown to
 * the inbound guard before it leaves (see transport.h for what each interposed call does and why).
 * The __real_ names are the C library's (or OpenSSL's) functions, bound by the relocatable link
 * that applies --wrap to Paho's archive only. */
#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "transport.h"
#include "transport_socket.h"

ssize_t __real_writev(int fd, const struct iovec* iov, int count);
int __real_SSL_write(struct ssl_st* ssl, const void* buf, int num);

/* ---- runs of packets ---------------------------------------------------------------------- */

/* This thread's next writes are followed at once by more (movra_transport_more), and the socket
 * on which its last write held bytes back (-1: none; movra_transport_flush sends them). */
static _Thread_local int more_follows;
static _Thread_local int held_fd = -1;

void movra_transport_more(int more) { more_follows = more; }

void movra_transport_flush(void) {
    const int fd = held_fd;
    held_fd = -1;
    struct slot* s = transport_slot(fd);
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

ssize_t __wrap_writev(int fd, const struct iovec* iov, int count) {
    /* The library writes each packet with one writev whose first buffer starts with the packet's
     * fixed header. A QoS 0 PUBLISH is sent with Nagle's algorithm on, so that a stream of them
     * fills segments while one is unacknowledged instead of costing a segment (and a wake-up of the
     * broker) each; every other packet, which someone waits for (CONNECT, a QoS 1 or 2 PUBLISH,
     * its acknowledgements, SUBSCRIBE, PINGREQ...), with TCP_NODELAY, which also pushes out what
     * Nagle held back before it. A write that continues an interrupted one starts mid-packet and
     * counts as "someone waits". */
    struct slot* s = transport_slot(fd);
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
                transport_guard_sending(s, iov[i].iov_base, iov[i].iov_len);
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
        transport_guard_unsent(s, total - (rc > 0 ? (size_t)rc : 0));
        pthread_mutex_unlock(&s->lock);
        errno = saved;
    }
    return rc;
}

int __wrap_SSL_write(struct ssl_st* ssl, const void* buf, int num) {
    struct slot* s = transport_slot(SSL_get_fd(ssl));
    if (s && num > 0) {
        pthread_mutex_lock(&s->lock);
        transport_guard_sending(s, buf, (size_t)num);
        pthread_mutex_unlock(&s->lock);
    }
    int rc = __real_SSL_write(ssl, buf, num);
    if (s && num > 0 && rc < num) {
        int saved = errno;
        pthread_mutex_lock(&s->lock);
        transport_guard_unsent(s, (size_t)num - (rc > 0 ? (size_t)rc : 0));
        pthread_mutex_unlock(&s->lock);
        errno = saved;
    }
    return rc;
}
