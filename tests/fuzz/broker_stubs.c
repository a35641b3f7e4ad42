/*
 * The mosquitto broker functions the plugin calls, for running it outside a broker: memory from the C
 * library, log lines dropped (or printed with MOVRA_FUZZ_LOG=1), a client whose address the harness
 * sets, and the registered callbacks kept so the harness can raise the events.
 */
#include "broker_stubs.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

MOSQ_FUNC_generic_callback stub_basic_auth;
MOSQ_FUNC_generic_callback stub_reload;
void* stub_userdata;
const char* stub_address = "127.0.0.1";

void* mosquitto_malloc(size_t size) { return malloc(size); }
void* mosquitto_calloc(size_t count, size_t size) { return calloc(count, size); }
void* mosquitto_realloc(void* pointer, size_t size) { return realloc(pointer, size); }
void mosquitto_free(void* pointer) { free(pointer); }
char* mosquitto_strdup(const char* text) { return strdup(text); }

void mosquitto_log_printf(int level, const char* format, ...) {
    (void)level;
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (getenv("MOVRA_FUZZ_LOG") != NULL) fprintf(stderr, "%s\n", line);
}

const char* mosquitto_client_id(const struct mosquitto* client) {
    (void)client;
    return "fuzz";
}

const char* mosquitto_client_address(const struct mosquitto* client) {
    (void)client;
    return stub_address;
}

int mosquitto_callback_register(mosquitto_plugin_id_t* identifier, int event,
                                MOSQ_FUNC_generic_callback callback, const void* event_data,
                                void* userdata) {
    (void)identifier;
    (void)event_data;
    if (event == MOSQ_EVT_BASIC_AUTH) stub_basic_auth = callback;
    if (event == MOSQ_EVT_RELOAD) stub_reload = callback;
    stub_userdata = userdata;
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_callback_unregister(mosquitto_plugin_id_t* identifier, int event,
                                  MOSQ_FUNC_generic_callback callback, const void* event_data) {
    (void)identifier;
    (void)callback;
    (void)event_data;
    if (event == MOSQ_EVT_BASIC_AUTH) stub_basic_auth = NULL;
    if (event == MOSQ_EVT_RELOAD) stub_reload = NULL;
    return MOSQ_ERR_SUCCESS;
}
