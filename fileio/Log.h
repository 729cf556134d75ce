#pragma once

// The program's diagnostic lines, printf-style, on the C streams: every subsystem logs through
// these. Each call flushes, so the lines of both streams keep their order when they end up in
// one file.
void logOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logErr(const char* format, ...) __attribute__((format(printf, 1, 2)));
