/* The inbound guard (see inbound_guard.h): one byte-at-a-time parser per direction. The client's
 * stream records what it waits for (a CONNACK, acknowledgements by packet identifier, PINGRESPs);
 * the broker's stream is checked against the rules table and that record. */
#include "inbound_guard.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

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

static const char* const names[16] = {
    [CONNECT] = "CONNECT",         [CONNACK] = "CONNACK",       [PUBLISH] = "PUBLISH",
    [PUBACK] = "PUBACK",           [PUBREC] = "PUBREC",         [PUBREL] = "PUBREL",
    [PUBCOMP] = "PUBCOMP",         [SUBSCRIBE] = "SUBSCRIBE",   [SUBACK] = "SUBACK",
    [UNSUBSCRIBE] = "UNSUBSCRIBE", [UNSUBACK] = "UNSUBACK",     [PINGREQ] = "PINGREQ",
    [PINGRESP] = "PINGRESP",       [DISCONNECT] = "DISCONNECT",
};

/* What a broker may send, by packet type (a type without a rule is never sent by a broker): the
 * flags of its fixed header (-1: PUBLISH's, checked apart), the bounds of its remaining length
 * (SUBACK's upper bound is that of the SUBSCRIBE it answers), and the client's packet it answers,
 * which must be waiting for it (0: none). */
static const struct rule {
    int sent;
    int flags;
    size_t min, max;
    int answers;
} rules[16] = {
    [CONNACK] = {1, 0, 2, 2, 0},
    [PUBLISH] = {1, -1, 3, MAX_REMAINING, 0},
    [PUBACK] = {1, 0, 2, 2, PUBLISH},
    [PUBREC] = {1, 0, 2, 2, PUBLISH},
    [PUBREL] = {1, 2, 2, 2, 0},
    [PUBCOMP] = {1, 0, 2, 2, PUBREL},
    [SUBACK] = {1, 0, 3, MAX_REMAINING, SUBSCRIBE},
    [UNSUBACK] = {1, 0, 2, 2, UNSUBSCRIBE},
    [PINGRESP] = {1, 0, 0, 0, PINGREQ},
};

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

struct movra_guard* movra_guard_new(void) { return calloc(1, sizeof(struct movra_guard)); }

void movra_guard_free(struct movra_guard* g) {
    if (!g) return;
    free(g->awaits);
    free(g);
}

static void fail(struct movra_guard* g, const char* format, ...) {
    if (g->failed) return;
    va_list args;
    va_start(args, format);
    vsnprintf(g->text, sizeof g->text, format, args);
    va_end(args);
    g->failed = 1;
}

static struct awaited* find(struct movra_guard* g, unsigned kind, unsigned id) {
    for (size_t i = 0; i < g->n_awaits; ++i)
        if (g->awaits[i].kind == kind && g->awaits[i].id == id) return &g->awaits[i];
    return NULL;
}

/* Whether an answer of this kind is awaited, and the most topic filters one of them covers. */
static int awaits_any(const struct movra_guard* g, unsigned kind, size_t* filters) {
    int any = 0;
    for (size_t i = 0; i < g->n_awaits; ++i) {
        if (g->awaits[i].kind != kind) continue;
        if (filters && g->awaits[i].filters > *filters) *filters = g->awaits[i].filters;
        any = 1;
    }
    return any;
}

static void expect(struct movra_guard* g, unsigned kind, unsigned id, size_t filters) {
    struct awaited* a = find(g, kind, id);
    if (!a) {
        if (g->n_awaits == g->cap_awaits) {
            size_t cap = g->cap_awaits ? 2 * g->cap_awaits : 8;
            struct awaited* more = realloc(g->awaits, cap * sizeof *more);
            if (!more) {
                fail(g, "no memory left to follow the conversation");
                return;
            }
            g->awaits = more;
            g->cap_awaits = cap;
        }
        a = &g->awaits[g->n_awaits++];
        *a = (struct awaited){.id = (unsigned short)id, .kind = (unsigned char)kind};
    }
    if (a->count < MAX_ANSWERS) ++a->count;
    a->filters = filters;
}

static void answered(struct movra_guard* g, unsigned kind, unsigned id) {
    struct awaited* a = find(g, kind, id);
    if (a && --a->count == 0) *a = g->awaits[--g->n_awaits];
}

/* Moves a stream past one byte of its fixed header. Returns 1 when the remaining length is
 * complete with this byte, -1 when it is longer than four bytes. */
