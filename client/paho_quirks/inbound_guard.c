/* The inbound guard (see inbound_guard.h): one byte-at-a-time parser per direction. The client's
 * stream (inbound_guard_sent.c) records what it waits for (a CONNACK, acknowledgements by packet
 * identifier, PINGRESPs); the broker's stream (inbound_guard_received.c) is checked against the
 * rules table here and that record. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "inbound_guard_internal.h"

const char* const guard_names[16] = {
    [CONNECT] = "CONNECT",         [CONNACK] = "CONNACK",       [PUBLISH] = "PUBLISH",
    [PUBACK] = "PUBACK",           [PUBREC] = "PUBREC",         [PUBREL] = "PUBREL",
    [PUBCOMP] = "PUBCOMP",         [SUBSCRIBE] = "SUBSCRIBE",   [SUBACK] = "SUBACK",
    [UNSUBSCRIBE] = "UNSUBSCRIBE", [UNSUBACK] = "UNSUBACK",     [PINGREQ] = "PINGREQ",
    [PINGRESP] = "PINGRESP",       [DISCONNECT] = "DISCONNECT",
};

const struct rule guard_rules[16] = {
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

struct movra_guard* movra_guard_new(void) { return calloc(1, sizeof(struct movra_guard)); }

void movra_guard_free(struct movra_guard* g) {
    if (!g) return;
    free(g->awaits);
    free(g);
}

void guard_fail(struct movra_guard* g, const char* format, ...) {
    if (g->failed) return;
    va_list args;
    va_start(args, format);
    vsnprintf(g->text, sizeof g->text, format, args);
    va_end(args);
    g->failed = 1;
}

struct awaited* guard_find(struct movra_guard* g, unsigned kind, unsigned id) {
    for (size_t i = 0; i < g->n_awaits; ++i)
        if (g->awaits[i].kind == kind && g->awaits[i].id == id) return &g->awaits[i];
    return NULL;
}

int guard_awaits_any(const struct movra_guard* g, unsigned kind, size_t* filters) {
    int any = 0;
    for (size_t i = 0; i < g->n_awaits; ++i) {
        if (g->awaits[i].kind != kind) continue;
        if (filters && g->awaits[i].filters > *filters) *filters = g->awaits[i].filters;
        any = 1;
    }
    return any;
}

void guard_expect(struct movra_guard* g, unsigned kind, unsigned id, size_t filters) {
    struct awaited* a = guard_find(g, kind, id);
    if (!a) {
        if (g->n_awaits == g->cap_awaits) {
            size_t cap = g->cap_awaits ? 2 * g->cap_awaits : 8;
            struct awaited* more = realloc(g->awaits, cap * sizeof *more);
            if (!more) {
                guard_fail(g, "no memory left to follow the conversation");
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

void guard_answered(struct movra_guard* g, unsigned kind, unsigned id) {
    struct awaited* a = guard_find(g, kind, id);
    if (a && --a->count == 0) *a = g->awaits[--g->n_awaits];
}

int guard_header_byte(struct stream* s, unsigned char b) {
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

void guard_body_word(struct stream* s, size_t at, unsigned* word, unsigned char b) {
    if (s->pos == at) *word = (unsigned)b << 8;
    if (s->pos == at + 1) *word |= b;
}

/* The bytes of the current PUBLISH body past its topic and packet identifier, in either direction:
 * nothing in them is checked, so a payload is stepped over whole instead of byte by byte. */
static size_t unchecked_payload(const struct stream* s) {
    if (s->stage != BODY || s->type != PUBLISH || s->pos < 2) return 0;
    if (s->pos < s->id_at + (s->qos ? 2 : 0)) return 0;
    return s->remaining - s->pos;
}

void guard_feed(struct movra_guard* g, struct stream* s, const unsigned char* data, size_t from,
                size_t len, void (*byte)(struct movra_guard* g, unsigned char b),
                void (*ends)(struct movra_guard* g)) {
    size_t i = from;
    while (i < len && !g->failed && !g->aside) {
        size_t skip = unchecked_payload(s);
        if (skip == 0) {
            byte(g, data[i++]);
            continue;
        }
        if (skip > len - i) skip = len - i;
        i += skip;
        s->pos += skip;
        if (s->pos == s->remaining) ends(g);
    }
}
