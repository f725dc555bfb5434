#pragma once
// Ordered map over a red-black tree with caller-supplied comparison and release functions.

struct RbNode {
    RbNode* left;
    RbNode* right;
    RbNode* parent;
    void* key;
    void* value;
    unsigned char colour;  // 1 black, 0 red
};

using RbCompare = int (*)(const void* a, const void* b);
using RbRelease = void (*)(void*);

struct RbTree {
    RbNode* root;     // the sentinel when empty
    RbNode sentinel;  // shared black leaf
    RbCompare compare;
    RbRelease releaseKey;
    RbRelease releaseValue;  // called only for non-null values
};

int rbTreeCreate(RbTree* tree, RbCompare compare, RbRelease releaseKey, RbRelease releaseValue);
void rbTreeDestroy(RbTree* tree);
void* rbTreeGet(RbTree* tree, const void* key);
int rbTreeContainsKey(RbTree* tree, const void* key);
// Takes ownership of key and value on success (0); -1 leaves them with the caller.
int rbTreePut(RbTree* tree, void* key, void* value);
int rbTreeRemove(RbTree* tree, const void* key);
