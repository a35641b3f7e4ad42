/*
 * Base64 decoding of untrusted text, done here rather than by a library so that its shape is checked
 * first and no library ever sees a malformed segment.
 *
 * base64url_decode: RFC 4648 section 5 alphabet (A-Z a-z 0-9 - _), no padding, a length that is not
 * 1 modulo 4, and unused trailing bits zero (one text per value). base64_decode: the standard alphabet
 * (+ /) with '=' padding to a multiple of 4, as mosquitto_passwd writes its salts and hashes.
 * Both return the decoded size, or -1 when the text is not of that shape or does not fit in capacity.
 */
#ifndef MOVRA_BROKER_CODEC_H
#define MOVRA_BROKER_CODEC_H

#include <stddef.h>
#include <stdint.h>

/* The decoded size of a base64url text of that length (length must not be 1 modulo 4). */
#define BASE64URL_DECODED_SIZE(length)                                                             \
	((length) / 4 * 3 + ((length) % 4 == 0 ? 0 : (length) % 4 - 1))

long base64url_decode(const char *text, size_t length, uint8_t *out, size_t capacity);
long base64_decode(const char *text, size_t length, uint8_t *out, size_t capacity);

#endif
