/*
 * Penalty windows per client address, so that junk or guessed passwords cost the broker little.
 *
 * Each refused CONNECT counts against its client's address. After PENALTY_FREE_FAILURES failures in a
 * row, each further one opens a window of PENALTY_FIRST_MS, doubling with every failure up to the
 * table's max_ms, during which CONNECTs from that address are refused without being decrypted. A
 * CONNECT admitted from the address clears its record; a record whose last failure is older than
 * PENALTY_FORGET_MS is forgotten. The table has a fixed number of slots (PENALTY_SLOTS): when every
 * slot is in use, the record whose last failure is oldest gives way.
 *
 * Times are milliseconds of a monotonic clock, given by the caller. Not thread-safe: mosquitto calls
 * the plugin from its one main thread.
 */
#ifndef MOVRA_BROKER_PENALTY_H
#define MOVRA_BROKER_PENALTY_H

#include <stdbool.h>
#include <stdint.h>

#define PENALTY_SLOTS 4096
#define PENALTY_FREE_FAILURES 3
#define PENALTY_FIRST_MS 250
#define PENALTY_MAX_MS 60000
#define PENALTY_FORGET_MS 600000
#define PENALTY_ADDRESS_MAX 64 /* longer address texts are cut; IPv6 texts are at most 45 */

struct penalty_record {
	char address[PENALTY_ADDRESS_MAX];
	uint64_t last_failure_ms;
	uint64_t window_end_ms;
	uint32_t failures;
	bool used;
};

struct penalty_table {
	struct penalty_record slots[PENALTY_SLOTS];
	uint64_t max_ms; /* 0: no windows (every CONNECT is decrypted) */
};

void penalty_init(struct penalty_table *table, uint64_t max_ms);
/* How many milliseconds the address still has to wait; 0 when its CONNECT may be checked. */
uint64_t penalty_remaining(const struct penalty_table *table, const char *address, uint64_t now_ms);
void penalty_failed(struct penalty_table *table, const char *address, uint64_t now_ms);
void penalty_admitted(struct penalty_table *table, const char *address);

#endif
