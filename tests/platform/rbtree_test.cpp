#include "platform/rbtree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

namespace {

int compareInts(const void* a, const void* b) {
    int x = *static_cast<const int*>(a);
    int y = *static_cast<const int*>(b);
    return (x > y) - (x < y);
}

int* heapInt(int v) {
    int* p = static_cast<int*>(std::malloc(sizeof(int)));
    *p = v;
    return p;
}

// Counts releases so that leaks and double releases show up as a wrong balance.
int liveAllocations = 0;
void releaseCounted(void* p) {
    --liveAllocations;
    std::free(p);
}
int* countedInt(int v) {
    ++liveAllocations;
    return heapInt(v);
}

// Checks every red-black invariant below node; returns its black height.
int checkSubtree(RbTree* tree, RbNode* node, const int* low, const int* high, size_t* count) {
    RbNode* nil = &tree->sentinel;
    if (node == nil) return 1;
    ++*count;
    int key = *static_cast<int*>(node->key);
    EXPECT_TRUE(low == nullptr || *low < key) << "ordering broken at " << key;
    EXPECT_TRUE(high == nullptr || key < *high) << "ordering broken at " << key;
    EXPECT_TRUE(node->colour == 0 || node->colour == 1);
    EXPECT_TRUE(node->left == nil || node->left->parent == node) << "parent link at " << key;
    EXPECT_TRUE(node->right == nil || node->right->parent == node) << "parent link at " << key;
    if (node->colour == 0) {
        EXPECT_EQ(node->left->colour, 1) << "red-red at " << key;
        EXPECT_EQ(node->right->colour, 1) << "red-red at " << key;
    }
    int leftHeight = checkSubtree(tree, node->left, low, &key, count);
    int rightHeight = checkSubtree(tree, node->right, &key, high, count);
    EXPECT_EQ(leftHeight, rightHeight) << "black height differs below " << key;
    return leftHeight + node->colour;
}

void expectValidTree(RbTree* tree, const std::map<int, int>& oracle) {
    RbNode* nil = &tree->sentinel;
    ASSERT_EQ(nil->colour, 1) << "sentinel must stay black";
    ASSERT_EQ(nil->key, nullptr);
    if (tree->root != nil) {
        ASSERT_EQ(tree->root->colour, 1) << "root must be black";
        ASSERT_EQ(tree->root->parent, nil);
    }
    size_t count = 0;
    checkSubtree(tree, tree->root, nullptr, nullptr, &count);
    ASSERT_EQ(count, oracle.size());
}

class RbTreeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        liveAllocations = 0;
        ASSERT_EQ(rbTreeCreate(&tree, compareInts, releaseCounted, releaseCounted), 0);
    }
    void TearDown() override {
        rbTreeDestroy(&tree);
        EXPECT_EQ(liveAllocations, 0) << "every key and value is released exactly once";
    }
    RbTree tree{};
};

TEST_F(RbTreeTest, RandomInsertsAndRemovesKeepInvariantsAndMatchStdMap) {
    std::mt19937 rng(12345);
    std::map<int, int> oracle;
    std::uniform_int_distribution<int> keys(0, 499);
    for (int step = 0; step < 6000; ++step) {
        int key = keys(rng);
        // Bias towards growth first, then towards shrinking, so both fix-ups see deep trees.
        bool insert = (rng() % 100) < (step < 3000 ? 70u : 30u);
        if (insert) {
            int value = static_cast<int>(rng());
            ASSERT_EQ(rbTreePut(&tree, countedInt(key), countedInt(value)), 0);
            oracle[key] = value;
        } else {
            int expected = oracle.erase(key) ? 0 : -1;
            ASSERT_EQ(rbTreeRemove(&tree, &key), expected) << "key " << key;
        }
        ASSERT_NO_FATAL_FAILURE(expectValidTree(&tree, oracle)) << "after step " << step;
        ASSERT_FALSE(HasFailure()) << "after step " << step;
    }
    for (int key = 0; key < 500; ++key) {
        auto it = oracle.find(key);
        ASSERT_EQ(rbTreeContainsKey(&tree, &key), it != oracle.end() ? 1 : 0);
        int* value = static_cast<int*>(rbTreeGet(&tree, &key));
        if (it == oracle.end()) {
            EXPECT_EQ(value, nullptr);
        } else {
            ASSERT_NE(value, nullptr);
            EXPECT_EQ(*value, it->second);
        }
    }
}

TEST_F(RbTreeTest, RemovingEveryKeyInShuffledOrderLeavesAnEmptyTree) {
    std::map<int, int> oracle;
    std::vector<int> order;
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(rbTreePut(&tree, countedInt(i), countedInt(i)), 0);
        oracle[i] = i;
        order.push_back(i);
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (int key : order) {
        ASSERT_EQ(rbTreeRemove(&tree, &key), 0);
        oracle.erase(key);
        ASSERT_NO_FATAL_FAILURE(expectValidTree(&tree, oracle));
    }
    EXPECT_EQ(tree.root, &tree.sentinel);
    int absent = 3;
    EXPECT_EQ(rbTreeRemove(&tree, &absent), -1);
}

TEST_F(RbTreeTest, ReplacingAValueKeepsTheFirstKeyAndReleasesTheNewKeyAndOldValue) {
    int* firstKey = countedInt(5);
    ASSERT_EQ(rbTreePut(&tree, firstKey, countedInt(1)), 0);
    ASSERT_EQ(rbTreePut(&tree, countedInt(5), countedInt(2)), 0);
    EXPECT_EQ(liveAllocations, 2);
    EXPECT_EQ(tree.root->key, firstKey);
    int key = 5;
    EXPECT_EQ(*static_cast<int*>(rbTreeGet(&tree, &key)), 2);
}

TEST_F(RbTreeTest, NullValuesAreStoredButNeverReleased) {
    ASSERT_EQ(rbTreePut(&tree, countedInt(1), nullptr), 0);
    int key = 1;
    EXPECT_EQ(rbTreeContainsKey(&tree, &key), 1);
    EXPECT_EQ(rbTreeGet(&tree, &key), nullptr);
    ASSERT_EQ(rbTreePut(&tree, countedInt(1), nullptr), 0);
    EXPECT_EQ(rbTreeRemove(&tree, &key), 0);
    EXPECT_EQ(rbTreeContainsKey(&tree, &key), 0);
}

}  // namespace
