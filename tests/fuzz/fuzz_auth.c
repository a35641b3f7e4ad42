/*
 * libFuzzer target: the plugin's whole authentication path. The plugin is initialised as mosquitto
 * would (key and password file named by MOVRA_FUZZ_KEY and MOVRA_FUZZ_PASSWORDS); each input is a
 * CONNECT's user name, a '\n', and its password, and goes through the basic-auth callback. Every
 * input comes from another client address, so the penalty table fills, evicts and forgets as well,
 * and the fuzzer still reaches the decryption.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "broker_stubs.h"

int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    const char* key = getenv("MOVRA_FUZZ_KEY");
    const char* passwords = getenv("MOVRA_FUZZ_PASSWORDS");
    if (key == NULL || passwords == NULL) {
        fprintf(stderr, "fuzz_auth: set MOVRA_FUZZ_KEY and MOVRA_FUZZ_PASSWORDS\n");
        exit(2);
    }
    struct mosquitto_opt options[] = {{"private_key", (char*)key},
                                      {"password_file", (char*)passwords}};
    void* userdata = NULL;
    if (mosquitto_plugin_init(NULL, &userdata, options, 2) != MOSQ_ERR_SUCCESS ||
        stub_basic_auth == NULL) {
        fprintf(stderr, "fuzz_auth: the plugin did not start\n");
        exit(2);
    }
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static unsigned counter;
    char address[32];
    counter++;
    snprintf(address, sizeof address, "10.%u.%u.%u", (counter >> 16) & 255, (counter >> 8) & 255,
             counter & 255);
    stub_address = address;

    const uint8_t* newline = memchr(data, '\n', size);
    size_t user_size = newline != NULL ? (size_t)(newline - data) : size;
    char* user = malloc(user_size + 1);
    char* password = NULL;
    memcpy(user, data, user_size);
    user[user_size] = '\0';
    if (newline != NULL) {
        size_t password_size = size - user_size - 1;
        password = malloc(password_size + 1);
        memcpy(password, newline + 1, password_size);
        password[password_size] = '\0';
    }
    struct mosquitto_evt_basic_auth auth = {0};
    auth.username = user;
    auth.password = password;
    int verdict = stub_basic_auth(MOSQ_EVT_BASIC_AUTH, &auth, stub_userdata);
    if (verdict != MOSQ_ERR_SUCCESS && verdict != MOSQ_ERR_AUTH) abort();
    /* Only the seeded user with its password may pass. */
    if (verdict == MOSQ_ERR_SUCCESS && strcmp(user, "alice") != 0 && strcmp(user, "bob") != 0)
        abort();
    free(user);
    free(password);
    return 0;
}
