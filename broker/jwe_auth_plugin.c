/*
 * movra_jwe_auth: a mosquitto 2.0 authentication plugin for the movra_sdk Enterprise edition.
 *
 * An Enterprise client sends its MQTT password as a JWE compact token (RSA-OAEP key management,
 * A256GCM content encryption) encrypted to the deployment's public key. This plugin handles the
 * basic-auth event: it decrypts the password with the deployment's private key and lets the client in
 * only when the user name and the decrypted password match an entry of its password file. A password
 * that is not a JWE compact token, that names another algorithm or content encryption, or that the
 * key cannot decrypt is refused; so is a client without a user name or password. Names and passwords
 * are compared through their SHA-256 digests with a constant-time comparison, against every entry.
 *
 * Build: by CMake with the project (MOVRA_BUILD_BROKER_PLUGIN=ON, which `make native` sets; it needs
 * mosquitto-dev, libcjose-dev, libjansson-dev and libssl-dev), giving build/native/broker/movra_jwe_auth.so.
 * By hand:
 *   cc -std=c11 -shared -fPIC -o movra_jwe_auth.so jwe_auth_plugin.c -lcjose -ljansson -lcrypto
 *
 * Configuration (mosquitto.conf):
 *   allow_anonymous false
 *   plugin /path/to/movra_jwe_auth.so
 *   plugin_opt_private_key /path/to/server_private.jwk
 *   plugin_opt_password_file /path/to/passwords
 *
 * private_key: the private RSA JWK made by movra_keygen together with the public JWK compiled into
 * the clients. password_file: one `user:password` line per client, the password as the client gives
 * it to init, UTF-8; the user name ends at the first ':', so it cannot hold one; empty lines and lines
 * starting with '#' are skipped. Both files are read once, when the broker starts; a file that cannot
 * be read or parsed stops the broker with a log line naming it.
 */
#include <cjose/cjose.h>
#include <jansson.h>
#include <mosquitto.h>
#include <mosquitto_broker.h>
#include <mosquitto_plugin.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <stdbool.h>
#include <stdio.h>
#include <string.h>

#define PLUGIN_NAME "movra_jwe_auth"
#define DIGEST_SIZE 32
#define MAX_FILE_SIZE (1024 * 1024)

struct credential {
	unsigned char user[DIGEST_SIZE];
	unsigned char password[DIGEST_SIZE];
};

struct plugin_state {
	mosquitto_plugin_id_t *identifier;
	cjose_jwk_t *key;
	struct credential *credentials;
	size_t credential_count;
};

static bool digest(const void *data, size_t size, unsigned char out[DIGEST_SIZE])
{
	unsigned int length = 0;
	return EVP_Digest(data, size, out, &length, EVP_sha256(), NULL) == 1 && length == DIGEST_SIZE;
}

/* Reads a whole file into memory from the broker's allocator, NUL-terminated. */
static char *read_file(const char *path, size_t *size)
{
	FILE *file = fopen(path, "rb");
	if (file == NULL) return NULL;
	char *text = mosquitto_malloc(MAX_FILE_SIZE + 1);
	size_t length = text != NULL ? fread(text, 1, MAX_FILE_SIZE + 1, file) : 0;
	bool failed = text == NULL || ferror(file) || length > MAX_FILE_SIZE;
	fclose(file);
	if (failed) {
		mosquitto_free(text);
		return NULL;
	}
	text[length] = '\0';
	*size = length;
	return text;
}

static void release_text(char *text, size_t size)
{
	if (text == NULL) return;
	OPENSSL_cleanse(text, size);
	mosquitto_free(text);
}

