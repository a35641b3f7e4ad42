/* The shape check of a JWE token: see token_shape.h. */
#include "token_shape.h"

#include <jansson.h>
#include <stdbool.h>
#include <stdint.h>
#include <string.h>

#include "codec.h"

enum { HEADER, KEY, IV, CIPHERTEXT, TAG, SEGMENTS };

static bool is_base64url(const char *text, size_t length)
{
	for (size_t i = 0; i < length; i++) {
		unsigned char c = (unsigned char)text[i];
		bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
		        (c >= '0' && c <= '9') || c == '-' || c == '_';
		if (!ok) return false;
	}
	return true;
}

static bool string_member_is(json_t *object, const char *name, const char *expected)
{
	const char *value = json_string_value(json_object_get(object, name));
	return value != NULL && strcmp(value, expected) == 0;
}

static const char *header_problem(const char *segment, size_t length)
{
	if (length == 0) return "the protected header is empty";
	if (length > TOKEN_HEADER_MAX) return "the protected header is longer than 512 characters";
	uint8_t decoded[BASE64URL_DECODED_SIZE(TOKEN_HEADER_MAX)];
	long size = base64url_decode(segment, length, decoded, sizeof decoded);
	if (size < 0) return "the protected header is not base64url";
	json_error_t error;
	json_t *header =
	        json_loadb((const char *)decoded, (size_t)size, JSON_REJECT_DUPLICATES, &error);
	const char *problem = NULL;
	if (!json_is_object(header)) {
		problem = "the protected header is not a JSON object";
	} else if (!string_member_is(header, "alg", "RSA-OAEP") ||
	           !string_member_is(header, "enc", "A256GCM")) {
		problem = "the token is not RSA-OAEP with A256GCM";
	} else {
		const char *name;
		json_t *value;
		json_object_foreach(header, name, value)
		{
			bool known = strcmp(name, "alg") == 0 || strcmp(name, "enc") == 0 ||
			        strcmp(name, "kid") == 0 || strcmp(name, "typ") == 0 ||
			        strcmp(name, "cty") == 0;
			if (!known || !json_is_string(value)) {
				problem = "the protected header has a member other than alg, enc, "
				          "kid, typ, cty";
				break;
			}
		}
	}
	json_decref(header);
	return problem;
}

const char *token_shape_problem(const char *token, size_t length)
{
	if (length == 0) return "the password is empty, not a JWE compact token";
	if (length > TOKEN_LENGTH_MAX)
		return "the password is too long for a token of at most 4096 bytes";
	const char *segment[SEGMENTS];
	size_t size[SEGMENTS];
	size_t count = 0;
	const char *start = token;
	const char *end = token + length;
	for (const char *p = token; p <= end; p++) {
		if (p == end || *p == '.') {
			if (count == SEGMENTS)
				return "the password is not a JWE compact token (more than five "
				       "segments)";
			segment[count] = start;
			size[count] = (size_t)(p - start);
			count++;
			start = p + 1;
		}
	}
	if (count != SEGMENTS)
		return "the password is not a JWE compact token (fewer than five segments)";
	for (size_t i = 0; i < SEGMENTS; i++) {
		if (!is_base64url(segment[i], size[i]))
			return "a token segment holds characters outside base64url";
		if (size[i] % 4 == 1) return "a token segment has a length of 1 modulo 4";
	}
	if (size[KEY] != TOKEN_KEY_LENGTH)
		return "the encrypted key is not 342 characters (RSA-2048)";
	if (size[IV] != TOKEN_IV_LENGTH) return "the IV is not 16 characters (96 bits)";
	if (size[TAG] != TOKEN_TAG_LENGTH) return "the tag is not 22 characters (128 bits)";
	if (size[CIPHERTEXT] > TOKEN_CIPHERTEXT_MAX)
		return "the ciphertext is longer than 4096 bytes";
	return header_problem(segment[HEADER], size[HEADER]);
}
