/* The password file: see password_file.h. */
#include "password_file.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <stdlib.h>
#include <string.h>

#include "codec.h"
#include "mosquitto_headers.h"
#include "plugin_log.h"

static bool sha256(const void *data, size_t size, uint8_t out[32])
{
	unsigned int length = 0;
	return EVP_Digest(data, size, out, &length, EVP_sha256(), NULL) == 1 && length == 32;
}

static bool sha512(const void *data, size_t size, uint8_t out[64])
{
	unsigned int length = 0;
	return EVP_Digest(data, size, out, &length, EVP_sha512(), NULL) == 1 && length == 64;
}

static bool pbkdf2(const uint8_t *password, size_t size, const struct credential *entry,
                   uint8_t out[64])
{
	/* OpenSSL takes a NULL password with a zero length as the empty password. */
	return size <= INT32_MAX && entry->salt_size <= CREDENTIAL_SALT_MAX &&
	        entry->iterations > 0 &&
	        PKCS5_PBKDF2_HMAC((const char *)password, (int)size, entry->salt,
		                  (int)entry->salt_size, (int)entry->iterations, EVP_sha512(),
		                  CREDENTIAL_SECRET_SIZE, out) == 1;
}

/* Up to the next '$' of [*cursor, end): the field, and the cursor moved past the '$'. */
static bool next_field(const char **cursor, const char *end, const char **field, size_t *size)
{
	const char *dollar = memchr(*cursor, '$', (size_t)(end - *cursor));
	*field = *cursor;
	*size = (size_t)((dollar != NULL ? dollar : end) - *cursor);
	*cursor = dollar != NULL ? dollar + 1 : end;
	return dollar != NULL;
}

/* "$7$<iterations>$<salt>$<hash>" (without the leading "$7$": text starts at the iterations). */
static bool parse_hash(const char *text, const char *end, struct credential *entry)
{
	const char *field;
	size_t size;
	if (!next_field(&text, end, &field, &size) || size == 0 || size > 7) return false;
	uint32_t iterations = 0;
	for (size_t i = 0; i < size; i++) {
		if (field[i] < '0' || field[i] > '9') return false;
		iterations = iterations * 10 + (uint32_t)(field[i] - '0');
	}
	if (iterations == 0 || iterations > CREDENTIAL_ITERATIONS_MAX) return false;
	if (!next_field(&text, end, &field, &size)) return false;
	long salt = base64_decode(field, size, entry->salt, sizeof entry->salt);
	if (salt <= 0) return false;
	if (next_field(&text, end, &field, &size)) return false; /* a fifth field */
	if (base64_decode(field, size, entry->secret, sizeof entry->secret) !=
	    CREDENTIAL_SECRET_SIZE)
		return false;
	entry->salt_size = (uint32_t)salt;
	entry->iterations = iterations;
	entry->hashed = 1;
	return true;
}

/* NULL when the line is an entry (filled in), otherwise what is wrong with it. */
static const char *parse_entry(const char *line, size_t length, struct credential *entry)
{
	const char *colon = memchr(line, ':', length);
	if (colon == NULL || colon == line) return "is not user:password";
	const char *password = colon + 1;
	const char *end = line + length;
	if (!sha256(line, (size_t)(colon - line), entry->user)) return "could not be digested";
	size_t size = (size_t)(end - password);
	size_t digits = 0;
	while (size > 1 + digits && password[1 + digits] >= '0' && password[1 + digits] <= '9')
		digits++;
	bool hash_form = size > 0 && password[0] == '$' && digits > 0 && size > 1 + digits &&
	        password[1 + digits] == '$';
	if (!hash_form)
		return sha512(password, size, entry->secret) ? NULL : "could not be digested";
	if (digits != 1 || password[1] != '7')
		return "has a hash other than $7$ (mosquitto_passwd -H sha512-pbkdf2)";
	if (!parse_hash(password + 3, end, entry)) return "is not a well-formed $7$ hash";
	return NULL;
}

static int by_user(const void *a, const void *b)
{
	const struct credential *x = a;
	const struct credential *y = b;
	int order = memcmp(x->user, y->user, sizeof x->user);
	if (order != 0) return order;
	return x->line < y->line ? -1 : x->line > y->line;
}

/* Sorts the entries by user name digest and names the first repeated user. */
static bool unique_users(struct credentials *list, const char *path)
{
	if (list->count > 1) qsort(list->entries, list->count, sizeof *list->entries, by_user);
	for (size_t i = 1; i < list->count; i++) {
		const struct credential *first = &list->entries[i - 1];
		const struct credential *again = &list->entries[i];
		if (memcmp(first->user, again->user, sizeof first->user) == 0) {
			plugin_log(MOSQ_LOG_ERR,
			           "password_file %s line %u repeats the user of line %u", path,
			           (unsigned)again->line, (unsigned)first->line);
			return false;
		}
	}
	return true;
}