static int header_byte(struct stream* s, unsigned char b) {
    if (s->stage == HEADER) {
        *s = (struct stream){
            .stage = LENGTH, .type = b >> 4u, .flags = b & 15u, .qos = (b >> 1u) & 3u, .next = 2};
        return 0;
    }
    s->remaining |= (size_t)(b & 127u) << (7 * s->length_bytes++);
    if (!(b & 128u)) {
        s->stage = s->remaining ? BODY : HEADER;
        return 1;
    }
    return s->length_bytes == MAX_LENGTH_BYTES ? -1 : 0;
}

/* The two bytes of the body that follow `at` are a number (a packet identifier, a length). */
static void body_word(struct stream* s, size_t at, unsigned* word, unsigned char b) {
    if (s->pos == at) *word = (unsigned)b << 8;
    if (s->pos == at + 1) *word |= b;
}

/* ---- the client's stream ------------------------------------------------------------------- */

static void sent_packet(struct movra_guard* g) {
    const struct stream* s = &g->out;
    switch (s->type) {
        case CONNECT:
            ++g->connects;
            break;
        case PUBLISH:
            if (s->qos == 1 || s->qos == 2) expect(g, s->qos == 1 ? PUBACK : PUBREC, s->id, 0);
            break;
        case PUBREL:
            expect(g, PUBCOMP, s->id, 0);
            break;
        case SUBSCRIBE:
            expect(g, SUBACK, s->id, s->filters);
            break;
        case UNSUBSCRIBE:
            expect(g, UNSUBACK, s->id, s->filters);
            break;
        case PINGREQ:
            ++g->pings;
            break;
        default:
            break;
    }
}

/* The bytes of the current PUBLISH body past its topic and packet identifier, in either direction:
 * nothing in them is checked, so a payload is stepped over whole instead of byte by byte. */
static size_t unchecked_payload(const struct stream* s) {
    if (s->stage != BODY || s->type != PUBLISH || s->pos < 2) return 0;
    if (s->pos < s->id_at + (s->qos ? 2 : 0)) return 0;
    return s->remaining - s->pos;
}

static void sent_byte(struct movra_guard* g, unsigned char b) {
    struct stream* s = &g->out;
    if (!g->started) {
        g->started = 1;
        /* Only an MQTT connection begins with a CONNECT (0x10). */
        if (b != 0x10) g->aside = 1;
    }
    if (s->stage != BODY) {
        if (header_byte(s, b) == 1 && s->remaining == 0) sent_packet(g);
        return;
    }
    body_word(s, 0, &s->word, b);
    if (s->type == CONNECT) {
        /* The protocol level follows the protocol name: 3 (MQIsdp) or 4 (MQTT). */
        if (s->pos >= 2 && s->pos == 2 + s->word && b != 3 && b != 4) g->aside = 1;
    } else if (s->type == PUBLISH) {
        if (s->pos == 1) s->id_at = 2 + s->word;
        body_word(s, s->id_at, &s->id, b);
    } else {
        body_word(s, 0, &s->id, b);
        if ((s->type == SUBSCRIBE || s->type == UNSUBSCRIBE) && s->pos >= s->next) {
            if (s->pos == s->next) s->high = b;
            if (s->pos == s->next + 1) {
                ++s->filters;
                s->next += 2 + ((s->high << 8) | b) + (s->type == SUBSCRIBE);
            }
        }
    }
    if (++s->pos == s->remaining) {
        s->stage = HEADER;
        sent_packet(g);
    }
}

void movra_guard_sending(struct movra_guard* g, const unsigned char* data, size_t len) {
    size_t i = g->resent < len ? g->resent : len;
    g->resent -= i;
    while (i < len && !g->aside) {
        struct stream* s = &g->out;
        size_t skip = unchecked_payload(s);
        if (skip == 0) {
            sent_byte(g, data[i++]);
            continue;
        }
        if (skip > len - i) skip = len - i;
        i += skip;
        s->pos += skip;
        if (s->pos == s->remaining) {
            s->stage = HEADER;
            sent_packet(g);
        }
    }
}

void movra_guard_unsent(struct movra_guard* g, size_t len) { g->resent += len; }

/* ---- the broker's stream ------------------------------------------------------------------- */

