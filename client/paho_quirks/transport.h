/* Transport layer beneath Paho MQTT C's synchronous client, and the inbound guard's place.
 *
 * The client links Paho's static archive (libpaho-mqtt3cs.a) through one relocatable object made at
 * build time: `ld -r --whole-archive libpaho-mqtt3cs.a transport*.o --wrap=...` (client/paho_quirks/
 * CMakeLists.txt; cmake/Dependencies.cmake lists the calls and checks with nm that the archive
 * makes each of them from the member that needs it). Inside that object, and only there, the
 * library's calls below go to this layer; the rest of the program calls the C library as usual.
 * Nothing of Paho is changed or copied: its API, result codes and threads stay what they are.
 *
 * The calls come in tiers, each on where the archive has its calls and its version is one the
 * layer was read against (cmake/Dependencies.cmake prints them: "movra transport layer: ..."):
 * socket (connect, poll, recv, writev, close, SSL_set_fd; transport_socket.c, transport_read.c,
 * transport_write.c; 1.3.11 to 1.3.16), scheduling (MQTTTime_sleep, pthread_create,
 * Socket_getReadySocket; transport_schedule.c; 1.3.11 to 1.3.16), handover (the library's lock
 * functions; transport_handover.c; to 1.3.15) and semaphore (Thread_wait_sem, Thread_post_sem,
 * where the archive still has them; transport_semaphore.c). transport_wake.c holds the wake-ups
 * they share.
 *
 * What each interposed call does (transport_socket.c: a socket's connect, close and TLS hand-over;
 * transport_read.c, transport_write.c: its reads and writes; transport_schedule.c and
 * transport_semaphore.c: waits; transport_handover.c: the message handover; inbound_guard.h: the
 * guard's rules):
 * - every connection has an inbound guard: each byte the broker sends is checked before the
 *   library's read returns it (recv on TCP, SSL_read on TLS), each byte the client sends is shown to
 *   it before it is written (writev, SSL_write). A violation ends the stream for the library: its
 *   read finds the end of the connection, as if the broker had closed it, so it reports the
 *   connection lost (and the client's reconnection follows); one line "[SDK] Connection closed: the
 *   broker broke the MQTT protocol (<violation>)" goes to standard error.
 * - connect: a TCP socket that has no slot here (descriptor 4096 or above) or no guard (no memory)
 *   is refused (EMFILE, ENOMEM), so that no connection goes unguarded. Sets TCP_NODELAY on the
 *   library's TCP sockets, starts a read buffer for the socket,
 *   remembers a connect still in progress and wakes the receive thread so that it looks at the new
 *   socket now.
 * - writev: on plain TCP sockets a QoS 0 PUBLISH goes out with Nagle's algorithm (a stream of them
 *   fills segments instead of costing one each), every other packet with TCP_NODELAY (a QoS 1
 *   publish after a QoS 0 one no longer waits for the broker's delayed ACK); TLS sockets keep
 *   TCP_NODELAY, as OpenSSL writes their records. A packet written while its thread says more
 *   follow (movra_transport_more) goes with MSG_MORE, so that a run of them leaves in full
 *   segments.
 * - poll: adds an eventfd to the receive thread's waiting poll, so that a connect or a caller that
 *   waits for the receive thread ends the wait at once; asks for writability of sockets whose TCP
 *   connect is in progress (their completion ends the wait); reports a socket readable while its
 *   read buffer holds data, without a system call.
 * - recv: serves the library's small reads (one byte of header, the length, the rest) from a
 *   per-socket buffer filled by one large read.
 * - SSL_set_fd: the socket becomes a TLS socket, which OpenSSL reads itself (libssl is outside the
 *   wrapped object): its buffer is dropped for good, and a buffer that held bytes refuses the
 *   handshake. TCP_NODELAY and the wake-ups stay.
 * - SSL_read, SSL_write: the guard's view of a TLS session's decrypted stream.
 * - close: drops the socket's buffer and guard (a later socket with the same number starts empty).
 * - Thread_wait_sem: the caller waits for the receive thread (CONNECT, CONNACK, SUBACK, ...):
 *   wakes that thread, then blocks on the semaphore instead of polling it every 10 ms; a post older
 *   than the waiting thread's latest connect is discarded first (see transport_semaphore.c). Under
 *   movra_transport_wait_abort the wait also ends, as timed out, once its condition holds, except
 *   a wait for a thread the library has just started from this one (its connection-lost
 *   callback's), which always runs the library's course.
 * - Thread_post_sem: stamps the post, then posts as the library does.
 * - MQTTTime_sleep: the receive thread's idle pause ends when a caller wakes it; a caller's pause
 *   (waiting for that thread to start, to stop, or for in-flight messages) kicks the receive
 *   thread and ends as soon as the thread has started, handled a socket or ended.
 * - pthread_create (made by the library's thread start only): marks the threads the library starts,
 *   so that only its receive thread counts as one (MQTTClient_yield runs the receive pass on a
 *   caller's thread too).
 * - Socket_getReadySocket: reports the receive thread's first pass and every socket it handles to
 *   waiting callers.
 * - Thread_lock_mutex, Thread_unlock_mutex (Paho_thread_* from 1.3.13): count the library locks
 *   each thread holds; a guarded caller takes the library's client lock only while the receive
 *   thread is not between that lock and a message callback, either way (see transport_handover.c).
 *
 * Threading: every entry point may be called from any thread. A socket's buffer has its own mutex;
 * the wake-up state is atomics plus one mutex and condition variable. Nothing here calls user code.
 */
