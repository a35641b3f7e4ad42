/* Base64 decoders for untrusted text: see codec.h. */
#include "codec.h"

#include <stdbool.h>

/* The 6-bit value of c in the alphabet, or -1. */
static int sextet(unsigned char c, bool url)
{
	if (c >= 'A' && c <= 'Z') return c - 'A';
	if (c >= 'a' && c <= 'z') return c - 'a' + 26;
	if (c >= '0' && c <= '9') return c - '0' + 52;
	if (c == (url ? '-' : '+')) return 62;
	if (c == (url ? '_' : '/')) return 63;
	return -1;
}

/* Decodes length characters without padding; a final group of 2 or 3 characters is allowed. */
static long decode(const char *text, size_t length, uint8_t *out, size_t capacity, bool url)
{
	if (length % 4 == 1) return -1;
	size_t size = BASE64URL_DECODED_SIZE(length);
	if (size > capacity) return -1;
	uint32_t bits = 0;
	int held = 0;
	size_t written = 0;
	for (size_t i = 0; i < length; i++) {
		int value = sextet((unsigned char)text[i], url);
		if (value < 0) return -1;
		bits = (bits << 6) | (uint32_t)value;
		held += 6;
		if (held >= 8) {
			held -= 8;
			out[written++] = (uint8_t)(bits >> held);
			bits &= (1u << held) - 1;
		}
	}
	if (bits != 0) return -1; /* the unused bits of the last character */
	return (long)written;
}

long base64url_decode(const char *text, size_t length, uint8_t *out, size_t capacity)
{
	return decode(text, length, out, capacity, true);
}

long base64_decode(const char *text, size_t length, uint8_t *out, size_t capacity)
{
	if (length % 4 != 0) return -1;
	size_t padding = 0;
	while (padding < 2 && padding < length && text[length - 1 - padding] == '=') padding++;
	if (padding > 0 && length - padding > 0 && text[length - 1 - padding] == '=') return -1;
	return decode(text, length - padding, out, capacity, false);
}
