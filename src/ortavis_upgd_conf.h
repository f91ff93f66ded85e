// The upgrade configuration: "upgrade.conf" in the ISO directory holds
// "interval=<minutes>" (0: the periodic upgrade is off). It is installed with
// the product: the daemon never creates it. The upgrade control stores and
// reads it under its interval lock, which pairs the value with the timer.
#pragma once

#include <cstdio>

inline constexpr const char *UPGRADE_CONF_NAME = "upgrade.conf";

// Replaces the file's content with "interval=<minutes>".
void WriteUpgradeConf(int minutes);
// The file opened for reading and writing at its start, or null (a file
// that cannot be read is reset to interval 0).
FILE *OpenUpgradeConf();
// The stored interval in *minutes (0 when the file holds none). 0, or -1
// after "Open config file failed" or a failed copy.
int ReadUpgradeConf(long *minutes);
