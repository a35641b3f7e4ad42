/*
 * Reading the plugin's files: the private key and the password file, both written by an operator and
 * checked before a library parses them.
 *
 * read_operator_file: a regular file of at most max_size bytes, read whole into memory from the
 * broker's allocator, NUL-terminated; NULL (with a log line naming the file and why) otherwise. With
 * owner_only, a file that its group or others may read or write is refused, saying how to fix it.
 * release_operator_file wipes and frees the text.
 *
 * load_private_key: the private RSA JWK made by movra_keygen (a 2048-bit modulus, private member
 * "d"), readable by its owner only.
 */
#ifndef MOVRA_BROKER_KEY_FILE_H
#define MOVRA_BROKER_KEY_FILE_H

#include <cjose/cjose.h>
#include <stdbool.h>
#include <stddef.h>

#define OPERATOR_FILE_MAX (1024 * 1024)

char *read_operator_file(const char *what, const char *path, size_t max_size, bool owner_only,
                         size_t *size);
void release_operator_file(char *text, size_t size);
cjose_jwk_t *load_private_key(const char *path);

#endif
