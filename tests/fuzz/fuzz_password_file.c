/*
 * libFuzzer target: the password-file parser. Each input is a file's text; when it parses, a check
 * against it runs too (the first entry's user name with a wrong password must be refused).
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "broker_stubs.h"
#include "password_file.h"

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    struct credentials credentials;
    if (!credentials_parse((const char*)data, size, "fuzz", &credentials)) return 0;
    static const uint8_t wrong[] = "not the password \xff";
    if (credentials.count > 0 && credentials_check(&credentials, "alice", 5, wrong, sizeof wrong))
        abort();
    credentials_release(&credentials);
    return 0;
}
