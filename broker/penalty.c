/* Penalty windows per client address: see penalty.h. */
#include "penalty.h"

#include <stddef.h>
#include <string.h>

void penalty_init(struct penalty_table *table, uint64_t max_ms)
{
	memset(table->slots, 0, sizeof table->slots);
	table->max_ms = max_ms;
}

static bool same_address(const struct penalty_record *record, const char *address)
{
	return strncmp(record->address, address, PENALTY_ADDRESS_MAX - 1) == 0;
}

static bool forgotten(const struct penalty_record *record, uint64_t now_ms)
{
	return !record->used || now_ms - record->last_failure_ms >= PENALTY_FORGET_MS;
}

static struct penalty_record *find(const struct penalty_table *table, const char *address,
                                   uint64_t now_ms)
{
	for (size_t i = 0; i < PENALTY_SLOTS; i++) {
		const struct penalty_record *record = &table->slots[i];
		if (!forgotten(record, now_ms) && same_address(record, address))
			return (struct penalty_record *)record;
	}
	return NULL;
}

uint64_t penalty_remaining(const struct penalty_table *table, const char *address, uint64_t now_ms)
{
	const struct penalty_record *record = find(table, address, now_ms);
	if (record == NULL || now_ms >= record->window_end_ms) return 0;
	return record->window_end_ms - now_ms;
}

/* A free or forgotten slot, else the one whose last failure is oldest. */
static struct penalty_record *slot_for_new(struct penalty_table *table, uint64_t now_ms)
{
	struct penalty_record *oldest = &table->slots[0];
	for (size_t i = 0; i < PENALTY_SLOTS; i++) {
		struct penalty_record *record = &table->slots[i];
		if (forgotten(record, now_ms)) return record;
		if (record->last_failure_ms < oldest->last_failure_ms) oldest = record;
	}
	return oldest;
}

void penalty_failed(struct penalty_table *table, const char *address, uint64_t now_ms)
{
	struct penalty_record *record = find(table, address, now_ms);
	if (record == NULL) {
		record = slot_for_new(table, now_ms);
		memset(record, 0, sizeof *record);
		record->used = true;
		strncpy(record->address, address, PENALTY_ADDRESS_MAX - 1);
	}
	if (record->failures < UINT32_MAX) record->failures++;
	record->last_failure_ms = now_ms;
	if (table->max_ms == 0 || record->failures <= PENALTY_FREE_FAILURES) return;
	uint32_t doublings = record->failures - PENALTY_FREE_FAILURES - 1;
	uint64_t window = PENALTY_FIRST_MS;
	while (doublings-- > 0 && window < table->max_ms) window *= 2;
	if (window > table->max_ms) window = table->max_ms;
	record->window_end_ms = now_ms + window;
}

void penalty_admitted(struct penalty_table *table, const char *address)
{
	for (size_t i = 0; i < PENALTY_SLOTS; i++) {
		struct penalty_record *record = &table->slots[i];
		if (record->used && same_address(record, address))
			memset(record, 0, sizeof *record);
	}
}
