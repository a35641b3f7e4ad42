/* The inbound guard, the broker's stream: each byte is checked against the rules table and the
 * answers the client waits for (see inbound_guard.h). */
#include "inbound_guard_internal.h"

/* The fixed header's first byte: the type, its flags and its place in the conversation. */
static void received_type(struct movra_guard* g, const struct stream* s) {
    const struct rule* r = &guard_rules[s->type];
    const char* name = guard_names[s->type];
    if (!r->sent) {
        if (name)
            guard_fail(g, "a %s, which only clients send", name);
        else
            guard_fail(g, "reserved packet type %u", s->type);
    } else if (r->flags >= 0 && s->flags != (unsigned)r->flags) {
        guard_fail(g, "%s with fixed-header flags 0x%X", name, s->flags);
    } else if (s->type == PUBLISH && s->qos == 3) {
        guard_fail(g, "PUBLISH with QoS 3");
    } else if (s->type == CONNACK) {
        if (g->connects == 0) guard_fail(g, "CONNACK without a CONNECT");
        if (g->connacked) guard_fail(g, "a second CONNACK on the connection");
        g->connacked = 1;
    } else if (!g->connacked) {
        guard_fail(g, "%s before the CONNACK", name);
    } else if (s->type == PINGRESP) {
        if (g->pings == 0)
            guard_fail(g, "PINGRESP while no PINGREQ awaits one");
        else
            --g->pings;
    } else if (r->answers && !guard_awaits_any(g, s->type, NULL)) {
        guard_fail(g, "%s while no %s awaits one", name, guard_names[r->answers]);
    }
}

static void received_length(struct movra_guard* g, const struct stream* s) {
    const struct rule* r = &guard_rules[s->type];
    size_t min = r->min + (s->type == PUBLISH && s->qos ? 2 : 0);
    size_t max = r->max;
    if (s->type == SUBACK) {
        size_t filters = 0;
        guard_awaits_any(g, SUBACK, &filters);
        max = 2 + filters;
    }
    if (s->remaining < min || s->remaining > max)
        guard_fail(g, "%s with remaining length %zu", guard_names[s->type], s->remaining);
}

static void received_body(struct movra_guard* g, struct stream* s, unsigned char b) {
    const char* name = guard_names[s->type];
    guard_body_word(s, 0, &s->word, b);
    switch (s->type) {
        case CONNACK:
            if (s->pos == 0) {
                s->first = b;
                if (b & 0xFEu) guard_fail(g, "CONNACK with reserved flags 0x%02X", b);
            } else if (b > 5) {
                guard_fail(g, "CONNACK with reserved return code %u", b);
            } else if (b != 0 && (s->first & 1u)) {
                guard_fail(g, "CONNACK that refuses with a session present");
            }
            return;
        case PUBLISH:
            if (s->pos == 1) {
                s->id_at = 2 + s->word;
                if (s->word == 0)
                    guard_fail(g, "PUBLISH with an empty topic");
                else if (s->id_at + (s->qos ? 2 : 0) > s->remaining)
                    guard_fail(g, "PUBLISH whose topic is longer than the packet");
            }
            guard_body_word(s, s->id_at, &s->id, b);
            if (s->qos && s->pos == s->id_at + 1 && s->id == 0)
                guard_fail(g, "PUBLISH of QoS %u with packet identifier 0", s->qos);
            return;
        default:
            break;
    }
    if (s->pos == 1) {
        const struct awaited* a = guard_find(g, s->type, s->word);
        if (s->word == 0)
            guard_fail(g, "%s with packet identifier 0", name);
        else if (guard_rules[s->type].answers && !a)
            guard_fail(g, "%s for packet identifier %u, which nothing awaits", name, s->word);
        else if (s->type == SUBACK && s->remaining - 2 != a->filters)
            guard_fail(g, "SUBACK with %zu return codes for %zu topic filters", s->remaining - 2,
                       a->filters);
    } else if (s->type == SUBACK && s->pos >= 2 && b > 2 && b != 0x80) {
        guard_fail(g, "SUBACK with return code 0x%02X", b);
    }
}

/* The broker's packet ends: an answer is no longer awaited. */
static void body_ends(struct movra_guard* g) {
    struct stream* s = &g->in;
    s->stage = HEADER;
    if (guard_rules[s->type].answers) guard_answered(g, s->type, s->word);
}

static void received_byte(struct movra_guard* g, unsigned char b) {
    struct stream* s = &g->in;
    if (s->stage != BODY) {
        const int was_header = s->stage == HEADER;
        const int length = guard_header_byte(s, b);
        if (was_header) received_type(g, s);
        if (length < 0)
            guard_fail(g, "%s with a remaining length longer than four bytes",
                       guard_names[s->type]);
        if (length == 1) received_length(g, s);
        return;
    }
    received_body(g, s, b);
    if (++s->pos == s->remaining) body_ends(g);
}

const char* movra_guard_received(struct movra_guard* g, const unsigned char* data, size_t len) {
    guard_feed(g, &g->in, data, 0, len, received_byte, body_ends);
    return g->failed ? g->text : NULL;
}