/* The key must be a private RSA JWK: a public one could never decrypt a password. */
static cjose_jwk_t *load_private_key(const char *path)
{
	size_t size = 0;
	char *text = read_file(path, &size);
	if (text == NULL) {
		mosquitto_log_printf(MOSQ_LOG_ERR, PLUGIN_NAME ": cannot read private_key %s", path);
		return NULL;
	}
	cjose_jwk_t *key = NULL;
	json_error_t json_error;
	json_t *json = json_loadb(text, size, 0, &json_error);
	const char *kty = json_string_value(json_object_get(json, "kty"));
	if (!json_is_object(json)) {
		mosquitto_log_printf(MOSQ_LOG_ERR, PLUGIN_NAME ": private_key %s is not a JSON object", path);
	} else if (kty == NULL || strcmp(kty, "RSA") != 0) {
		mosquitto_log_printf(MOSQ_LOG_ERR, PLUGIN_NAME ": private_key %s is not an RSA key", path);
	} else if (!json_is_string(json_object_get(json, "d"))) {
		mosquitto_log_printf(MOSQ_LOG_ERR,
		                     PLUGIN_NAME ": private_key %s holds no private member \"d\"", path);
	} else {
		cjose_err error;
		key = cjose_jwk_import(text, size, &error);
		if (key == NULL) {
			mosquitto_log_printf(MOSQ_LOG_ERR, PLUGIN_NAME ": private_key %s: %s", path,
			                     error.message != NULL ? error.message : "not a usable JWK");
		}
	}
	json_decref(json);
	release_text(text, size);
	return key;
}

static bool add_credential(struct plugin_state *state, const char *line, size_t length, size_t *capacity)
{
	const char *colon = memchr(line, ':', length);
	if (colon == NULL || colon == line) return false;
	if (state->credential_count == *capacity) {
		size_t grown = *capacity == 0 ? 8 : *capacity * 2;
		struct credential *more = mosquitto_realloc(state->credentials, grown * sizeof *more);
		if (more == NULL) return false;
		state->credentials = more;
		*capacity = grown;
	}
	struct credential *entry = &state->credentials[state->credential_count];
	size_t user_length = (size_t)(colon - line);
	if (!digest(line, user_length, entry->user)) return false;
	if (!digest(colon + 1, length - user_length - 1, entry->password)) return false;
	state->credential_count++;
	return true;
}

static bool load_password_file(struct plugin_state *state, const char *path)
{
	size_t size = 0;
	char *text = read_file(path, &size);
	if (text == NULL) {
		mosquitto_log_printf(MOSQ_LOG_ERR, PLUGIN_NAME ": cannot read password_file %s", path);
		return false;
	}
	size_t capacity = 0;
	bool ok = true;
	int line_number = 0;
	for (char *line = text; ok && line < text + size;) {
		char *end = memchr(line, '\n', (size_t)(text + size - line));
		if (end == NULL) end = text + size;
		char *next = end < text + size ? end + 1 : end;
		if (end > line && end[-1] == '\r') end--;
		line_number++;
		size_t length = (size_t)(end - line);
		if (length > 0 && line[0] != '#' && !add_credential(state, line, length, &capacity)) {
			mosquitto_log_printf(MOSQ_LOG_ERR,
			                     PLUGIN_NAME ": password_file %s line %d is not user:password",
			                     path, line_number);
			ok = false;
		}
		line = next;
	}
	release_text(text, size);
	if (ok && state->credential_count == 0) {
		mosquitto_log_printf(MOSQ_LOG_WARNING,
		                     PLUGIN_NAME ": password_file %s has no entries: every client is refused", path);
	}
	return ok;
}

/* The plaintext of a token made for this key with RSA-OAEP and A256GCM, or NULL. */
static uint8_t *decrypt_password(const struct plugin_state *state, const char *token, size_t *length,
                                 const char **reason)
{
	cjose_err error;
	cjose_jwe_t *jwe = cjose_jwe_import(token, strlen(token), &error);
	if (jwe == NULL) {
		*reason = "the password is not a JWE compact token";
		return NULL;
	}
	uint8_t *plaintext = NULL;
	cjose_header_t *header = cjose_jwe_get_protected(jwe);
	const char *alg = header != NULL ? cjose_header_get(header, CJOSE_HDR_ALG, &error) : NULL;
	const char *enc = header != NULL ? cjose_header_get(header, CJOSE_HDR_ENC, &error) : NULL;
	if (alg == NULL || enc == NULL || strcmp(alg, CJOSE_HDR_ALG_RSA_OAEP) != 0 ||
	    strcmp(enc, CJOSE_HDR_ENC_A256GCM) != 0) {
		*reason = "the token is not RSA-OAEP with A256GCM";
	} else {
		plaintext = cjose_jwe_decrypt(jwe, state->key, length, &error);
		if (plaintext == NULL) *reason = "the token does not decrypt with the private key";
	}
	cjose_jwe_release(jwe);
	return plaintext;
}

