/* The inbound guard, the client's stream: what the client sends tells the guard which answers it
 * waits for (see inbound_guard.h). */
#include "inbound_guard_internal.h"

static void sent_packet(struct movra_guard* g) {
    const struct stream* s = &g->out;
    switch (s->type) {
        case CONNECT:
            ++g->connects;
            break;
        case PUBLISH:
            if (s->qos == 1 || s->qos == 2)
                guard_expect(g, s->qos == 1 ? PUBACK : PUBREC, s->id, 0);
            break;
        case PUBREL:
            guard_expect(g, PUBCOMP, s->id, 0);
            break;
        case SUBSCRIBE:
            guard_expect(g, SUBACK, s->id, s->filters);
            break;
        case UNSUBSCRIBE:
            guard_expect(g, UNSUBACK, s->id, s->filters);
            break;
        case PINGREQ:
            ++g->pings;
            break;
        default:
            break;
    }
}

/* The client's packet ends: the answers it waits for are recorded. */
static void sent_ends(struct movra_guard* g) {
    g->out.stage = HEADER;
    sent_packet(g);
}

static void sent_byte(struct movra_guard* g, unsigned char b) {
    struct stream* s = &g->out;
    if (!g->started) {
        g->started = 1;
        /* Only an MQTT connection begins with a CONNECT (0x10). */
        if (b != 0x10) g->aside = 1;
    }
    if (s->stage != BODY) {
        if (guard_header_byte(s, b) == 1 && s->remaining == 0) sent_packet(g);
        return;
    }
    guard_body_word(s, 0, &s->word, b);
    if (s->type == CONNECT) {
        /* The protocol level follows the protocol name: 3 (MQIsdp) or 4 (MQTT). */
        if (s->pos >= 2 && s->pos == 2 + s->word && b != 3 && b != 4) g->aside = 1;
    } else if (s->type == PUBLISH) {
        if (s->pos == 1) s->id_at = 2 + s->word;
        guard_body_word(s, s->id_at, &s->id, b);
    } else {
        guard_body_word(s, 0, &s->id, b);
        if ((s->type == SUBSCRIBE || s->type == UNSUBSCRIBE) && s->pos >= s->next) {
            if (s->pos == s->next) s->high = b;
            if (s->pos == s->next + 1) {
                ++s->filters;
                s->next += 2 + ((s->high << 8) | b) + (s->type == SUBSCRIBE);
            }
        }
    }
    if (++s->pos == s->remaining) sent_ends(g);
}

void movra_guard_sending(struct movra_guard* g, const unsigned char* data, size_t len) {
    size_t i = g->resent < len ? g->resent : len;
    g->resent -= i;
    guard_feed(g, &g->out, data, i, len, sent_byte, sent_ends);
}

void movra_guard_unsent(struct movra_guard* g, size_t len) { g->resent += len; }
