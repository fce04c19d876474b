// The keyed table: an ordered map from 32-bit keys to pointers it does not own.
#include <map>
#include <new>

#include <libraries/hashtable.h>

struct HashTable {
    std::map<LONG, APTR> entries;
};

HashTable *CreateHashTableTagList(const void * /*tags*/) {
    return new (std::nothrow) HashTable;
}

void DeleteHashTable(HashTable *table) {
    delete table;
}

BOOL GetHashDataByKey(HashTable *table, LONG key, APTR *value) {
    if (!table)
        return FALSE;
    auto found = table->entries.find(key);
    if (found == table->entries.end())
        return FALSE;
    *value = found->second;
    return TRUE;
}

BOOL InsertHash(HashTable *table, LONG key, APTR value) {
    if (!table)
        return FALSE;
    try {
        table->entries.insert_or_assign(key, value);
    } catch (const std::bad_alloc &) {
        return FALSE;
    }
    return TRUE;
}
