/* The inbound guard: a check of every MQTT packet a broker sends, made before the library's parser
 * sees a byte of it, against the packet's framing and against the conversation the client holds.
 *
 * The library takes a broker's packet for whatever it claims to be: a second CONNACK while a
 * subscribe waits, or an UNSUBACK in answer to a SUBSCRIBE, is read as the SUBACK the subscribe
 * waits for, and the process crashes. The transport layer (transport_read.c, transport_write.c)
 * therefore hands this guard every byte the broker sends on a connection (plain TCP through recv,
 * TLS through SSL_read, both before the library has them) and every byte the client sends (writev,
 * SSL_write); the first byte that breaks a rule ends the connection.
 *
 * Rules (MQTT 3.1 and 3.1.1, the protocols the client speaks), table-driven by packet type:
 * - only the types a server sends (CONNACK, PUBLISH, PUBACK, PUBREC, PUBREL, PUBCOMP, SUBACK,
 *   UNSUBACK, PINGRESP), with the fixed-header flags the protocol gives them (PUBREL 0010, PUBLISH
 *   any QoS but 3, the others 0000), a remaining length of at most four bytes and of the size the
 *   type has;
 * - a CONNACK first, only in answer to a CONNECT and only once per connection, with no reserved
 *   flag or return code, and no session present with a refusal;
 * - a PUBLISH whose topic is not empty and fits the packet, with a packet identifier other than 0
 *   when its QoS is 1 or 2;
 * - PUBACK, PUBREC and PUBCOMP only for a QoS 1 PUBLISH, a QoS 2 PUBLISH and a PUBREL the client
 *   sent on this connection and that has not had as many answers as it was sent; PUBREL with any
 *   identifier but 0 (a broker repeats it after a reconnect);
 * - SUBACK and UNSUBACK only for an unanswered SUBSCRIBE and UNSUBSCRIBE with that identifier, a
 *   SUBACK with one valid return code (0, 1, 2 or 0x80) per topic filter the SUBSCRIBE carried;
 * - PINGRESP only for an unanswered PINGREQ.
 * A connection whose client does not begin with an MQTT 3.1 or 3.1.1 CONNECT (a WebSocket
 * connection begins with its HTTP upgrade) is not checked: the guard stands aside for it.
 *
 * Pure: no I/O, no locks, no globals. The caller serialises the calls for one guard. */
#ifndef MOVRA_PAHO_INBOUND_GUARD_H
#define MOVRA_PAHO_INBOUND_GUARD_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct movra_guard;

/* A guard for one new connection; NULL when memory is short. */
struct movra_guard* movra_guard_new(void);
void movra_guard_free(struct movra_guard* guard);

/* The client is about to send these bytes (the next of its stream, in order). */
void movra_guard_sending(struct movra_guard* guard, const unsigned char* data, size_t len);
/* Of the bytes announced, the last len were not sent: the next len bytes announced are the same
 * bytes, sent again, and are not counted twice. */
void movra_guard_unsent(struct movra_guard* guard, size_t len);

/* The broker sent these bytes (the next of its stream, in order). Returns NULL while every byte so
 * far keeps the rules; otherwise the violation, as text that names it (valid while the guard
 * lives), and the same text for every later call. */
const char* movra_guard_received(struct movra_guard* guard, const unsigned char* data, size_t len);

#ifdef __cplusplus
}
#endif

#endif
