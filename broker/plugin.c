/*
 * movra_jwe_auth: a mosquitto 2.0 authentication plugin for the movra_sdk Enterprise edition.
 *
 * An Enterprise client sends its MQTT password as a JWE compact token (RSA-OAEP key management,
 * A256GCM content encryption) encrypted to the deployment's public key. This plugin handles the
 * basic-auth event: it decrypts the password with the deployment's private key and lets the client in
 * only when the user name and the decrypted password match an entry of its password file.
 *
 * A CONNECT is refused, with one log line naming the reason, when it has no user name or password,
 * when its client address is inside a penalty window (penalty.h: repeated failures from one address
 * are refused for a growing time without any decryption), when the password is not of the token's
 * shape (token_shape.h: checked before cjose or OpenSSL sees a byte of it), when it does not decrypt
 * with the key, or when the user name and plaintext match no entry (password_file.h: constant time).
 *
 * Build: by CMake with the project (MOVRA_BUILD_BROKER_PLUGIN=ON, which `make native` sets; it needs
 * mosquitto-dev, libcjose-dev, libjansson-dev and libssl-dev), giving build/native/broker/movra_jwe_auth.so.
 *
 * Configuration (mosquitto.conf):
 *   allow_anonymous false
 *   plugin /path/to/movra_jwe_auth.so
 *   plugin_opt_private_key /path/to/server_private.jwk
 *   plugin_opt_password_file /path/to/passwords
 *   plugin_opt_penalty_max_ms 60000        (optional; the longest penalty window, 0 for none)
 *
 * private_key: the private RSA JWK made by movra_keygen, mode 0600 (key_file.h). password_file: see
 * password_file.h. Both are read when the broker starts, where a file that cannot be read or parsed
 * stops the broker with a log line naming it, and again on every reload (SIGHUP), where such a file
 * keeps the previous key and entries in use and the log line says why.
 */
#define _POSIX_C_SOURCE 200809L
#include <cjose/cjose.h>
#include <openssl/crypto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "key_file.h"
#include "mosquitto_headers.h"
#include "password_file.h"
#include "penalty.h"
#include "plugin_log.h"
#include "token_shape.h"

/* What a reload replaces as a whole. */
struct auth_config {
	cjose_jwk_t *key;
	struct credentials credentials;
};

struct plugin_state {
	mosquitto_plugin_id_t *identifier;
	char *key_path;
	char *password_path;
	struct auth_config config;
	struct penalty_table penalties;
};

static uint64_t now_ms(void)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

static void release_config(struct auth_config *config)
{
	if (config->key != NULL) cjose_jwk_release(config->key);
	config->key = NULL;
	credentials_release(&config->credentials);
}

static bool load_config(const struct plugin_state *state, struct auth_config *config)
{
	memset(config, 0, sizeof *config);
	config->key = load_private_key(state->key_path);
	if (config->key == NULL) return false;
	size_t size = 0;
	char *text = read_operator_file("password_file", state->password_path, OPERATOR_FILE_MAX,
	                                false, &size);
	bool ok = text != NULL &&
	        credentials_parse(text, size, state->password_path, &config->credentials);
	release_operator_file(text, size);
	if (!ok) release_config(config);
	return ok;
}

/* The plaintext of a token of the right shape for this key, or NULL with the reason. */
static uint8_t *decrypt_password(const struct auth_config *config, const char *token,
                                 size_t *length, const char **reason)
{
	size_t token_length = strnlen(token, TOKEN_LENGTH_MAX + 1);
	*reason = token_shape_problem(token, token_length);
	if (*reason != NULL) return NULL;
	cjose_err error;
	cjose_jwe_t *jwe = cjose_jwe_import(token, token_length, &error);
	if (jwe == NULL) {
		*reason = "the password is not a JWE compact token";
		return NULL;
	}
	uint8_t *plaintext = cjose_jwe_decrypt(jwe, config->key, length, &error);
	if (plaintext == NULL) *reason = "the token does not decrypt with the private key";
	cjose_jwe_release(jwe);
	return plaintext;
}

static const char *verdict(struct plugin_state *state, const struct mosquitto_evt_basic_auth *auth,
                           const char *address, char *waiting, size_t waiting_size)
{
	if (auth->username == NULL || auth->password == NULL) return "no user name or password";
	uint64_t remaining = penalty_remaining(&state->penalties, address, now_ms());
	if (remaining > 0) {
		snprintf(waiting, waiting_size,
		         "address %s is in a penalty window for another %llu ms", address,
		         (unsigned long long)remaining);
		return waiting;
	}
	const char *reason = "unknown user name or wrong password";
	size_t length = 0;
	uint8_t *plaintext = decrypt_password(&state->config, auth->password, &length, &reason);
	if (plaintext == NULL) return reason;
	bool accepted = length <= TOKEN_PLAINTEXT_MAX &&
	        credentials_check(&state->config.credentials, auth->username,
		                  strnlen(auth->username, 65536), plaintext, length);
	OPENSSL_cleanse(plaintext, length);
	cjose_get_dealloc()(plaintext);
	return accepted ? NULL : "unknown user name or wrong password";
}

