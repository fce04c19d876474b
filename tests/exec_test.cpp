// Memory blocks, strings, the semaphore, byte order and the keyed table.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include <hardware/byteswap.h>
#include <libraries/hashtable.h>
#include <proto/exec.h>
#include <proto/utility.h>

namespace {

TEST(ExecTest, AllocVecClearsOnRequest) {
    // Dirty the heap so a reused block would show through.
    for (int i = 0; i < 8; ++i) {
        auto *dirty = static_cast<unsigned char *>(AllocVec(4096, MEMF_ANY));
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0xA5, 4096);
        FreeVec(dirty);
        auto *block = static_cast<unsigned char *>(AllocVec(4096, MEMF_CLEAR | MEMF_PUBLIC));
        ASSERT_NE(block, nullptr);
        for (int j = 0; j < 4096; ++j)
            ASSERT_EQ(block[j], 0) << j;
        FreeVec(block);
    }
    void *any = AllocVec(16, MEMF_PUBLIC);
    EXPECT_NE(any, nullptr);
    FreeVec(any);
    void *empty = AllocVec(0, MEMF_CLEAR);
    EXPECT_NE(empty, nullptr);
    FreeVec(empty);
    FreeVec(nullptr);
}

TEST(ExecTest, CopyMemTakesSourceFirst) {
    const char source[] = "abcdef";
    char destination[8] = "-------";
    CopyMem(source, destination, 3);
    EXPECT_STREQ(destination, "abc----");
    CopyMem(source, destination, 0);
    EXPECT_STREQ(destination, "abc----");
}

TEST(UtilityTest, CaseInsensitiveComparison) {
    EXPECT_EQ(Stricmp("ImageFile", "imagefile"), 0);
    EXPECT_LT(Stricmp("abc", "ABD"), 0);
    EXPECT_GT(Stricmp("abd", "ABC"), 0);
    EXPECT_LT(Stricmp("ab", "abc"), 0);
    EXPECT_EQ(Strnicmp("MOUNTMODE", "mount", 5), 0);
    EXPECT_NE(Strnicmp("MOUNTMODE", "mount", 6), 0);
    EXPECT_EQ(Strnicmp("DIRECTORY=x", "directory", 9), 0);
    EXPECT_EQ(Strnicmp("a", "b", 0), 0);
}

TEST(ExecTest, SemaphoreExcludesOtherThreads) {
    SignalSemaphore semaphore;
    pthread_mutex_init(&semaphore.sem, nullptr);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ObtainSemaphore(&semaphore);
                long seen = counter;
                counter = seen + 1;
                ReleaseSemaphore(&semaphore);
            }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(counter, 80000);
    // Released: it can be taken again at once.
    EXPECT_EQ(pthread_mutex_trylock(&semaphore.sem), 0);
    pthread_mutex_unlock(&semaphore.sem);
    pthread_mutex_destroy(&semaphore.sem);
}

TEST(ByteSwapTest, LittleEndianDiskOrder) {
    // The bytes of a disk field read as a host value must give the little-endian number, and a
    // number converted for the disk must give its bytes lowest first, whatever the host's order.
    const unsigned char field[4] = {0x78, 0x56, 0x34, 0x12};
    uint32_t raw;
    std::memcpy(&raw, field, 4);
    EXPECT_EQ(BE_SWAPLONG(raw), 0x12345678u);
    uint16_t raw16;
    std::memcpy(&raw16, field, 2);
    EXPECT_EQ(BE_SWAPWORD(raw16), 0x5678u);
    const uint32_t stored = BE_SWAPLONG(0x12345678u);
    const uint16_t stored16 = BE_SWAPWORD(0x5678);
    unsigned char bytes[4], bytes16[2];
    std::memcpy(bytes, &stored, 4);
    std::memcpy(bytes16, &stored16, 2);
    EXPECT_EQ(std::memcmp(bytes, field, 4), 0);
    EXPECT_EQ(std::memcmp(bytes16, field, 2), 0);
}

TEST(HashTableTest, ReplaceAndMiss) {
    HashTable *table = CreateHashTableTagList(nullptr);
    ASSERT_NE(table, nullptr);
    int a = 1, b = 2;
    APTR value = &a;
    EXPECT_FALSE(GetHashDataByKey(table, 7, &value));
    EXPECT_EQ(value, &a) << "a miss leaves the slot alone";

    EXPECT_TRUE(InsertHash(table, 7, &a));
    EXPECT_TRUE(InsertHash(table, 7, &b));
    EXPECT_TRUE(GetHashDataByKey(table, 7, &value));
    EXPECT_EQ(value, &b);

    // Keys at the edges of the signed range and a null value are ordinary entries.
    EXPECT_TRUE(InsertHash(table, INT32_MIN, &a));
    EXPECT_TRUE(InsertHash(table, INT32_MAX, nullptr));
    EXPECT_TRUE(GetHashDataByKey(table, INT32_MIN, &value));
    EXPECT_EQ(value, &a);
    EXPECT_TRUE(GetHashDataByKey(table, INT32_MAX, &value));
    EXPECT_EQ(value, nullptr);
    EXPECT_FALSE(GetHashDataByKey(table, 8, &value));

    for (LONG key = 0; key < 100000; ++key)
        ASSERT_TRUE(
            InsertHash(table, 1000 + key * 3, reinterpret_cast<APTR>(static_cast<intptr_t>(key))));
    for (LONG key = 0; key < 100000; ++key) {
        ASSERT_TRUE(GetHashDataByKey(table, 1000 + key * 3, &value));
        ASSERT_EQ(value, reinterpret_cast<APTR>(static_cast<intptr_t>(key)));
        ASSERT_FALSE(GetHashDataByKey(table, 1001 + key * 3, &value));
    }
    DeleteHashTable(table);
    DeleteHashTable(nullptr);
}

// Lookups and insertions in the orders a disk makes them (runs forwards, backwards, jumps,
// a miss then its insertion), against a plain map.
TEST(HashTableTest, AnyOrderOfLookupsAndInsertions) {
    HashTable *table = CreateHashTableTagList(nullptr);
    ASSERT_NE(table, nullptr);
    std::map<LONG, APTR> model;
    std::mt19937 random(22);
    LONG key = 0;
    for (int step = 0; step < 200000; ++step) {
        switch (random() % 4) {
        case 0:
            key = LONG(random() % 5000) - 100;
            break;
        case 1:
            ++key;
            break;
        case 2:
            --key;
            break;
        default:
            break;
        }
        APTR value = nullptr;
        const auto found = model.find(key);
        ASSERT_EQ(GetHashDataByKey(table, key, &value), found != model.end()) << key;
        if (found != model.end()) {
            ASSERT_EQ(value, found->second) << key;
        }
        if (random() % 2) {
            const auto stored = reinterpret_cast<APTR>(static_cast<intptr_t>(step + 1));
            ASSERT_TRUE(InsertHash(table, key, stored));
            model[key] = stored;
        }
    }
    for (const auto &[k, v] : model) {
        APTR value = nullptr;
        ASSERT_TRUE(GetHashDataByKey(table, k, &value)) << k;
        ASSERT_EQ(value, v) << k;
    }
    DeleteHashTable(table);
}

} // namespace
