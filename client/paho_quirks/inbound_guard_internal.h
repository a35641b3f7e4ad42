/* What the parts of the inbound guard share (inbound_guard.c: the rules, the record of awaited
 * answers and the framing of both streams; inbound_guard_sent.c: the client's stream;
 * inbound_guard_received.c: the broker's stream). Not for use outside the guard. */
#ifndef MOVRA_PAHO_INBOUND_GUARD_INTERNAL_H
#define MOVRA_PAHO_INBOUND_GUARD_INTERNAL_H

#include <stddef.h>

#include "inbound_guard.h"

enum {
    CONNECT = 1,
    CONNACK,
    PUBLISH,
    PUBACK,
    PUBREC,
    PUBREL,
    PUBCOMP,
    SUBSCRIBE,
    SUBACK,
    UNSUBSCRIBE,
    UNSUBACK,
    PINGREQ,
    PINGRESP,
    DISCONNECT
};
enum { MAX_REMAINING = 268435455, MAX_LENGTH_BYTES = 4, MAX_ANSWERS = 255 };

/* What a broker may send, by packet type (a type without a rule is never sent by a broker): the
 * flags of its fixed header (-1: PUBLISH's, checked apart), the bounds of its remaining length
 * (SUBACK's upper bound is that of the SUBSCRIBE it answers), and the client's packet it answers,
 * which must be waiting for it (0: none). */
struct rule {
    int sent;
    int flags;
    size_t min, max;
    int answers;
};
extern const struct rule guard_rules[16];
/* The packet types' names, for the violation's text. */
extern const char* const guard_names[16];

enum stage { HEADER, LENGTH, BODY };

/* One direction's place in its stream of packets. */
struct stream {
    enum stage stage;
    unsigned type, flags, qos;
    unsigned length_bytes;
    size_t remaining, pos;
    unsigned word;       /* the body's first two bytes: a packet identifier or a topic length */
    unsigned id;         /* the packet identifier (PUBLISH: after the topic) */
    size_t id_at;        /* where the packet identifier starts in the body */
    size_t next;         /* where the next topic filter starts (SUBSCRIBE, UNSUBSCRIBE) */
    unsigned high;       /* the first byte of that filter's length */
    size_t filters;      /* topic filters so far */
    unsigned char first; /* CONNACK: its flags */
};

/* An answer the client waits for: `kind` is the broker's packet type, `count` how many. */
struct awaited {
    unsigned short id;
    unsigned char kind, count;
    size_t filters; /* SUBACK: the return codes it carries */
};

struct movra_guard {
    struct stream out, in;
    int started;   /* the client has sent its first byte */
    int aside;     /* not an MQTT 3.1 / 3.1.1 connection: nothing is checked */
    int failed;    /* text holds the violation */
    size_t resent; /* bytes announced again after a write that did not take them */
    unsigned connects, pings;
    int connacked;
    struct awaited* awaits;
    size_t n_awaits, cap_awaits;
    char text[160];
};

/* Records the violation (the first one only) as the guard's text. */
void guard_fail(struct movra_guard* g, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/* The record of answers the client waits for. guard_find: the one of this kind and identifier, or
 * NULL; guard_awaits_any: whether one of this kind is awaited, and the most topic filters one of
 * them covers; guard_expect: one more awaited; guard_answered: one fewer. */
struct awaited* guard_find(struct movra_guard* g, unsigned kind, unsigned id);
int guard_awaits_any(const struct movra_guard* g, unsigned kind, size_t* filters);
void guard_expect(struct movra_guard* g, unsigned kind, unsigned id, size_t filters);
void guard_answered(struct movra_guard* g, unsigned kind, unsigned id);

/* Moves a stream past one byte of its fixed header. Returns 1 when the remaining length is
 * complete with this byte, -1 when it is longer than four bytes. */
int guard_header_byte(struct stream* s, unsigned char b);
/* The two bytes of the body that follow `at` are a number (a packet identifier, a length). */
void guard_body_word(struct stream* s, size_t at, unsigned* word, unsigned char b);

/* Feeds data[from..len) of one direction to its stream s, until the bytes are used up or the
 * guard has failed or stands aside. A PUBLISH payload, in which nothing is checked, is stepped over
 * whole: its bytes move s past them, and `ends` is called when the packet ends with them. Every
 * other byte goes to `byte`, which calls `ends` itself at the end of its packet. */
void guard_feed(struct movra_guard* g, struct stream* s, const unsigned char* data, size_t from,
                size_t len, void (*byte)(struct movra_guard* g, unsigned char b),
                void (*ends)(struct movra_guard* g));

#endif
