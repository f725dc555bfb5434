#include "platform/rbtree.h"

#include <cstdlib>
#include <utility>

namespace {

constexpr unsigned char kRed = 0;
constexpr unsigned char kBlack = 1;

RbNode* nil(RbTree* tree) {
    return &tree->sentinel;
}

RbNode* findNode(RbTree* tree, const void* key) {
    RbNode* node = tree->root;
    while (node != nil(tree)) {
        int order = tree->compare(key, node->key);
        if (order == 0) return node;
        node = order < 0 ? node->left : node->right;
    }
    return nullptr;
}

void releaseEntry(RbTree* tree, void* key, void* value) {
    tree->releaseKey(key);
    if (value != nullptr) tree->releaseValue(value);
}

// Puts child where node hung below node's parent (or at the root).
void replaceInParent(RbTree* tree, RbNode* node, RbNode* child) {
    if (node->parent == nil(tree)) {
        tree->root = child;
    } else if (node == node->parent->left) {
        node->parent->left = child;
    } else {
        node->parent->right = child;
    }
}

void rotateLeft(RbTree* tree, RbNode* x) {
    RbNode* y = x->right;
    x->right = y->left;
    if (y->left != nil(tree)) y->left->parent = x;
    y->parent = x->parent;
    replaceInParent(tree, x, y);
    y->left = x;
    x->parent = y;
}

void rotateRight(RbTree* tree, RbNode* x) {
    RbNode* y = x->left;
    x->left = y->right;
    if (y->right != nil(tree)) y->right->parent = x;
    y->parent = x->parent;
    replaceInParent(tree, x, y);
    y->right = x;
    x->parent = y;
}

// The fix-ups below handle the mirrored cases by swapping which child and which rotation counts
// as "left", so each case is written once.
struct Side {
    RbNode* RbNode::*near;
    RbNode* RbNode::*far;
    void (*rotateNear)(RbTree*, RbNode*);
    void (*rotateFar)(RbTree*, RbNode*);
};
constexpr Side kLeft{&RbNode::left, &RbNode::right, rotateLeft, rotateRight};
constexpr Side kRight{&RbNode::right, &RbNode::left, rotateRight, rotateLeft};

void insertFixup(RbTree* tree, RbNode* node) {
    while (node->parent->colour == kRed) {
        RbNode* parent = node->parent;
        RbNode* grand = parent->parent;
        const Side& s = parent == grand->left ? kLeft : kRight;
        RbNode* uncle = grand->*s.far;
        if (uncle->colour == kRed) {
            parent->colour = kBlack;
            uncle->colour = kBlack;
            grand->colour = kRed;
            node = grand;
            continue;
        }
        if (node == parent->*s.far) {
            node = parent;
            s.rotateNear(tree, node);
            parent = node->parent;
        }
        parent->colour = kBlack;
        grand->colour = kRed;
        s.rotateFar(tree, grand);
    }
    tree->root->colour = kBlack;
}

void removeFixup(RbTree* tree, RbNode* node) {
    while (node != tree->root && node->colour == kBlack) {
        RbNode* parent = node->parent;
        const Side& s = node == parent->left ? kLeft : kRight;
        RbNode* sibling = parent->*s.far;
        if (sibling->colour == kRed) {
            sibling->colour = kBlack;
            parent->colour = kRed;
            s.rotateNear(tree, parent);
            sibling = parent->*s.far;
        }
        if ((sibling->*s.near)->colour == kBlack && (sibling->*s.far)->colour == kBlack) {
            sibling->colour = kRed;
            node = parent;
            continue;
        }
        if ((sibling->*s.far)->colour == kBlack) {
            (sibling->*s.near)->colour = kBlack;
            sibling->colour = kRed;
            s.rotateFar(tree, sibling);
            sibling = parent->*s.far;
        }
        sibling->colour = parent->colour;
        parent->colour = kBlack;
        (sibling->*s.far)->colour = kBlack;
        s.rotateNear(tree, parent);
        node = tree->root;
    }
    node->colour = kBlack;
}

void freeNodes(RbTree* tree, RbNode* node) {
    if (node == nil(tree)) return;
    freeNodes(tree, node->left);
    freeNodes(tree, node->right);
    releaseEntry(tree, node->key, node->value);
    std::free(node);
}

}  // namespace

int rbTreeCreate(RbTree* tree, RbCompare compare, RbRelease releaseKey, RbRelease releaseValue) {
    if (tree == nullptr) return -1;
    RbNode* sentinel = nil(tree);
    *sentinel = RbNode{sentinel, sentinel, sentinel, nullptr, nullptr, kBlack};
    tree->root = sentinel;
    tree->compare = compare;
    tree->releaseKey = releaseKey;
    tree->releaseValue = releaseValue;
    return 0;
}

void rbTreeDestroy(RbTree* tree) {
    freeNodes(tree, tree->root);
    tree->root = nil(tree);
}

void* rbTreeGet(RbTree* tree, const void* key) {
    RbNode* node = findNode(tree, key);
    return node != nullptr ? node->value : nullptr;
}

int rbTreeContainsKey(RbTree* tree, const void* key) {
    return findNode(tree, key) != nullptr;
}

int rbTreePut(RbTree* tree, void* key, void* value) {
    RbNode* parent = nil(tree);
    RbNode* node = tree->root;
    int order = 0;
    while (node != nil(tree)) {
        order = tree->compare(key, node->key);
        if (order == 0) {
            releaseEntry(tree, key, node->value);
            node->value = value;
            return 0;
        }
        parent = node;
        node = order < 0 ? node->left : node->right;
    }
    auto* fresh = static_cast<RbNode*>(std::malloc(sizeof(RbNode)));
    if (fresh == nullptr) return -1;
    *fresh = RbNode{nil(tree), nil(tree), parent, key, value, kRed};
    if (parent == nil(tree)) {
        tree->root = fresh;
    } else if (order < 0) {
        parent->left = fresh;
    } else {
        parent->right = fresh;
    }
    insertFixup(tree, fresh);
    return 0;
}

int rbTreeRemove(RbTree* tree, const void* key) {
    RbNode* node = findNode(tree, key);
    if (node == nullptr) return -1;
    if (node->left != nil(tree) && node->right != nil(tree)) {
        RbNode* successor = node->right;
        while (successor->left != nil(tree)) successor = successor->left;
        std::swap(node->key, successor->key);
        std::swap(node->value, successor->value);
        node = successor;
    }
    RbNode* child = node->left != nil(tree) ? node->left : node->right;
    // The sentinel may stand in for child here; its parent link is what the fix-up climbs from.
    child->parent = node->parent;
    replaceInParent(tree, node, child);
    if (node->colour == kBlack) removeFixup(tree, child);
    releaseEntry(tree, node->key, node->value);
    std::free(node);
    return 0;
}
