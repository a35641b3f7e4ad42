/* The plugin's files and its private key: see key_file.h. */
#define _POSIX_C_SOURCE 200809L
#include "key_file.h"

#include <errno.h>
#include <fcntl.h>
#include <jansson.h>
#include <openssl/crypto.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "plugin_log.h"
#include "token_shape.h"

#define KEY_FILE_MAX (64 * 1024)

static bool read_all(int fd, char *text, size_t capacity, size_t *size)
{
	size_t length = 0;
	for (;;) {
		ssize_t got = read(fd, text + length, capacity - length);
		if (got < 0 && errno == EINTR) continue;
		if (got < 0) return false;
		if (got == 0) break;
		length += (size_t)got;
		if (length == capacity) break;
	}
	*size = length;
	return true;
}

char *read_operator_file(const char *what, const char *path, size_t max_size, bool owner_only,
                         size_t *size)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
	if (fd < 0) {
		plugin_log(MOSQ_LOG_ERR, "cannot read %s %s: %s", what, path, strerror(errno));
		return NULL;
	}
	struct stat status;
	char *text = NULL;
	if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
		plugin_log(MOSQ_LOG_ERR, "cannot read %s %s: not a regular file", what, path);
	} else if (owner_only && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
		plugin_log(MOSQ_LOG_ERR,
		           "%s %s has mode %04o: it must be readable by its owner only; fix it "
		           "with: chmod 600 %s",
		           what, path, (unsigned)(status.st_mode & 07777), path);
	} else if ((size_t)status.st_size > max_size) {
		plugin_log(MOSQ_LOG_ERR, "%s %s is larger than %zu bytes", what, path, max_size);
	} else if ((text = mosquitto_malloc(max_size + 1)) == NULL) {
		plugin_log(MOSQ_LOG_ERR, "cannot read %s %s: out of memory", what, path);
	} else if (!read_all(fd, text, max_size + 1, size) || *size > max_size) {
		plugin_log(MOSQ_LOG_ERR, "cannot read %s %s (or it grew past %zu bytes)", what,
		           path, max_size);
		release_operator_file(text, max_size + 1);
		text = NULL;
	} else {
		text[*size] = '\0';
	}
	close(fd);
	return text;
}

void release_operator_file(char *text, size_t size)
{
	if (text == NULL) return;
	OPENSSL_cleanse(text, size);
	mosquitto_free(text);
}

/* NULL when the JSON is a private RSA JWK with a 2048-bit modulus, otherwise what is wrong. */
static const char *key_problem(json_t *json)
{
	if (!json_is_object(json)) return "is not a JSON object";
	const char *kty = json_string_value(json_object_get(json, "kty"));
	if (kty == NULL || strcmp(kty, "RSA") != 0) return "is not an RSA key";
	if (!json_is_string(json_object_get(json, "d"))) return "holds no private member \"d\"";
	if (json_string_length(json_object_get(json, "n")) != TOKEN_KEY_LENGTH)
		return "is not a 2048-bit RSA key";
	return NULL;
}

cjose_jwk_t *load_private_key(const char *path)
{
	size_t size = 0;
	char *text = read_operator_file("private_key", path, KEY_FILE_MAX, true, &size);
	if (text == NULL) return NULL;
	cjose_jwk_t *key = NULL;
	json_error_t json_error;
	json_t *json = json_loadb(text, size, JSON_REJECT_DUPLICATES, &json_error);
	const char *problem = key_problem(json);
	if (problem != NULL) {
		plugin_log(MOSQ_LOG_ERR, "private_key %s %s", path, problem);
	} else {
		cjose_err error;
		key = cjose_jwk_import(text, size, &error);
		if (key == NULL) {
			plugin_log(MOSQ_LOG_ERR, "private_key %s: %s", path,
			           error.message != NULL ? error.message : "not a usable JWK");
		}
	}
	json_decref(json);
	release_operator_file(text, size);
	return key;
}