/* The entry an unknown user name is checked against: hashed, with a random salt and hash. */
static bool make_decoy(struct credentials *list)
{
	struct credential *decoy = &list->decoy;
	memset(decoy, 0, sizeof *decoy);
	decoy->hashed = 1;
	decoy->salt_size = 12;
	decoy->iterations = CREDENTIAL_DEFAULT_ITERATIONS;
	for (size_t i = 0; i < list->count; i++) {
		if (list->entries[i].hashed && list->entries[i].iterations > decoy->iterations) {
			decoy->iterations = list->entries[i].iterations;
		}
	}
	if (RAND_bytes(decoy->salt, (int)decoy->salt_size) != 1 ||
	    RAND_bytes(decoy->secret, sizeof decoy->secret) != 1) {
		return false;
	}
	/* A plain entry's check runs the same PBKDF2 as the decoy's, only to take the same time. */
	for (size_t i = 0; i < list->count; i++) {
		struct credential *entry = &list->entries[i];
		if (entry->hashed) continue;
		memcpy(entry->salt, decoy->salt, sizeof entry->salt);
		entry->salt_size = decoy->salt_size;
		entry->iterations = decoy->iterations;
	}
	return true;
}

static bool add_entry(struct credentials *list, size_t *capacity, const struct credential *entry)
{
	if (list->count == *capacity) {
		size_t grown = *capacity == 0 ? 8 : *capacity * 2;
		struct credential *more = mosquitto_calloc(grown, sizeof *more);
		if (more == NULL) return false;
		if (list->count > 0) {
			memcpy(more, list->entries, list->count * sizeof *more);
			OPENSSL_cleanse(list->entries, list->count * sizeof *more);
		}
		mosquitto_free(list->entries);
		list->entries = more;
		*capacity = grown;
	}
	list->entries[list->count++] = *entry;
	list->hashed_count += entry->hashed;
	return true;
}

bool credentials_parse(const char *text, size_t size, const char *path, struct credentials *out)
{
	static const char bom[] = "\xEF\xBB\xBF";
	if (size >= 3 && memcmp(text, bom, 3) == 0) {
		text += 3;
		size -= 3;
	}
	struct credentials list = {0};
	size_t capacity = 0;
	bool ok = true;
	unsigned line_number = 0;
	for (const char *line = text; ok && line < text + size;) {
		const char *end = memchr(line, '\n', (size_t)(text + size - line));
		if (end == NULL) end = text + size;
		const char *next = end < text + size ? end + 1 : end;
		if (end > line && end[-1] == '\r') end--;
		line_number++;
		size_t length = (size_t)(end - line);
		if (length > 0 && line[0] != '#') {
			struct credential entry = {0};
			entry.line = line_number;
			const char *problem = parse_entry(line, length, &entry);
			if (problem != NULL) {
				plugin_log(MOSQ_LOG_ERR, "password_file %s line %u %s", path,
				           line_number, problem);
				ok = false;
			} else if (!add_entry(&list, &capacity, &entry)) {
				plugin_log(MOSQ_LOG_ERR, "password_file %s: out of memory", path);
				ok = false;
			}
			OPENSSL_cleanse(&entry, sizeof entry);
		}
		line = next;
	}
	ok = ok && unique_users(&list, path) && make_decoy(&list);
	if (!ok) {
		credentials_release(&list);
		return false;
	}
	if (list.count == 0)
		plugin_log(MOSQ_LOG_WARNING,
		           "password_file %s has no entries: every client is refused", path);
	*out = list;
	return true;
}

/* dst |= src where mask is 0xFF, byte by byte, whatever the mask. */
static void select_into(struct credential *dst, const struct credential *src, uint8_t mask)
{
	uint8_t *to = (uint8_t *)dst;
	const uint8_t *from = (const uint8_t *)src;
	for (size_t i = 0; i < sizeof *dst; i++) to[i] |= from[i] & mask;
}

bool credentials_check(const struct credentials *credentials, const char *user, size_t user_size,
                       const uint8_t *password, size_t password_size)
{
	uint8_t user_digest[32];
	if (!sha256(user, user_size, user_digest)) return false;
	struct credential selected;
	memset(&selected, 0, sizeof selected);
	uint8_t found = 0;
	for (size_t i = 0; i < credentials->count; i++) {
		uint8_t same = (uint8_t)(CRYPTO_memcmp(user_digest, credentials->entries[i].user,
		                                       32) == 0);
		select_into(&selected, &credentials->entries[i], (uint8_t)(0u - same));
		found |= same;
	}
	select_into(&selected, &credentials->decoy, (uint8_t)(0u - (found ^ 1u)));
	uint8_t plain[64];
	uint8_t hashed[64];
	bool plain_done = sha512(password, password_size, plain);
	bool hashed_done = pbkdf2(password, password_size, &selected, hashed);
	bool computed = plain_done && hashed_done;
	uint8_t hash_mask = (uint8_t)(0u - (selected.hashed & 1u));
	uint8_t candidate[64];
	for (size_t i = 0; i < sizeof candidate; i++) {
		candidate[i] =
		        (uint8_t)((hashed[i] & hash_mask) | (plain[i] & (uint8_t)~hash_mask));
	}
	bool same_secret = CRYPTO_memcmp(candidate, selected.secret, sizeof candidate) == 0;
	OPENSSL_cleanse(&selected, sizeof selected);
	OPENSSL_cleanse(plain, sizeof plain);
	OPENSSL_cleanse(hashed, sizeof hashed);
	OPENSSL_cleanse(candidate, sizeof candidate);
	return computed && found == 1 && same_secret;
}

void credentials_release(struct credentials *credentials)
{
	if (credentials->entries != NULL) {
		OPENSSL_cleanse(credentials->entries,
		                credentials->count * sizeof *credentials->entries);
		mosquitto_free(credentials->entries);
	}
	OPENSSL_cleanse(&credentials->decoy, sizeof credentials->decoy);
	credentials->entries = NULL;
	credentials->count = 0;
	credentials->hashed_count = 0;
}
