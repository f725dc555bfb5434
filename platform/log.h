#pragma once
// Process-wide logging: console with time stamps, or syslog.

#include <cstddef>

// printf-style; a message of 2048 bytes or more is dropped. One message is one line: control
// characters and bytes that are not UTF-8 in it are written as escapes (yebLogEscape).
void yebLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes length bytes of text to out (room for 4 * length + 1) with every control character,
// DEL and byte that starts no well-formed UTF-8 sequence as \xNN; the length written.
size_t yebLogEscape(const char* text, size_t length, char* out);
// Switches every later yebLog to syslog (LOG_USER, LOG_INFO); opens the log once; always 0.
int yebLogToSyslog();
