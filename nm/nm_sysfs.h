#pragma once
// The reader of kernel interface attributes under /sys/class/net.

// Reads the first line of /sys/class/net/<ifname>/<attribute> into out (size >= 1), without
// its newline, truncated to size-1 bytes.
int nmhelper_querySysFsNetProperty(const char* ifname, const char* attribute, char* out, int size);