static int on_basic_auth(int event, void *event_data, void *userdata)
{
	(void)event;
	const struct mosquitto_evt_basic_auth *auth = event_data;
	struct plugin_state *state = userdata;
	const char *client_id = mosquitto_client_id(auth->client);
	const char *address = mosquitto_client_address(auth->client);
	if (address == NULL) address = "?";
	char waiting[128];
	const char *reason = verdict(state, auth, address, waiting, sizeof waiting);
	if (reason == NULL) {
		penalty_admitted(&state->penalties, address);
		return MOSQ_ERR_SUCCESS;
	}
	if (reason != waiting) penalty_failed(&state->penalties, address, now_ms());
	plugin_log(MOSQ_LOG_NOTICE, "refused client %s: %s", client_id != NULL ? client_id : "?",
	           reason);
	return MOSQ_ERR_AUTH;
}

static int on_reload(int event, void *event_data, void *userdata)
{
	(void)event;
	(void)event_data;
	struct plugin_state *state = userdata;
	struct auth_config fresh;
	if (!load_config(state, &fresh)) {
		plugin_log(MOSQ_LOG_ERR,
		           "reload failed: still using the previous private key and password file");
		return MOSQ_ERR_SUCCESS;
	}
	release_config(&state->config);
	state->config = fresh;
	plugin_log(MOSQ_LOG_INFO, "reloaded private_key %s and password_file %s (%zu entries)",
	           state->key_path, state->password_path, state->config.credentials.count);
	return MOSQ_ERR_SUCCESS;
}

static void release_state(struct plugin_state *state)
{
	if (state == NULL) return;
	release_config(&state->config);
	mosquitto_free(state->key_path);
	mosquitto_free(state->password_path);
	mosquitto_free(state);
}

/* "0" to "3600000"; anything else is refused. */
static bool parse_penalty_max(const char *text, uint64_t *value)
{
	if (text[0] == '\0' || strlen(text) > 7) return false;
	uint64_t parsed = 0;
	for (const char *p = text; *p != '\0'; p++) {
		if (*p < '0' || *p > '9') return false;
		parsed = parsed * 10 + (uint64_t)(*p - '0');
	}
	if (parsed > 3600000) return false;
	*value = parsed;
	return true;
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
	uint64_t penalty_max = PENALTY_MAX_MS;
	for (int i = 0; i < option_count; i++) {
		if (strcmp(options[i].key, "private_key") == 0) {
			key_path = options[i].value;
		} else if (strcmp(options[i].key, "password_file") == 0) {
			password_path = options[i].value;
		} else if (strcmp(options[i].key, "penalty_max_ms") == 0 &&
		           !parse_penalty_max(options[i].value, &penalty_max)) {
			plugin_log(MOSQ_LOG_ERR,
			           "plugin_opt_penalty_max_ms must be a number of milliseconds, 0 "
			           "to 3600000");
			return MOSQ_ERR_INVAL;
		}
	}
	if (key_path == NULL || password_path == NULL) {
		plugin_log(MOSQ_LOG_ERR,
		           "plugin_opt_private_key and plugin_opt_password_file are required");
		return MOSQ_ERR_INVAL;
	}
	struct plugin_state *state = mosquitto_calloc(1, sizeof *state);
	if (state == NULL) return MOSQ_ERR_NOMEM;
	state->identifier = identifier;
	state->key_path = mosquitto_strdup(key_path);
	state->password_path = mosquitto_strdup(password_path);
	penalty_init(&state->penalties, penalty_max);
	if (state->key_path == NULL || state->password_path == NULL ||
	    !load_config(state, &state->config)) {
		release_state(state);
		return MOSQ_ERR_INVAL;
	}
	int rc = mosquitto_callback_register(identifier, MOSQ_EVT_BASIC_AUTH, on_basic_auth, NULL,
	                                     state);
	if (rc == MOSQ_ERR_SUCCESS) {
		rc = mosquitto_callback_register(identifier, MOSQ_EVT_RELOAD, on_reload, NULL,
		                                 state);
		if (rc != MOSQ_ERR_SUCCESS)
			mosquitto_callback_unregister(identifier, MOSQ_EVT_BASIC_AUTH,
			                              on_basic_auth, NULL);
	}
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
	mosquitto_callback_unregister(state->identifier, MOSQ_EVT_RELOAD, on_reload, NULL);
	release_state(state);
	return MOSQ_ERR_SUCCESS;
}
