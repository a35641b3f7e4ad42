/* The wire limit of the benchmark: MQTT 3.1.1 spoken directly over a TCP socket, with no client
 * library, to show what the broker and the loopback allow on this machine.
 *
 *   wire_client MODE tcp://HOST:PORT [key=value ...]
 *
 * Modes (one JSON object on standard output):
 *   pipelined  qos=1|2 count= size=    publishes `count` messages of `size` bytes, keeping up to
 *              window= batch= topic=   `window` unacknowledged (QoS 2: until PUBCOMP); new PUBLISH
 *                                      packets wait until `batch` slots are free (default a quarter
 *                                      of the window), then go out with the PUBRELs due in one
 *                                      system call; timed until the last acknowledgement
 *   connects   seconds=                TCP connect, CONNECT, CONNACK, DISCONNECT, close; repeated
 *
 * Every packet the broker sends is checked before it is used: its type and flags must be one this
 * conversation expects, its length exactly that packet's, its packet identifier one that is
 * waiting for that acknowledgement. Anything else, a closed connection or 10 s of silence ends the
 * program with a message on standard error and exit code 2.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "bench_native.h"

enum { CONNACK = 2, PUBACK = 4, PUBREC = 5, PUBCOMP = 7 };

#define IO_TIMEOUT_S 10
#define KEEP_ALIVE_S 60
#define MAX_IDS 65535 /* packet identifiers 1..65535 */
#define MAX_SIZE (1 << 20)

/* Per packet identifier: free, waiting for PUBACK (QoS 1) or PUBREC (QoS 2), or for PUBCOMP. */
enum { ID_FREE = 0, ID_SENT, ID_RELEASED };

struct conn {
    int fd;
    unsigned char in[4096]; /* bytes received and not yet parsed */
    size_t have;
    long reads, writes; /* system calls */
};

static void die(const char* what) {
    fprintf(stderr, "wire_client: %s\n", what);
    exit(2);
}

static void dieErrno(const char* what) {
    fprintf(stderr, "wire_client: %s: %s\n", what, strerror(errno));
    exit(2);
}

/* A whole-number option within [low, high]; anything else is refused. */
static long optionLong(int argc, char** argv, const char* key, long fallback, long low, long high) {
    const char* v = option(argc, argv, key, NULL);
    if (v == NULL) return fallback;
    char* end = NULL;
    errno = 0;
    long n = strtol(v, &end, 10);
    if (errno != 0 || end == v || *end != '\0' || n < low || n > high) {
        fprintf(stderr, "wire_client: %s=%s is not a number from %ld to %ld\n", key, v, low, high);
        exit(2);
    }
    return n;
}

static double optionDouble(int argc, char** argv, const char* key, double fallback) {
    const char* v = option(argc, argv, key, NULL);
    if (v == NULL) return fallback;
    char* end = NULL;
    double x = strtod(v, &end);
    if (end == v || *end != '\0' || !(x > 0)) die("seconds= must be a positive number");
    return x;
}

/* ---- the socket ---- */

static struct addrinfo* resolve(const char* uri) {
    static char host[256];
    const char* address = strstr(uri, "://");
    if (address == NULL || strncmp(uri, "tcp://", 6) != 0)
        die("the broker must be tcp://HOST:PORT");
    address += 3;
    const char* colon = strrchr(address, ':');
    if (colon == NULL || colon == address || (size_t)(colon - address) >= sizeof host)
        die("the broker must be tcp://HOST:PORT");
    memcpy(host, address, (size_t)(colon - address));
    host[colon - address] = '\0';
    struct addrinfo hints = {0}, *found = NULL;
    hints.ai_socktype = SOCK_STREAM;
    int rc = getaddrinfo(host, colon + 1, &hints, &found);
    if (rc != 0) {
        fprintf(stderr, "wire_client: %s: %s\n", uri, gai_strerror(rc));
        exit(2);
    }
    return found;
}

static void openConn(struct conn* c, const struct addrinfo* to) {
    c->fd = socket(to->ai_family, to->ai_socktype | SOCK_CLOEXEC, to->ai_protocol);
    if (c->fd < 0) dieErrno("socket");
    int one = 1;
    struct timeval timeout = {IO_TIMEOUT_S, 0};
    if (setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0)
        dieErrno("setsockopt");
    if (connect(c->fd, to->ai_addr, to->ai_addrlen) != 0) dieErrno("connect");
    c->have = 0;
}

static void writeAll(struct conn* c, const unsigned char* data, size_t len) {
    while (len > 0) {
        ssize_t n = send(c->fd, data, len, MSG_NOSIGNAL);
        ++c->writes;
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) dieErrno("send");
        data += n;
        len -= (size_t)n;
    }
}

