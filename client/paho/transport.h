/* Transport layer beneath Paho MQTT C's synchronous client.
 *
 * The client links Paho's static archive (libpaho-mqtt3cs.a) through one relocatable object made at
 * build time: `ld -r --whole-archive libpaho-mqtt3cs.a transport.o --wrap=...` (client/paho/
 * CMakeLists.txt). Inside that object, and only there, the library's calls below go to the
 * functions of transport.c; the rest of the program calls the C library as usual. Nothing of
 * Paho is changed or copied: its API, result codes and threads stay what they are.
 *
 * What each interposed call does:
 * - connect: sets TCP_NODELAY on the library's TCP sockets (a QoS 1 publish after a QoS 0 one no
 *   longer waits for the broker's delayed ACK), starts a read buffer for the socket, remembers a
 *   connect still in progress and wakes the receive thread so that it looks at the new socket now.
 * - poll: adds an eventfd to the receive thread's waiting poll, so that a connect or a caller that
 *   waits for the receive thread ends the wait at once; asks for writability of sockets whose TCP
 *   connect is in progress (their completion ends the wait); reports a socket readable while its
 *   read buffer holds data, without a system call.
 * - recv: serves the library's small reads (one byte of header, the length, the rest) from a
 *   per-socket buffer filled by one large read. TLS sockets are read by OpenSSL itself, which this
 *   does not reach, so their buffer never fills.
 * - close: drops the socket's buffer (a later socket with the same number starts empty).
 * - Thread_wait_sem: the caller waits for the receive thread (CONNECT, CONNACK, SUBACK, ...):
 *   wakes that thread, then blocks on the semaphore instead of polling it every 10 ms.
 * - MQTTTime_sleep: the receive thread's idle pause ends when a caller wakes it; a caller's pause
 *   (waiting for that thread to start, to stop, or for in-flight messages) kicks the receive
 *   thread and ends as soon as the thread has started, handled a socket or ended.
 * - Socket_getReadySocket: marks the calling thread as the receive thread and reports its first
 *   pass and every socket it handles to waiting callers.
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
    unsigned long long socket_reads;    /* recv system calls made for the library */
    unsigned long long buffered_reads;  /* library reads served from a buffer */
    unsigned long long wakeups;         /* receive-thread waits ended by a wake-up */
};

void movra_transport_counters_get(struct movra_transport_counters* out);

#ifdef __cplusplus
}
#endif

#endif
