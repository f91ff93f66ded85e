// The upgrade configuration: "upgrade.conf" in the ISO directory holds
// "interval=<minutes>" (0: the periodic upgrade is off). It is installed with
// the product: the daemon never creates it. The upgrade control stores and
// reads it under its interval lock, which pairs the value with the timer.
#pragma once

inline constexpr const char *UPGRADE_CONF_NAME = "upgrade.conf";

// Replaces the file's content with exactly "interval=<minutes>", keeping its
// mode and owner: written to "upgrade.conf.new" beside it (whatever stood at
// that name removed first, the file created exclusively) and renamed over it.
// 0, or -1 after the log line when upgrade.conf is missing, is not a regular
// file in the ISO directory (a link is not followed), or cannot be replaced:
// the stored value is then left as it was.
int WriteUpgradeConf(int minutes);
// Reads the stored interval, read-only, into *minutes (0 when the file holds
// none). 0, or -1 after the log line when the file is missing, is not a
// regular file in the ISO directory or cannot be read; a file that cannot be
// read is left as it is.
int ReadUpgradeConf(long *minutes);
