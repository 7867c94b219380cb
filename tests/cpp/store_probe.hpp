// StoreProbe: opens a store's tables to the tests and the benchmark, and
// counts the chain nodes a lookup or an insertion walks.
#pragma once

#include "HashStore.hpp"
#include "PythonObj.hpp"

#include <cstddef>

template <typename Base = HashStore<PythonObj, long>>
class StoreProbe : public Base {
public:
    using Base::Base;
    using Base::back;
    using Base::front;

    // Nodes that get(key) visits: every node of a chain searched in vain,
    // up to and including the match otherwise.
    size_t lookupWalk(const PythonObj& key) const {
        size_t visited = 0;
        for (const auto* table : {back.get(), front.get()}) {
            if (table == nullptr || table->table_size == 0) {
                continue;
            }
            for (size_t it = table->h_table[table->bucket(key)]; it != Base::LL_NULL;
                 it = table->at(it)->h_next) {
                ++visited;
                if (table->at(it)->key == key) {
                    return visited;
                }
            }
        }
        return visited;
    }

    // Nodes ahead of `key` in its front chain: what put() walked past when it
    // appended the key there.
    size_t frontRank(const PythonObj& key) const {
        size_t ahead = 0;
        for (size_t it = front->h_table[front->bucket(key)]; it != Base::LL_NULL;
             it = front->at(it)->h_next, ++ahead) {
            if (front->at(it)->key == key) {
                return ahead;
            }
        }
        return ahead;
    }
};
