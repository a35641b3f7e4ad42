/* Transport layer beneath Paho MQTT C's synchronous client: see transport.h for what each
 * interposed call does and why. The __real_ names are the library's own functions (or the C
 * library's), bound by the relocatable link that applies --wrap to Paho's archive only. */
#define _GNU_SOURCE
#include "transport.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

int __real_connect(int fd, const struct sockaddr* addr, socklen_t len);
int __real_poll(struct pollfd* fds, nfds_t nfds, int timeout);
ssize_t __real_recv(int fd, void* buf, size_t len, int flags);
int __real_close(int fd);
int __real_Socket_getReadySocket(int more_work, int timeout, void* mutex, int* rc);
void __real_Thread_start(void* (*fn)(void*), void* parameter);

enum { MAX_FDS = 4096, BUFFER_SIZE = 32 * 1024, STACK_POLLFDS = 32 };

/* ---- per-socket state ---------------------------------------------------------------------- */

struct slot {
    pthread_mutex_t lock;
    int registered;        /* a TCP socket the library connected */
    atomic_int connecting; /* its TCP connect is still in progress */
    atomic_size_t held;    /* bytes buffered (end - start), read without the lock by poll */
    unsigned char* data;
    size_t start, end;
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

/* ---- counters ------------------------------------------------------------------------------ */

static atomic_ullong n_nodelay, n_socket_reads, n_buffered_reads, n_wakeups;

void movra_transport_counters_get(struct movra_transport_counters* out) {
    out->nodelay_sockets = atomic_load(&n_nodelay);
    out->socket_reads = atomic_load(&n_socket_reads);
    out->buffered_reads = atomic_load(&n_buffered_reads);
    out->wakeups = atomic_load(&n_wakeups);
}

/* ---- wake-ups -------------------------------------------------------------------------------
 * kick_gen: callers want the receive thread to look again (a connect, a wait for a packet, a
 *   caller's pause); the receive thread's idle pause waits for it, its poll sees the eventfd.
 * run_gen: the receive thread made progress (first pass, a socket handled, thread ended);
 *   callers' pauses wait for it. Two counters keep callers from waking each other in turn. */

static atomic_ullong kick_gen, run_gen;
static atomic_int waiters;
static atomic_int receivers; /* receive threads that have made their first pass and not ended */
static pthread_mutex_t wait_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wait_cond;
static int wake_fd = -1;
static pthread_key_t exit_key;
static pthread_once_t wake_once = PTHREAD_ONCE_INIT;

static __thread int tl_receive_thread; /* this thread has run the library's receive pass */
static __thread int tl_idle;           /* its last pass found nothing: the next pause is idle */
static __thread int tl_woken;          /* its last poll was ended by a wake-up */
static __thread unsigned long long tl_kick_seen; /* kick_gen when its last pass began */
static __thread int tl_started;        /* this thread started a library thread ... */
static __thread unsigned long long tl_run_seen;  /* ... when run_gen had this value */

static void notify(atomic_ullong* gen) {
    atomic_fetch_add(gen, 1);
    if (atomic_load(&waiters) > 0) {
        pthread_mutex_lock(&wait_lock);
        pthread_cond_broadcast(&wait_cond);
        pthread_mutex_unlock(&wait_lock);
    }
}

static void on_thread_exit(void* unused) {
    (void)unused;
    atomic_fetch_sub(&receivers, 1); /* before the notification: see __wrap_MQTTTime_sleep */
    notify(&run_gen);
}

static void init_wake(void) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&wait_cond, &attr);
    pthread_condattr_destroy(&attr);
    /* Without an eventfd the poll is not woken early: the library's own timeouts still apply. */
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pthread_key_create(&exit_key, on_thread_exit);
}

