// Keyed table: 32-bit signed keys to untyped pointers; the table does not own the values.
#ifndef HAIKU_LIBRARIES_HASHTABLE_H
#define HAIKU_LIBRARIES_HASHTABLE_H

#include "../exec/types.h"

struct HashTable;

// Returns an empty table, or null when memory is exhausted. The tag list is ignored.
HashTable *CreateHashTableTagList(const void *tags);
// Frees the table (null accepted); the values are not freed.
void DeleteHashTable(HashTable *table);
// TRUE and *value set when key is present; FALSE and *value untouched otherwise.
BOOL GetHashDataByKey(HashTable *table, LONG key, APTR *value);
// Stores value under key, replacing any earlier value. FALSE only when memory is exhausted.
BOOL InsertHash(HashTable *table, LONG key, APTR value);

#endif
