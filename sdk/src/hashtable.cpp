// The keyed table: an ordered map from 32-bit keys to pointers it does not own.
#include <iterator>
#include <map>
#include <new>

#include <libraries/hashtable.h>

struct HashTable {
    std::map<LONG, APTR> entries;
    // The entry at or before the last key looked up: sectors are mostly read in order, so the
    // next lookup is usually its neighbour. Entries are never removed, so it stays valid.
    std::map<LONG, APTR>::iterator cursor = entries.end();
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
    auto &entries = table->entries;
    auto &cursor = table->cursor;
    if (cursor != entries.end() && cursor->first <= key) {
        if (cursor->first == key) {
            *value = cursor->second;
            return TRUE;
        }
        const auto next = std::next(cursor);
        if (next == entries.end() || next->first > key)
            return FALSE;
        if (next->first == key) {
            cursor = next;
            *value = next->second;
            return TRUE;
        }
    }
    const auto found = entries.lower_bound(key);
    if (found != entries.end() && found->first == key) {
        cursor = found;
        *value = found->second;
        return TRUE;
    }
    cursor = found == entries.begin() ? entries.end() : std::prev(found);
    return FALSE;
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
