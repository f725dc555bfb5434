#pragma once
// Node facts under "/run/yeb", the generic trimmed-file reader and writer, and the byte order.

// Reads one trimmed text of at most size-1 bytes into buffer; fallback (or "") when none.
char* yebReadFile(const char* path, char* buffer, int size, const char* fallback);
// Writes text without terminator (mode 0644); a null text removes the file. 0 or -1.
int yebWriteFile(const char* path, const char* text);

int yebIsProdMode();  // 1 unless "/run/yeb/testMode" exists
int yebIsPrimary();
int yebIsSimulator();
int yebIsDev();
int yebNodeTypeExists();
int yebNodeNameExists();
// Text facts: each returns its own static 80-byte buffer, overwritten by the next call.
char* yebVendorAuthority();
char* yebMfgAuthority();
char* yebArch();  // "unknown" by default
char* yebBoardType();
char* yebSomType();
char* yebPrimaryNodeId();
char* yebNodeType();  // null when missing or empty
char* yebNodeName();  // null when missing or empty

// 0: little-endian (this platform); any other value means big-endian.
int yebEndian();
