// The upgrade configuration: "upgrade.conf" in the ISO directory holds the
// interval of the periodic upgrade, so that it survives a restart.
//
// The upgrade control stores it on a pool worker whenever a client switches
// the periodic upgrade on or off, and reads it once at start-up to arm the
// timer again; both under the upgrade control's interval lock, which pairs the
// stored value with the timer. Stores are serialised here as well, since they
// share the temporary file beside "upgrade.conf".
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

// One store at a time: stores share the file beside "upgrade.conf", and one
// emptying it after another put it in place would empty or mix the stored text.
ObjectMutex g_confStoreLock = PTHREAD_MUTEX_INITIALIZER;

// The resolved path of "upgrade.conf", or null after the log line.
MallocText ConfigFilePath()
{
    char chConfigFile[UPGD_PATH_MAX] = {0};
    if (!IsoDirPath(chConfigFile, UPGRADE_CONF_NAME, "chConfigFile")) {
        return nullptr;
    }
    MallocText resolved(realpath(chConfigFile, nullptr));
    if (!resolved) {
        UPG_LOG("realpath %s failed", chConfigFile);
    }
    return resolved;
}

}  // namespace

void WriteUpgradeConf(int minutes)
{
    MallocText path = ConfigFilePath();
    if (!path) {
        return;
    }
    // The new content goes to a file beside it, reaches the disk, and then
    // replaces the old one: a failed write or a crash leaves the old
    // interval or the new one, never a half-written file.
    MutexGuard store(&g_confStoreLock);
    char tmpPath[UPGD_PATH_MAX] = {0};
    if (snprintf_s(tmpPath, sizeof(tmpPath), sizeof(tmpPath) - 1, "%s.new", path.get()) < 0) {
        UPG_LOG("snprintf_s : chConfigFile snprintf_s failed");
        return;
    }
    struct stat old {};
    mode_t mode = stat(path.get(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    UniqueFd fd(open(tmpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
    if (!fd.Valid()) {
        UPG_LOG("fopen %s failed", path.get());
        return;
    }
    // The mode first, while the file is still root's: set after the owner
    // is given back, it would need the right to change others' files.
    (void)fchmod(fd.Get(), mode);
    (void)!fchown(fd.Get(), old.st_uid, old.st_gid);
    char text[32] = {0};
    int len = snprintf_s(text, sizeof(text), sizeof(text) - 1, "interval=%d", minutes);
    if (len < 0 || write(fd.Get(), text, static_cast<size_t>(len)) != len || fsync(fd.Get()) != 0) {
        UPG_LOG("fprintf interval failed, errno=%d", errno);
        (void)unlink(tmpPath);
        return;
    }
    if (close(fd.Release()) != 0) {
        UPG_LOG("fclose failed, file: %s", path.get());
    }
    if (rename(tmpPath, path.get()) != 0) {
        UPG_LOG("rename %s failed, errno=%d", path.get(), errno);
        (void)unlink(tmpPath);
        return;
    }
    char dir[UPGD_PATH_MAX] = {0};
    (void)strncpy_s(dir, sizeof(dir), path.get(), sizeof(dir) - 1);
    char *slash = std::strrchr(dir, '/');
    if (slash != nullptr) {
        slash[slash == dir ? 1 : 0] = '\0';
        UniqueFd dirFd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        (void)(dirFd.Valid() && fsync(dirFd.Get()) == 0);
    }
}

FILE *OpenUpgradeConf()
{
    MallocText path = ConfigFilePath();
    if (!path) {
        return nullptr;
    }
    FILE *probe = fopen(path.get(), "re");
    if (probe == nullptr) {
        UPG_LOG("init %s", path.get());
        WriteUpgradeConf(0);
        return nullptr;
    }
    if (fclose(probe) != 0) {
        UPG_LOG("fclose failed, file: %s", path.get());
    }
    FILE *file = fopen(path.get(), "r+e");
    if (file == nullptr) {
        UPG_LOG("fopen %s failed", path.get());
    }
    return file;
}

int ReadUpgradeConf(long *minutes)
{
    char interTmp[kIntervalText] = {0};
    FILE *file = OpenUpgradeConf();
    if (file == nullptr) {
        UPG_LOG("Open config file failed");
        return -1;
    }
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