/* Reads what the broker has sent (at least one byte) behind the bytes not yet parsed. */
static void readMore(struct conn* c) {
    if (c->have == sizeof c->in) die("the broker sent more than this client can hold");
    /* The broker writes each acknowledgement as it makes it, with Nagle's algorithm on, so the
     * later ones wait for the TCP ACK of the first; while this side holds new packets back for a
     * fuller write, its delayed ACK (up to 40 ms) would stall both. The kernel turns quick ACKs
     * off again by itself, hence once per read. */
    int one = 1;
    if (setsockopt(c->fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one) != 0)
        dieErrno("setsockopt TCP_QUICKACK");
    for (;;) {
        ssize_t n = recv(c->fd, c->in + c->have, sizeof c->in - c->have, 0);
        ++c->reads;
        if (n > 0) {
            c->have += (size_t)n;
            return;
        }
        if (n == 0) die("the broker closed the connection");
        if (errno == EAGAIN || errno == EWOULDBLOCK) die("no answer from the broker within 10 s");
        if (errno != EINTR) dieErrno("recv");
    }
}

/* ---- MQTT 3.1.1 packets ---- */

/* The remaining-length field: 1 to 4 bytes of 7 bits each, least significant first. */
static size_t putLength(unsigned char* out, size_t len) {
    size_t n = 0;
    do {
        unsigned char byte = len % 128;
        len /= 128;
        out[n++] = (unsigned char)(byte | (len > 0 ? 0x80 : 0));
    } while (len > 0);
    return n;
}

static size_t put16(unsigned char* out, unsigned value) {
    out[0] = (unsigned char)(value >> 8);
    out[1] = (unsigned char)value;
    return 2;
}

static size_t putString(unsigned char* out, const char* s, size_t len) {
    put16(out, (unsigned)len);
    memcpy(out + 2, s, len);
    return 2 + len;
}

/* CONNECT with a clean session, no will and no credentials. */
static size_t putConnect(unsigned char* out, const char* clientId) {
    static const unsigned char head[] = {0, 4, 'M', 'Q', 'T', 'T', 4, 0x02, 0, KEEP_ALIVE_S};
    size_t idLen = strlen(clientId);
    size_t n = 0;
    out[n++] = 0x10;
    n += putLength(out + n, sizeof head + 2 + idLen);
    memcpy(out + n, head, sizeof head);
    n += sizeof head;
    return n + putString(out + n, clientId, idLen);
}

static size_t putPublish(unsigned char* out, int qos, const char* topic, size_t topicLen,
                         unsigned id, const unsigned char* payload, size_t size) {
    size_t n = 0;
    out[n++] = (unsigned char)(0x30 | qos << 1);
    n += putLength(out + n, 2 + topicLen + 2 + size);
    n += putString(out + n, topic, topicLen);
    n += put16(out + n, id);
    memcpy(out + n, payload, size);
    return n + size;
}

static size_t putPubrel(unsigned char* out, unsigned id) {
    out[0] = 0x62;
    out[1] = 2;
    return 2 + put16(out + 2, id);
}

/* The next whole packet the broker sent, or 0 while more bytes are needed. Every packet this client
 * expects (CONNACK, PUBACK, PUBREC, PUBCOMP) has flags 0 and a two-byte body; anything else is
 * refused here, before a field of it is read. */
static int nextPacket(struct conn* c, size_t* at, int* type, unsigned* field) {
    size_t left = c->have - *at;
    if (left < 2) return 0;
    const unsigned char* p = c->in + *at;
    *type = p[0] >> 4;
    int known = *type == CONNACK || *type == PUBACK || *type == PUBREC || *type == PUBCOMP;
    if (!known || (p[0] & 0x0F) != 0 || p[1] != 2) {
        fprintf(stderr,
                "wire_client: unexpected packet from the broker (first bytes %02x %02x, %zu bytes "
                "held)\n",
                p[0], p[1], left);
        exit(2);
    }
    if (left < 4) return 0;
    *field = (unsigned)p[2] << 8 | p[3];
    *at += 4;
    return 1;
}

/* Keeps the bytes after `at` (the start of a packet not yet whole) at the front of the buffer. */
static void consume(struct conn* c, size_t at) {
    memmove(c->in, c->in + at, c->have - at);
    c->have -= at;
}

/* Sends CONNECT and waits for a CONNACK that accepts a new session. */
static void handshake(struct conn* c, const char* clientId) {
    unsigned char packet[300];
    if (strlen(clientId) > 200) die("id= is too long");
    writeAll(c, packet, putConnect(packet, clientId));
    size_t at = 0;
    int type = 0;
    unsigned field = 0;
    while (!nextPacket(c, &at, &type, &field)) readMore(c);
    if (type != CONNACK) die("the broker answered CONNECT with another packet than CONNACK");
    if (field != 0) {
        fprintf(stderr, "wire_client: CONNACK refused the connection (flags and code %04x)\n",
                field);
        exit(2);
    }
    consume(c, at);
    if (c->have != 0) die("the broker sent a packet before this client published anything");
}

static void sayGoodbye(struct conn* c) {
    static const unsigned char disconnect[] = {0xE0, 0};
    writeAll(c, disconnect, sizeof disconnect);
    close(c->fd);
    c->fd = -1;
}

/* ---- modes ---- */

