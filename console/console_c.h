/* The console's standard-error line for C code (the transport layer beneath Paho): writes
 * "[SDK] " + text + "\n" to standard error as one insertion, like movra::console::err. */
#ifndef MOVRA_CONSOLE_C_H
#define MOVRA_CONSOLE_C_H

#ifdef __cplusplus
extern "C" {
#endif

void movra_console_err(const char* text);

#ifdef __cplusplus
}
#endif

#endif
