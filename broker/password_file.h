/*
 * The plugin's password file: parsing and the constant-time check of a user name and password.
 *
 * One `user:password` entry a line, UTF-8; the user name ends at the first ':'. The password is either
 * plain text, as the client gives it to init, or a salted PBKDF2-SHA512 hash as mosquitto_passwd
 * writes it (its default since mosquitto 2.0):
 *   user:$7$<iterations>$<base64 salt>$<base64 64-byte hash>
 * A password starting with '$', a number and '$' is taken for a hash: only $7$ is understood, so a
 * plain password cannot have that form. Empty lines and lines starting with '#' are skipped, a UTF-8
 * byte-order mark at the start is ignored, '\r' before '\n' is dropped. A line of another shape, or a
 * user name given twice, makes the whole file refused with a log line naming the line.
 *
 * credentials_check compares the user name with every entry and always computes both a SHA-512 and
 * a PBKDF2 of the password (a user name not in the file uses a decoy hashed entry), so the time it
 * takes does not depend on which entry matched or whether any did; only the iteration count of the
 * selected entry shows (mosquitto_passwd writes the same count for every entry).
 */
#ifndef MOVRA_BROKER_PASSWORD_FILE_H
#define MOVRA_BROKER_PASSWORD_FILE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#define CREDENTIAL_SALT_MAX 64
#define CREDENTIAL_SECRET_SIZE 64
#define CREDENTIAL_ITERATIONS_MAX 1000000u
#define CREDENTIAL_DEFAULT_ITERATIONS 101u

struct credential {
	uint8_t user[32]; /* SHA-256 of the user name */
	uint8_t secret
	        [CREDENTIAL_SECRET_SIZE]; /* SHA-512 of a plain password, or the PBKDF2 hash */
	uint8_t salt[CREDENTIAL_SALT_MAX];
	uint32_t salt_size;
	uint32_t iterations;
	uint32_t hashed; /* 1 for a $7$ entry */
	uint32_t line;
};

struct credentials {
	struct credential *entries;
	size_t count;
	size_t hashed_count;
	struct credential decoy;
};

/* Parses size bytes of text (named path in log lines) into out, which it fills only on success. */
bool credentials_parse(const char *text, size_t size, const char *path, struct credentials *out);
bool credentials_check(const struct credentials *credentials, const char *user, size_t user_size,
                       const uint8_t *password, size_t password_size);
void credentials_release(struct credentials *credentials);

#endif