static int runPipelined(const char* uri, int argc, char** argv) {
    int qos = (int)optionLong(argc, argv, "qos", 1, 1, 2);
    long count = optionLong(argc, argv, "count", 100000, 1, 1000000000L);
    long window = optionLong(argc, argv, "window", 100, 1, MAX_IDS);
    long batch = optionLong(argc, argv, "batch", window / 4 > 0 ? window / 4 : 1, 1, window);
    size_t size = (size_t)optionLong(argc, argv, "size", 100, 0, MAX_SIZE);
    const char* topic = option(argc, argv, "topic", "bench/wire");
    size_t topicLen = strlen(topic);
    if (topicLen == 0 || topicLen > 1024) die("topic= must hold 1 to 1024 bytes");

    size_t publishMax = 1 + 4 + 2 + topicLen + 2 + size;
    unsigned char* out = malloc((size_t)window * (publishMax + 4));
    unsigned char* payload = malloc(size + 1);
    unsigned char* ids = calloc(MAX_IDS + 1, 1);
    if (out == NULL || payload == NULL || ids == NULL) die("out of memory");
    memset(payload, 'x', size);

    struct addrinfo* to = resolve(uri);
    struct conn c = {0};
    openConn(&c, to);
    freeaddrinfo(to);
    handshake(&c, option(argc, argv, "id", "bench-wire-pub"));
    long setupWrites = c.writes, setupReads = c.reads;

    long sent = 0, done = 0, inflight = 0;
    unsigned nextId = 0;
    size_t outLen = 0; /* PUBRELs due, then the PUBLISH packets the window allows */
    double cpu = cpuSeconds();
    double start = now();
    while (done < count) {
        /* New packets go out once `batch` slots are free (or the last ones fit): fewer, fuller
         * writes, while the broker still has the rest of the window to work on. */
        long free = window - inflight, left = count - sent;
        if (free < batch && free < left) free = 0;
        for (; free > 0 && sent < count; --free, ++inflight, ++sent) {
            do nextId = nextId % MAX_IDS + 1;
            while (ids[nextId] != ID_FREE);
            ids[nextId] = ID_SENT;
            outLen += putPublish(out + outLen, qos, topic, topicLen, nextId, payload, size);
        }
        if (outLen > 0) writeAll(&c, out, outLen);
        outLen = 0;
        readMore(&c);
        size_t at = 0;
        int type = 0;
        unsigned id = 0;
        while (nextPacket(&c, &at, &type, &id)) {
            int expected = qos == 1 ? PUBACK : PUBREC;
            if (id == 0 || (type == expected && ids[id] != ID_SENT) ||
                (type == PUBCOMP && (qos != 2 || ids[id] != ID_RELEASED)) ||
                (type != expected && type != PUBCOMP)) {
                fprintf(stderr, "wire_client: packet type %d for identifier %u out of turn\n", type,
                        id);
                exit(2);
            }
            if (type == PUBREC) {
                ids[id] = ID_RELEASED;
                outLen += putPubrel(out + outLen, id);
                continue;
            }
            ids[id] = ID_FREE;
            --inflight;
            ++done;
        }
        consume(&c, at);
    }
    double elapsed = now() - start;
    cpu = cpuSeconds() - cpu;
    long writes = c.writes - setupWrites, reads = c.reads - setupReads;
    sayGoodbye(&c);
    free(out);
    free(payload);
    free(ids);
    printf(
        "{\"count\": %ld, \"window\": %ld, \"seconds\": %.6f, \"rate\": %.1f, \"mbps\": %.3f, "
        "\"cpu_us_per_msg\": %.3f, \"writes_per_msg\": %.4f, \"reads_per_msg\": %.4f}\n",
        count, window, elapsed, count / elapsed, (double)count * (double)size / elapsed / 1e6,
        cpu / (double)count * 1e6, (double)writes / (double)count, (double)reads / (double)count);
    return 0;
}

static int runConnects(const char* uri, int argc, char** argv) {
    double seconds = optionDouble(argc, argv, "seconds", 1.0);
    const char* id = option(argc, argv, "id", "bench-wire-conn");
    struct addrinfo* to = resolve(uri);
    struct conn c = {0};
    long count = 0;
    double start = now(), elapsed = 0;
    do {
        openConn(&c, to);
        handshake(&c, id);
        sayGoodbye(&c);
        ++count;
        elapsed = now() - start;
    } while (elapsed < seconds);
    freeaddrinfo(to);
    printf("{\"count\": %ld, \"seconds\": %.6f, \"rate\": %.2f}\n", count, elapsed,
           count / elapsed);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s pipelined|connects tcp://HOST:PORT [key=value ...]\n", argv[0]);
        return 2;
    }
    if (strcmp(argv[1], "pipelined") == 0) return runPipelined(argv[2], argc, argv);
    if (strcmp(argv[1], "connects") == 0) return runConnects(argv[2], argc, argv);
    fprintf(stderr, "wire_client: unknown mode %s\n", argv[1]);
    return 2;
}
