// The map's shard table and shard array without Python: a randomized model
// check of the table (colliding slots, shared hashes in overflow buckets,
// removal with backward shift, growth), take_all, and the shard of a hash.
// Run under AddressSanitizer too, where a leaked overflow array or slot array
// fails the run.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <map>
#include <random>
#include <vector>

#include "py/map/shards.h"
#include "py/map/table.h"

namespace {

struct Obj {
    int id;
};
using Table = quorvel::map::Table<Obj>;
using Entry = Table::Entry;
using Model = std::map<int64_t, std::vector<Entry>>;  // hash -> entries in insertion order

// The table holds exactly the model: every bucket in order, nothing else.
void expect_same(Table& table, const Model& model, const std::vector<int64_t>& all_hashes) {
    size_t total = 0;
    for (int64_t h : all_hashes) {
        auto it = model.find(h);
        Table::Slot* bucket = table.find(h);
        if (it == model.end()) {
            ASSERT_EQ(bucket, nullptr) << "hash " << h;
            continue;
        }
        ASSERT_NE(bucket, nullptr) << "hash " << h;
        ASSERT_EQ(bucket->size(), it->second.size());
        for (size_t i = 0; i < bucket->size(); ++i) {
            EXPECT_EQ(bucket->at(i).key, it->second[i].key);
            EXPECT_EQ(bucket->at(i).value, it->second[i].value);
        }
        total += it->second.size();
    }
    EXPECT_EQ(table.entries(), total);
    size_t visited = 0;
    table.for_each([&](Entry&) { ++visited; });
    EXPECT_EQ(visited, total);
}

}  // namespace

TEST(MapTable, MatchesAModelThroughGrowthCollisionsAndRemovals) {
    // QUORVEL_SEED=<n> replays a run.
    const char* given = std::getenv("QUORVEL_SEED");
    const uint64_t seed = given ? std::strtoull(given, nullptr, 10) : std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (QUORVEL_SEED)");
    std::mt19937_64 rng(seed);
    std::vector<Obj> objs(4096);
    for (size_t i = 0; i < objs.size(); ++i) objs[i].id = int(i);
    // Few distinct hashes, some negative and some equal modulo small powers
    // of two, so that slots collide and buckets share one hash.
    std::vector<int64_t> hashes;
    for (int i = 0; i < 300; ++i) hashes.push_back(i % 3 == 0 ? -int64_t(i) * 1024 : int64_t(i) * 64);

    Table table;
    table.set_keys(rng(), rng());
    Model model;
    size_t next = 0;
    for (int step = 0; step < 20000; ++step) {
        const int64_t h = hashes[rng() % hashes.size()];
        Table::Slot* bucket = table.find(h);
        if (rng() % 5 < 3 && next < objs.size()) {  // insert a fresh key
            Obj* key = &objs[next++];
            Obj* value = &objs[rng() % objs.size()];
            if (bucket) {
                table.append(*bucket, key, value);
            } else {
                table.insert_bucket(h, key, value);
            }
            model[h].push_back(Entry{key, value});
        } else if (bucket) {  // remove one entry by identity
            auto& entries = model[h];
            const size_t i = rng() % entries.size();
            size_t index = 0;
            ASSERT_TRUE(bucket->index_of(entries[i].key, index));
            ASSERT_EQ(index, i);
            const Entry out = table.remove(*bucket, index);
            EXPECT_EQ(out.key, entries[i].key);
            EXPECT_EQ(out.value, entries[i].value);
            entries.erase(entries.begin() + long(i));
            if (entries.empty()) model.erase(h);
        }
        if (step % 997 == 0) expect_same(table, model, hashes);
    }
    expect_same(table, model, hashes);

    Table taken;
    table.take_all(taken);
    expect_same(table, Model{}, hashes);
    expect_same(taken, model, hashes);
}

TEST(MapTable, ReplacingAValueInPlaceKeepsOrder) {
    Obj a{1}, b{2}, c{3}, v{4}, w{5};
    Table table;
    table.insert_bucket(7, &a, &v);
    table.append(*table.find(7), &b, &v);
    table.append(*table.find(7), &c, &v);
    size_t index = 0;
    ASSERT_TRUE(table.find(7)->index_of(&b, index));
    table.find(7)->at(index).value = &w;
    EXPECT_FALSE(table.find(7)->index_of(&v, index));  // identity of keys only
    Table::Slot* bucket = table.find(7);
    ASSERT_EQ(bucket->size(), 3u);
    EXPECT_EQ(bucket->at(0).key, &a);
    EXPECT_EQ(bucket->at(1).value, &w);
    EXPECT_EQ(bucket->at(2).key, &c);
    table.remove(*bucket, 0);  // the head goes: the next entry moves inline
    bucket = table.find(7);
    EXPECT_EQ(bucket->at(0).key, &b);
    EXPECT_EQ(bucket->size(), 2u);
}

TEST(MapShards, AHashSelectsItsShardAsUnsignedModuloTheCount) {
    for (uint64_t count : {1ull, 3ull, 16ull, 17ull}) {
        quorvel::map::Shards<Obj> shards(count);
        ASSERT_EQ(shards.count(), count);
        for (int64_t h : {int64_t(0), int64_t(5), int64_t(-1), INT64_MIN, INT64_MAX, int64_t(-17)}) {
            EXPECT_EQ(&shards.of(h), &shards.at(uint64_t(h) % count)) << count << " " << h;
        }
        // Shards are locked one at a time and hold independent tables.
        Obj k{1};
        {
            quorvel::map::ShardLock lock(shards.at(0));
            shards.at(0).table.insert_bucket(9, &k, &k);
        }
        EXPECT_EQ(shards.at(0).table.entries(), 1u);
        if (count > 1) {
            EXPECT_EQ(shards.at(1).table.find(9), nullptr);
        }
    }
}