#ifndef MOVRA_PAHO_TRANSPORT_H
#define MOVRA_PAHO_TRANSPORT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Counters since the process started, for tests and diagnostics. */
struct movra_transport_counters {
    unsigned long long nodelay_sockets; /* TCP sockets given TCP_NODELAY */
    unsigned long long tls_sockets;     /* of those, sockets handed to OpenSSL */
    unsigned long long socket_reads;    /* recv system calls made for the library */
    unsigned long long buffered_reads;  /* library reads served from a buffer */
    unsigned long long wakeups;         /* receive-thread waits ended by a wake-up */
    unsigned long long stale_posts;     /* semaphore posts discarded as older than the connect */
    unsigned long long aborted_waits;   /* waits ended by movra_transport_wait_abort's condition */
    unsigned long long handover_waits;  /* guarded client locks given back: a callback's gap */
};

void movra_transport_counters_get(struct movra_transport_counters* out);

/* On the receive thread, inside the message callback: the callback holds its message from
 * movra_transport_hold until movra_transport_release, and may block meanwhile (guarded callers are
 * not held up by it). Whoever frees that message or its client waits for the callback to leave
 * first (ArrivalGate, CallbackRegistry; see handover.h). */
void movra_transport_hold(void);
void movra_transport_release(void);

/* Until the next call (NULL ends it), this thread's waits for the receive thread (a SUBACK, an
 * UNSUBACK) also end, as if timed out, once stop(context) returns non-zero; it is asked every few
 * milliseconds, from this thread. The library does not end such a wait when the connection drops
 * (it waits out its command timeout); the owner's loss callback makes the condition true. */
void movra_transport_wait_abort(int (*stop)(void* context), void* context);

/* Until the next call, this thread's packets on plain TCP sockets are followed at once by more
 * (non-zero) or not (0): a packet that more follow is written with MSG_MORE and its bytes may wait
 * in the kernel until a write without it (from any thread) or movra_transport_flush. */
void movra_transport_more(int more);
/* Sends at once what this thread's last write held back, if anything. */
void movra_transport_flush(void);

/* Between guard_begin and guard_end (nested, per thread), this thread takes the library's client
 * lock only while no receive thread is in the gap around a message callback. Used around every
 * library connect, disconnect and destruction, which may free queued messages or the client. */
void movra_transport_guard_begin(void);
void movra_transport_guard_end(void);

#ifdef __cplusplus
}
#endif

#endif
