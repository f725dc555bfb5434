#pragma once
// Small file-system and descriptor helpers; failures leave the cause in errno.

// Creates every directory of path; 0 also when it already existed.
int yebMkdirs(const char* path, unsigned mode);
// Copies source to a destination that must not exist yet; no partial destination on failure.
int yebCopyFile(const char* source, const char* destination, unsigned mode);
int yebFileExists(const char* path);
int yebDirExists(const char* path);
// Creates an empty file unless the path exists.
int yebCreateFile(const char* path, unsigned mode);
// Discards whatever can be read from fd without waiting.
void yebDrain(int fd);
// Reads up to length bytes within timeoutMs; bytes read, or -1 when a read fails.
int yebReadWithTimeout(int fd, unsigned char* buffer, int length, int timeoutMs);