/* Every entry is compared, whatever matched before, so the time taken does not depend on which one. */
static bool known_credential(const struct plugin_state *state, const unsigned char user[DIGEST_SIZE],
                             const unsigned char password[DIGEST_SIZE])
{
	unsigned int found = 0;
	for (size_t i = 0; i < state->credential_count; i++) {
		unsigned int user_same = CRYPTO_memcmp(user, state->credentials[i].user, DIGEST_SIZE) == 0;
		unsigned int password_same =
		    CRYPTO_memcmp(password, state->credentials[i].password, DIGEST_SIZE) == 0;
		found |= user_same & password_same;
	}
	return found != 0;
}

static int on_basic_auth(int event, void *event_data, void *userdata)
{
	(void)event;
	const struct mosquitto_evt_basic_auth *auth = event_data;
	const struct plugin_state *state = userdata;
	const char *client_id = mosquitto_client_id(auth->client);
	if (auth->username == NULL || auth->password == NULL) {
		mosquitto_log_printf(MOSQ_LOG_NOTICE, PLUGIN_NAME ": refused client %s: no user name or password",
		                     client_id != NULL ? client_id : "?");
		return MOSQ_ERR_AUTH;
	}
	const char *reason = "unknown user name or wrong password";
	size_t length = 0;
	uint8_t *plaintext = decrypt_password(state, auth->password, &length, &reason);
	bool accepted = false;
	if (plaintext != NULL) {
		unsigned char user[DIGEST_SIZE];
		unsigned char password[DIGEST_SIZE];
		accepted = digest(auth->username, strlen(auth->username), user) &&
		           digest(plaintext, length, password) && known_credential(state, user, password);
		OPENSSL_cleanse(plaintext, length);
		cjose_get_dealloc()(plaintext);
	}
	if (!accepted) {
		mosquitto_log_printf(MOSQ_LOG_NOTICE, PLUGIN_NAME ": refused client %s: %s",
		                     client_id != NULL ? client_id : "?", reason);
		return MOSQ_ERR_AUTH;
	}
	return MOSQ_ERR_SUCCESS;
}

static void release_state(struct plugin_state *state)
{
	if (state == NULL) return;
	if (state->key != NULL) cjose_jwk_release(state->key);
	if (state->credentials != NULL) {
		OPENSSL_cleanse(state->credentials, state->credential_count * sizeof *state->credentials);
		mosquitto_free(state->credentials);
	}
	mosquitto_free(state);
}

int mosquitto_plugin_version(int supported_version_count, const int *supported_versions)
{
	for (int i = 0; i < supported_version_count; i++) {
		if (supported_versions[i] == 5) return 5;
	}
	return -1;
}

int mosquitto_plugin_init(mosquitto_plugin_id_t *identifier, void **userdata,
                          struct mosquitto_opt *options, int option_count)
{
	const char *key_path = NULL;
	const char *password_path = NULL;
	for (int i = 0; i < option_count; i++) {
		if (strcmp(options[i].key, "private_key") == 0) {
			key_path = options[i].value;
		} else if (strcmp(options[i].key, "password_file") == 0) {
			password_path = options[i].value;
		}
	}
	if (key_path == NULL || password_path == NULL) {
		mosquitto_log_printf(MOSQ_LOG_ERR,
		                     PLUGIN_NAME ": plugin_opt_private_key and plugin_opt_password_file are required");
		return MOSQ_ERR_INVAL;
	}
	struct plugin_state *state = mosquitto_calloc(1, sizeof *state);
	if (state == NULL) return MOSQ_ERR_NOMEM;
	state->identifier = identifier;
	state->key = load_private_key(key_path);
	if (state->key == NULL || !load_password_file(state, password_path)) {
		release_state(state);
		return MOSQ_ERR_INVAL;
	}
	int rc = mosquitto_callback_register(identifier, MOSQ_EVT_BASIC_AUTH, on_basic_auth, NULL, state);
	if (rc != MOSQ_ERR_SUCCESS) {
		release_state(state);
		return rc;
	}
	*userdata = state;
	return MOSQ_ERR_SUCCESS;
}

int mosquitto_plugin_cleanup(void *userdata, struct mosquitto_opt *options, int option_count)
{
	(void)options;
	(void)option_count;
	struct plugin_state *state = userdata;
	if (state == NULL) return MOSQ_ERR_SUCCESS;
	mosquitto_callback_unregister(state->identifier, MOSQ_EVT_BASIC_AUTH, on_basic_auth, NULL);
	release_state(state);
	return MOSQ_ERR_SUCCESS;
}
