/* The transport layer's per-socket state, shared by its socket calls (transport_socket.c: connect,
 * close, SSL_set_fd and the inbound guard's hooks; transport_read.c: recv, poll, SSL_read;
 * transport_write.c: writev, SSL_write). Not for use outside the layer. */
#ifndef MOVRA_PAHO_TRANSPORT_SOCKET_H
#define MOVRA_PAHO_TRANSPORT_SOCKET_H

#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>

enum { MAX_FDS = 4096 };

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

/* The slot of a socket; NULL for a descriptor without one (negative, or MAX_FDS and above). */
struct slot* transport_slot(int fd);

/* The inbound guard's view of a connection, under the slot's lock. transport_guard_received
 * returns 0 when the broker's bytes may reach the library, -1 when they (or earlier ones) broke a
 * rule: the socket is then shut down and the console line written. */
int transport_guard_received(struct slot* s, int fd, const void* data, size_t len);
void transport_guard_sending(struct slot* s, const void* data, size_t len);
void transport_guard_unsent(struct slot* s, size_t len);

struct ssl_st;
int SSL_get_fd(const struct ssl_st* ssl);

#endif
