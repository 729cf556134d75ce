#include "Log.h"

#include <cstdarg>
#include <cstdio>

void logOut(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

void logErr(const char* format, ...)
{
    // stdout may hold an unflushed line written by other code; keep the order.
    std::fflush(stdout);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fflush(stderr);
}
