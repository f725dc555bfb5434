#pragma once
// String-to-string settings loaded from and saved to key=value files.
#include "platform/rbtree.h"

struct Properties {
    RbTree tree;
};

Properties* propCreate();
// Null only when the file cannot be opened for reading.
Properties* propLoad(const char* path);
// Atomic replace (temporary file, rename, mode 0666): 0 or -1.
int propSave(Properties* props, const char* path);
int propContainsKey(Properties* props, const char* key);
const char* propGet(Properties* props, const char* key);
const char* propGetWithDefault(Properties* props, const char* key, const char* fallback);
// A value that must be a whole number from min to max, written in decimal digits only (no
// sign, no blanks, no unit); false for anything else.
bool propParseNumber(const char* text, long min, long max, long* value);
int propSet(Properties* props, const char* key, const char* value);
int propRemove(Properties* props, const char* key);
void propFree(Properties* props);