/* The fixed header's first byte: the type, its flags and its place in the conversation. */
static void received_type(struct movra_guard* g, const struct stream* s) {
    const struct rule* r = &rules[s->type];
    const char* name = names[s->type];
    if (!r->sent) {
        if (name)
            fail(g, "a %s, which only clients send", name);
        else
            fail(g, "reserved packet type %u", s->type);
    } else if (r->flags >= 0 && s->flags != (unsigned)r->flags) {
        fail(g, "%s with fixed-header flags 0x%X", name, s->flags);
    } else if (s->type == PUBLISH && s->qos == 3) {
        fail(g, "PUBLISH with QoS 3");
    } else if (s->type == CONNACK) {
        if (g->connects == 0) fail(g, "CONNACK without a CONNECT");
        if (g->connacked) fail(g, "a second CONNACK on the connection");
        g->connacked = 1;
    } else if (!g->connacked) {
        fail(g, "%s before the CONNACK", name);
    } else if (s->type == PINGRESP) {
        if (g->pings == 0)
            fail(g, "PINGRESP while no PINGREQ awaits one");
        else
            --g->pings;
    } else if (r->answers && !awaits_any(g, s->type, NULL)) {
        fail(g, "%s while no %s awaits one", name, names[r->answers]);
    }
}

static void received_length(struct movra_guard* g, const struct stream* s) {
    const struct rule* r = &rules[s->type];
    size_t min = r->min + (s->type == PUBLISH && s->qos ? 2 : 0);
    size_t max = r->max;
    if (s->type == SUBACK) {
        size_t filters = 0;
        awaits_any(g, SUBACK, &filters);
        max = 2 + filters;
    }
    if (s->remaining < min || s->remaining > max)
        fail(g, "%s with remaining length %zu", names[s->type], s->remaining);
}

static void received_body(struct movra_guard* g, struct stream* s, unsigned char b) {
    const char* name = names[s->type];
    body_word(s, 0, &s->word, b);
    switch (s->type) {
        case CONNACK:
            if (s->pos == 0) {
                s->first = b;
                if (b & 0xFEu) fail(g, "CONNACK with reserved flags 0x%02X", b);
            } else if (b > 5) {
                fail(g, "CONNACK with reserved return code %u", b);
            } else if (b != 0 && (s->first & 1u)) {
                fail(g, "CONNACK that refuses with a session present");
            }
            return;
        case PUBLISH:
            if (s->pos == 1) {
                s->id_at = 2 + s->word;
                if (s->word == 0)
                    fail(g, "PUBLISH with an empty topic");
                else if (s->id_at + (s->qos ? 2 : 0) > s->remaining)
                    fail(g, "PUBLISH whose topic is longer than the packet");
            }
            body_word(s, s->id_at, &s->id, b);
            if (s->qos && s->pos == s->id_at + 1 && s->id == 0)
                fail(g, "PUBLISH of QoS %u with packet identifier 0", s->qos);
            return;
        default:
            break;
    }
    if (s->pos == 1) {
        const struct awaited* a = find(g, s->type, s->word);
        if (s->word == 0)
            fail(g, "%s with packet identifier 0", name);
        else if (rules[s->type].answers && !a)
            fail(g, "%s for packet identifier %u, which nothing awaits", name, s->word);
        else if (s->type == SUBACK && s->remaining - 2 != a->filters)
            fail(g, "SUBACK with %zu return codes for %zu topic filters", s->remaining - 2,
                 a->filters);
    } else if (s->type == SUBACK && s->pos >= 2 && b > 2 && b != 0x80) {
        fail(g, "SUBACK with return code 0x%02X", b);
    }
}

static void body_ends(struct movra_guard* g, struct stream* s) {
    s->stage = HEADER;
    if (rules[s->type].answers) answered(g, s->type, s->word);
}

static void received_byte(struct movra_guard* g, unsigned char b) {
    struct stream* s = &g->in;
    if (s->stage != BODY) {
        const int was_header = s->stage == HEADER;
        const int length = header_byte(s, b);
        if (was_header) received_type(g, s);
        if (length < 0)
            fail(g, "%s with a remaining length longer than four bytes", names[s->type]);
        if (length == 1) received_length(g, s);
        return;
    }
    received_body(g, s, b);
    if (++s->pos == s->remaining) body_ends(g, s);
}

const char* movra_guard_received(struct movra_guard* g, const unsigned char* data, size_t len) {
    size_t i = 0;
    while (i < len && !g->failed && !g->aside) {
        struct stream* s = &g->in;
        size_t skip = unchecked_payload(s);
        if (skip == 0) {
            received_byte(g, data[i++]);
            continue;
        }
        if (skip > len - i) skip = len - i;
        i += skip;
        s->pos += skip;
        if (s->pos == s->remaining) body_ends(g, s);
    }
    return g->failed ? g->text : NULL;
}
