#pragma once
// Process-wide logging: console with time stamps, or syslog.

// printf-style; a message of 2048 bytes or more is dropped.
void yebLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Switches every later yebLog to syslog (LOG_USER, LOG_INFO); opens the log once; always 0.
int yebLogToSyslog();