static void kick(void) {
    pthread_once(&wake_once, init_wake);
    if (wake_fd >= 0) {
        uint64_t one = 1;
        ssize_t r = write(wake_fd, &one, sizeof one);
        (void)r; /* a full counter already wakes the poll */
    }
    notify(&kick_gen);
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

/* Waits up to ms for gen to move past seen; returns 1 when it did. */
static int wait_gen(atomic_ullong* gen, unsigned long long seen, long long ms) {
    pthread_once(&wake_once, init_wake);
    struct timespec until = deadline_after(ms);
    int moved = 0;
    pthread_mutex_lock(&wait_lock);
    atomic_fetch_add(&waiters, 1);
    for (;;) {
        if (atomic_load(gen) != seen) {
            moved = 1;
            break;
        }
        if (pthread_cond_timedwait(&wait_cond, &wait_lock, &until) == ETIMEDOUT) {
            moved = atomic_load(gen) != seen;
            break;
        }
    }
    atomic_fetch_sub(&waiters, 1);
    pthread_mutex_unlock(&wait_lock);
    return moved;
}

/* ---- interposed calls ---------------------------------------------------------------------- */

int __wrap_connect(int fd, const struct sockaddr* addr, socklen_t len) {
    int tcp = addr && (addr->sa_family == AF_INET || addr->sa_family == AF_INET6);
    if (tcp) {
        int on = 1;
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) atomic_fetch_add(&n_nodelay, 1);
    }
    int rc = __real_connect(fd, addr, len);
    int saved = errno;
    struct slot* s = tcp ? slot_of(fd) : NULL;
    if (s) {
        pthread_mutex_lock(&s->lock);
        s->registered = 1;
        s->start = s->end = 0;
        atomic_store(&s->held, 0);
        atomic_store(&s->connecting, rc != 0 && (saved == EINPROGRESS || saved == EWOULDBLOCK));
        pthread_mutex_unlock(&s->lock);
    }
    kick();
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
    if (!s->registered) {
        rc = __real_recv(fd, buf, len, flags);
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

    pthread_once(&wake_once, init_wake);
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
    if (woken) {
        tl_woken = 1;
        atomic_fetch_add(&n_wakeups, 1);
    }
    errno = saved;
    return rc;
}

int __wrap_Socket_getReadySocket(int more_work, int timeout, void* mutex, int* rc) {
    if (!tl_receive_thread) {
        pthread_once(&wake_once, init_wake);
        tl_receive_thread = 1;
        pthread_setspecific(exit_key, &tl_receive_thread); /* on_thread_exit tells the callers */
        atomic_fetch_add(&receivers, 1);
        notify(&run_gen);
    }
    tl_woken = 0;
    tl_kick_seen = atomic_load(&kick_gen);
    int sock = __real_Socket_getReadySocket(more_work, timeout, mutex, rc);
    tl_idle = sock == 0;
    if (sock != 0) notify(&run_gen);
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
        if (wait_gen(&kick_gen, tl_kick_seen, (long long)ms)) atomic_fetch_add(&n_wakeups, 1);
        return;
    }
    /* A caller waits for the receive thread to start, to stop or to finish in-flight flows: the
     * library re-checks its condition after the pause, so ending it early on progress is safe. */
    int started = tl_started;
    unsigned long long seen = started ? tl_run_seen : atomic_load(&run_gen);
    tl_started = 0; /* the receive thread it started may have made its first pass already */
    /* No receive thread left (it may have ended before this pause began): nothing to wait for. */
    if (!started && atomic_load(&receivers) == 0) return;
    kick();
    wait_gen(&run_gen, seen, (long long)ms);
}

int __wrap_Thread_wait_sem(sem_t* sem, int timeout) {
    /* Same results as the library's: 0 when posted; -1 without waiting for timeouts under 20 ms;
     * EAGAIN when the time ran out. It waited (timeout / 10 - 1) steps of 10 ms. */
    long long steps = (1000LL * timeout) / 10000;
    if (steps <= 1) return -1;
    kick();
    struct timespec until = deadline_after((steps - 1) * 10);
    for (;;) {
        if (sem_clockwait(sem, CLOCK_MONOTONIC, &until) == 0) return 0;
        if (errno == EINTR) continue;
        return errno == ETIMEDOUT ? EAGAIN : 0;
    }
}

void __wrap_Thread_start(void* (*fn)(void*), void* parameter) {
    tl_run_seen = atomic_load(&run_gen);
    tl_started = 1;
    __real_Thread_start(fn, parameter);
}
