// The upgrade configuration: "upgrade.conf" in the ISO directory holds the
// interval of the periodic upgrade, so that it survives a restart.
//
// The upgrade control stores it on a pool worker whenever a client switches
// the periodic upgrade on or off, and reads it once at start-up to arm the
// timer again; both under the upgrade control's interval lock, which pairs the
// stored value with the timer. Stores are serialised here as well, since they
// share the temporary file beside "upgrade.conf".
//
// The daemon runs as root in a directory that others may fill: the file is
// only ever a regular file in the ISO directory, reached by name from the
// open directory, never through a link, and never a FIFO or a device.
#include "ortavis_upgd_conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ortavis_upgd.h"
#include "ortavis_upgd_iso.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_task.h"

namespace {

constexpr int kConfPiece = 16;      // the file is read in pieces of 15 characters
constexpr int kIntervalText = 8;    // the value: at most 7 characters
constexpr const char *kIntervalKey = "interval=";
constexpr const char *kConfTmpName = "upgrade.conf.new";

// One store at a time: stores share the file beside "upgrade.conf", and one
// emptying it after another put it in place would empty or mix the stored text.
ObjectMutex g_confStoreLock = PTHREAD_MUTEX_INITIALIZER;

// The ISO directory and the path of "upgrade.conf" in it (for the log). The
// file is reached only by its name relative to the open directory, so a link
// at its place, or a directory swapped in between two steps, is never followed.
struct ConfDir {
    UniqueFd dir;
    char path[UPGD_PATH_MAX] = {0};
    bool Open()
    {
        if (!IsoDirPath(path, UPGRADE_CONF_NAME, "chConfigFile")) {
            return false;
        }
        dir = UniqueFd(open(g_chISORealPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.Valid()) {
            UPG_LOG("open %s failed, errno=%d", g_chISORealPath, errno);
            return false;
        }
        return true;
    }
    // The file's status without following a link; false after the log line
    // when it is missing or not a regular file.
    bool StatRegular(struct stat *st) const
    {
        if (fstatat(dir.Get(), UPGRADE_CONF_NAME, st, AT_SYMLINK_NOFOLLOW) != 0) {
            UPG_LOG("stat %s failed, errno=%d", path, errno);
            return false;
        }
        if (!S_ISREG(st->st_mode)) {
            UPG_LOG("%s is not a regular file", path);
            return false;
        }
        return true;
    }
};

}  // namespace

int WriteUpgradeConf(int minutes)
{
    ConfDir conf;
    struct stat old {};
    if (!conf.Open() || !conf.StatRegular(&old)) {
        return -1;
    }
    // The new content goes to a file beside it, reaches the disk, and then
    // replaces the old one: a failed write or a crash leaves the old
    // interval or the new one, never a half-written file. The temporary file
    // is the daemon's own: whatever stands at its name is removed, and it is
    // created anew, so nothing placed there (a link, a FIFO) is ever opened.
    MutexGuard store(&g_confStoreLock);
    if (unlinkat(conf.dir.Get(), kConfTmpName, 0) != 0 && errno != ENOENT) {
        UPG_LOG("remove %s.new failed, errno=%d", conf.path, errno);
        return -1;
    }
    const mode_t mode = old.st_mode & 07777;
    UniqueFd fd(openat(conf.dir.Get(), kConfTmpName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
        UPG_LOG("open %s.new failed, errno=%d", conf.path, errno);
        return -1;
    }
    // The mode first, while the file is still root's: set after the owner
    // is given back, it would need the right to change others' files.
    (void)fchmod(fd.Get(), mode);
    (void)!fchown(fd.Get(), old.st_uid, old.st_gid);
    char text[32] = {0};
    int len = snprintf_s(text, sizeof(text), sizeof(text) - 1, "interval=%d", minutes);
    if (len < 0 || write(fd.Get(), text, static_cast<size_t>(len)) != len || fsync(fd.Get()) != 0) {
        UPG_LOG("fprintf interval failed, errno=%d", errno);
        (void)unlinkat(conf.dir.Get(), kConfTmpName, 0);
        return -1;
    }
    if (close(fd.Release()) != 0) {
        UPG_LOG("fclose failed, file: %s", conf.path);
    }
    if (renameat(conf.dir.Get(), kConfTmpName, conf.dir.Get(), UPGRADE_CONF_NAME) != 0) {
        UPG_LOG("rename %s failed, errno=%d", conf.path, errno);
        (void)unlinkat(conf.dir.Get(), kConfTmpName, 0);
        return -1;
    }
    (void)fsync(conf.dir.Get());
    return 0;
}

int ReadUpgradeConf(long *minutes)
{
    *minutes = 0;
    ConfDir conf;
    struct stat seen {};
    if (!conf.Open() || !conf.StatRegular(&seen)) {
        return -1;
    }
    // Read-only and without waiting: what stands there is checked again once
    // open, so a file swapped for a FIFO or a device meanwhile is refused.
    UniqueFd fd(openat(conf.dir.Get(), UPGRADE_CONF_NAME, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || fstat(fd.Get(), &st) != 0) {
        UPG_LOG("open %s failed, errno=%d", conf.path, errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_ino != seen.st_ino || st.st_dev != seen.st_dev) {
        UPG_LOG("%s is not a regular file", conf.path);
        return -1;
    }
    FILE *file = fdopen(fd.Get(), "r");
    if (file == nullptr) {
        UPG_LOG("fdopen %s failed, errno=%d", conf.path, errno);
        return -1;
    }
    (void)fd.Release();
    char interTmp[kIntervalText] = {0};
    char piece[kConfPiece];
    bool ok = true;
    for (;;) {
        (void)memset_s(piece, sizeof(piece), 0, sizeof(piece));
        if (fgets(piece, sizeof(piece), file) == nullptr) {
            break;
        }
        if (std::strstr(piece, kIntervalKey) == nullptr) {
            continue;
        }
        const char *value = std::strchr(piece, '=') + 1;
        size_t len = strcspn(value, "\n");
        if (len > 0 && strncpy_s(interTmp, sizeof(interTmp), value, len < sizeof(interTmp) - 1 ? len : sizeof(interTmp) - 1) != 0) {
            UPG_LOG("strncpy_s interTmp failed");
            ok = false;
        }
        break;
    }
    if (fclose(file) != 0) {
        UPG_LOG("fclose failed");
    }
    if (!ok) {
        return -1;
    }
    *minutes = interTmp[0] != '\0' ? std::strtol(interTmp, nullptr, 10) : 0;
    return 0;
}
