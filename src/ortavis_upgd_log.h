// Logging: every line the daemon writes goes to syslog at LOG_INFO with the
// default facility, prefixed "[file:line] " with the base name of the source
// file that logs. The daemon never calls openlog: glibc connects to /dev/log
// on the first line. Callers pass the message texts without the prefix.
#pragma once

#include <syslog.h>

#define UPG_LOG(fmt, ...) \
    syslog(LOG_INFO, "[%s:%d] " fmt, __FILE_NAME__, __LINE__ __VA_OPT__(,) __VA_ARGS__)
