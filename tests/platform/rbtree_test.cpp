#include "platform/rbtree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

namespace {

// Keys and values are counted heap ints, so a leak or a double release shows as a wrong balance.
int live = 0;
int* counted(int v) {
    ++live;
    int* p = static_cast<int*>(std::malloc(sizeof(int)));
    *p = v;
    return p;
}
void release(void* p) {
    --live;
    std::free(p);
}
int compareInts(const void* a, const void* b) {
    int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
    return (x > y) - (x < y);
}

// Checks order, parent links, no red-red and equal black heights below node; returns the black
// height and adds the nodes seen to count.
int checkSubtree(RbTree* t, RbNode* node, const int* low, const int* high, size_t* count) {
    if (node == &t->sentinel) return 1;
    ++*count;
    int key = *static_cast<int*>(node->key);
    EXPECT_TRUE((low == nullptr || *low < key) && (high == nullptr || key < *high)) << key;
    for (RbNode* child : {node->left, node->right}) {
        EXPECT_TRUE(child == &t->sentinel || child->parent == node) << "parent link at " << key;
        EXPECT_TRUE(node->colour == 1 || child->colour == 1) << "red-red at " << key;
    }
    int left = checkSubtree(t, node->left, low, &key, count);
    EXPECT_EQ(left, checkSubtree(t, node->right, &key, high, count)) << "black height at " << key;
    return left + node->colour;
}

void expectValid(RbTree* t, const std::map<int, int>& oracle) {
    EXPECT_EQ(t->sentinel.colour, 1);
    EXPECT_EQ(t->root->colour, 1) << "the root is black";
    EXPECT_EQ(t->root->parent, &t->sentinel);
    size_t count = 0;
    checkSubtree(t, t->root, nullptr, nullptr, &count);
    EXPECT_EQ(count, oracle.size());
    for (const auto& [key, value] : oracle) {
        auto* found = static_cast<int*>(rbTreeGet(t, &key));
        EXPECT_TRUE(found != nullptr && *found == value) << key;
    }
}

class RbTreeTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(rbTreeCreate(&tree, compareInts, release, release), 0); }
    void TearDown() override {
        rbTreeDestroy(&tree);
        EXPECT_EQ(live, 0) << "every key and value is released exactly once";
        live = 0;
    }
    RbTree tree{};
};

TEST_F(RbTreeTest, RandomPutsAndRemovesKeepEveryInvariantAndMatchStdMap) {
    std::mt19937 rng(12345);
    std::map<int, int> oracle;
    for (int step = 0; step < 6000; ++step) {
        int key = static_cast<int>(rng() % 500);
        // Growth first, then shrinking, so both fix-ups work on deep trees.
        if (rng() % 100 < (step < 3000 ? 70u : 30u)) {
            int value = static_cast<int>(rng());
            ASSERT_EQ(rbTreePut(&tree, counted(key), counted(value)), 0);
            oracle[key] = value;
        } else {
            ASSERT_EQ(rbTreeRemove(&tree, &key), oracle.erase(key) ? 0 : -1) << key;
        }
        EXPECT_EQ(rbTreeContainsKey(&tree, &key), oracle.count(key) ? 1 : 0);
        expectValid(&tree, oracle);
        ASSERT_FALSE(HasFailure()) << "after step " << step;
    }
    std::vector<int> rest;
    for (const auto& entry : oracle) rest.push_back(entry.first);
    std::shuffle(rest.begin(), rest.end(), rng);
    for (int key : rest) {
        ASSERT_EQ(rbTreeRemove(&tree, &key), 0);
        oracle.erase(key);
        expectValid(&tree, oracle);
    }
    EXPECT_EQ(tree.root, &tree.sentinel);
}

TEST_F(RbTreeTest, PutOfAPresentKeyKeepsTheFirstKeyAndNullValuesAreNeverReleased) {
    int* first = counted(5);
    ASSERT_EQ(rbTreePut(&tree, first, counted(1)), 0);
    ASSERT_EQ(rbTreePut(&tree, counted(5), counted(2)), 0);
    EXPECT_EQ(live, 2) << "the second key and the first value were released";
    EXPECT_EQ(tree.root->key, first);
    int key = 5;
    EXPECT_EQ(*static_cast<int*>(rbTreeGet(&tree, &key)), 2);
    ASSERT_EQ(rbTreePut(&tree, counted(5), nullptr), 0);
    EXPECT_EQ(rbTreeContainsKey(&tree, &key), 1);
    EXPECT_EQ(rbTreeGet(&tree, &key), nullptr);
    EXPECT_EQ(rbTreeRemove(&tree, &key), 0);
    EXPECT_EQ(rbTreeRemove(&tree, &key), -1);
}

}  // namespace
