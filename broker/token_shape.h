/*
 * The shape of the one token the plugin decrypts, checked before any library sees it: a JWE compact
 * serialisation (RFC 7516 section 7.1) made with RSA-OAEP for a 2048-bit key and A256GCM.
 *
 *   header.encrypted_key.iv.ciphertext.tag
 *
 * Exactly five segments of base64url (no '=' padding, no length of 1 modulo 4); a protected header of
 * at most TOKEN_HEADER_MAX characters decoding to a JSON object whose "alg" is "RSA-OAEP" and "enc"
 * "A256GCM", with no members beyond "alg", "enc", "kid", "typ" and "cty"; an encrypted key of exactly
 * 342 characters (256 bytes), an IV of 16 (12 bytes), a tag of 22 (16 bytes), and a ciphertext of at
 * most TOKEN_PLAINTEXT_MAX bytes. Passwords are small: 4096 bytes is far above any real one.
 */
#ifndef MOVRA_BROKER_TOKEN_SHAPE_H
#define MOVRA_BROKER_TOKEN_SHAPE_H

#include <stddef.h>

#define TOKEN_HEADER_MAX 512
#define TOKEN_KEY_LENGTH 342
#define TOKEN_IV_LENGTH 16
#define TOKEN_TAG_LENGTH 22
#define TOKEN_PLAINTEXT_MAX 4096
/* The base64url length of TOKEN_PLAINTEXT_MAX bytes. */
#define TOKEN_CIPHERTEXT_MAX ((TOKEN_PLAINTEXT_MAX * 4 + 2) / 3)
#define TOKEN_LENGTH_MAX                                                                           \
	(TOKEN_HEADER_MAX + TOKEN_KEY_LENGTH + TOKEN_IV_LENGTH + TOKEN_CIPHERTEXT_MAX +            \
	 TOKEN_TAG_LENGTH + 4)

/* NULL when token (length bytes, not necessarily NUL-terminated) has the shape above, otherwise a
 * sentence naming the first thing wrong with it, for the log. */
const char *token_shape_problem(const char *token, size_t length);

#endif
