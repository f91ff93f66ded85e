// ISO names and versions, and the ISO list: what the ISO directory offers.
//
// The upgrade thread and the pool workers (a guest asking for the upgrade
// information, a result query) read the directory anew for each use: the
// list is rebuilt, copied into a message and emptied again as one unit under
// the list lock (LoadIsoModules), so two users never mix their nodes. The
// name grammar is read twice, by the list (ReadIsoEntry) and by the module
// scan of a result query (parseModuleIsoName), with the limits and messages of
// each; CheckUpgInfo composes a guest's module record back into a file name.
// "version.info" holds the product's own versions. No other lock is taken.
#include "ortavis_upgd_iso.h"

#include <dirent.h>
#include <sys/stat.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "ortavis_upgd.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_probe.h"
#include "ortavis_upgd_securec.h"

namespace {

IsoNode isoList;

constexpr const char *kLinuxWord = "linux";
constexpr const char *kWindowsWord = "windows";
constexpr const char *kIsoSuffix = ".iso";
constexpr int kVersionPiece = 32;        // "version.info" is read in pieces of 31 characters
constexpr int kComponentVersionMax = 32; // a version cut out of a name: at most 31 characters
constexpr int kMaxNameFields = 4;        // a fourth field is all a reader needs to see

struct DirCloser {
    void operator()(DIR *d) const
    {
        if (d != nullptr) {
            (void)closedir(d);
        }
    }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

// The stem of `name` (up to its first '.', leading '.' skipped) split at
// runs of '-', in `work` (a copy of name). Up to kMaxNameFields fields; the
// count, or -1 when there is no stem.
int SplitNameFields(const char *name, char (&work)[256], const char *(&fields)[kMaxNameFields])
{
    if (strncpy_s(work, sizeof(work), name, sizeof(work) - 1) != 0) {
        return -1;
    }
    char *save = nullptr;
    char *stem = strtok_r(work, ".", &save);
    if (stem == nullptr) {
        return -1;
    }
    int count = 0;
    save = nullptr;
    for (char *f = strtok_r(stem, "-", &save); f != nullptr && count < kMaxNameFields;
         f = strtok_r(nullptr, "-", &save)) {
        fields[count++] = f;
    }
    return count;
}

// The version carried in a name: the text strictly between the last '-' and
// the last '.' of `work`. Empty when there is no '.' (or, with noDashEmpty,
// no '-'). -1 when it is 32 characters or more or the '.' stands before the
// '-'; -2 when there is no '-' and noDashEmpty is false.
int CutVersion(const char *work, char (&version)[kComponentVersionMax], bool noDashEmpty)
{
    version[0] = '\0';
    const char *dash = std::strrchr(work, '-');
    if (dash == nullptr) {
        return noDashEmpty ? 0 : -2;
    }
    const char *dot = std::strrchr(work, '.');
    if (dot == nullptr) {
        return 0;
    }
    if (dot < dash || dot - dash - 1 >= kComponentVersionMax) {
        return -1;
    }
    size_t len = static_cast<size_t>(dot - dash - 1);
    return strncpy_s(version, sizeof(version), dash + 1, len) == 0 ? 0 : -1;
}


const char *VersionKey(int type)
{
    return type == ISO_WINDOWS ? WINDOWS_VERSION_KEY : LINUX_VERSION_KEY;
}

// The directory filter both scans use: a name with a last '.' that is not
// its first character and ".iso" from there, not reported as a directory.
bool IsIsoCandidate(const dirent *entry)
{
    const char *name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || entry->d_type == DT_DIR) {
        return false;
    }
    const char *dot = std::strrchr(name, '.');
    return dot != nullptr && dot != name && std::strcmp(dot, kIsoSuffix) == 0;
}

void FreeIsoNodes(IsoNode *first) REQUIRES(GetIsoList()->lock)
{
    while (first != nullptr) {
        IsoNode *next = first->next;
        delete first;
        first = next;
    }
}

void AddIsoNode(IsoNode *node) REQUIRES(GetIsoList()->lock)
{
    UPG_LOG("AddIsoNode %s", node->name);
    node->next = isoList.next;
    isoList.next = node;
}

// Reads one directory entry into a node, following the name grammar; null
// when the entry is dropped (with its log line).
IsoNode *ReadIsoEntry(const char *entryName)
{
    std::unique_ptr<IsoNode> node(new (std::nothrow) IsoNode{});
    if (node == nullptr) {
        UPG_LOG("malloc IsoNode failed");
        return nullptr;
    }
    char isoNameBak[64] = {0};
    if (strncpy_s(node->name, sizeof(node->name), entryName, sizeof(node->name) - 1) != 0) {
        UPG_LOG("strncpy_s node->name failed");
        return nullptr;
    }
    if (strncpy_s(isoNameBak, sizeof(isoNameBak), entryName, sizeof(isoNameBak) - 1) != 0) {
        UPG_LOG("strncpy_s isoNameBak failed");
        return nullptr;
    }
    UPG_LOG("isoName is %s", isoNameBak);

    char work[256];
    const char *fields[kMaxNameFields] = {};
    int count = SplitNameFields(entryName, work, fields);
    if (count < 0) {
        UPG_LOG("iso is null...");
        return nullptr;
    }
    if (count == 0) {
        UPG_LOG("buf is null...");
        return nullptr;
    }
    UPG_LOG("get module name %s", fields[0]);
    if (strncpy_s(node->module, sizeof(node->module), fields[0], sizeof(node->module) - 1) != 0) {
        UPG_LOG("strncpy_s node->module failed");
        return nullptr;
    }
    if (count == 1) {
        return nullptr;
    }
    if (std::strcmp(fields[1], kLinuxWord) == 0) {
        node->type = ISO_LINUX;
    } else if (std::strcmp(fields[1], kWindowsWord) == 0) {
        node->type = ISO_WINDOWS;
    } else {
        UPG_LOG("incompatible iso type: %s", isoNameBak);
        return nullptr;
    }
    if (count >= 3) {
        char version[kComponentVersionMax];
        int cut = CutVersion(entryName, version, false);
        if (cut == -2) {
            UPG_LOG("pchBegin is null");
            return nullptr;
        }
        if (cut != 0) {
            UPG_LOG("strncpy_s componentVersion failed");
            return nullptr;
        }
        if (strncpy_s(node->isoVersion, sizeof(node->isoVersion), version, sizeof(version) - 1) != 0) {
            UPG_LOG("strncpy_s node->isoVersion failed");
            return nullptr;
        }
    }
    if (count >= 4) {
        UPG_LOG("module ISO name format is not supported");
        return nullptr;
    }
    if (count == 3) {
        UPG_LOG("get %s type %d upgrade version %s", node->module, node->type, node->isoVersion);
        return node.release();
    }
    if (std::strcmp(node->module, PRODUCT_MODULE) != 0) {
        return node.release();
    }
    char productVersion[ISO_VERSION_BUF] = {0};
    if (GetIsoVersion(productVersion, VersionKey(node->type)) != 0) {
        UPG_LOG("GetIsoVersion %s error", VersionKey(node->type));
        return nullptr;
    }
    (void)strncpy_s(node->isoVersion, sizeof(node->isoVersion), productVersion, sizeof(productVersion) - 1);
    UPG_LOG("get %s type %d upgrade version:%s", node->module, node->type, node->isoVersion);
    return node.release();
}


// The record a guest is offered for a node: module and version cut to the
// record's fields, as the guest sees them.
void OfferRecord(const IsoNode &node, ModuleInfo *rec)
{
    (void)strncpy_s(rec->name, sizeof(rec->name), node.module, sizeof(rec->name) - 1);
    (void)strncpy_s(rec->curversion, sizeof(rec->curversion), node.isoVersion, sizeof(rec->curversion) - 1);
    rec->type = static_cast<uint8_t>(node.type);
}

// A name of the directory that may reach a command line: the characters
// checkCmdParam allows, no "..", no '/'.
bool IsoNameUsable(const char *name)
{
    return checkCmdParam(name) == 0 && std::strstr(name, "..") == nullptr && std::strchr(name, '/') == nullptr;
}

// Why a listed node cannot be attached, or null when it can: the guest must
// be able to compose its name back from its offer, and the name must lead to
// a regular file of the ISO directory itself.
const char *WhyNotAttachable(const IsoNode &node)
{
    ModuleInfo rec{};
    OfferRecord(node, &rec);
    MallocText composed = CheckUpgInfo(&rec);
    if (!composed || std::strcmp(composed.get(), node.name) != 0) {
        return "its offer composes another name";
    }
    if (!IsoNameUsable(node.name)) {
        return "its name may not reach a command line";
    }
    if (!IsoFileInDir(node.name)) {
        return "not a regular file of the ISO directory";
    }
    return nullptr;
}

}  // namespace

// The path of a file of the ISO directory, "%s/%s" in out; false after
// "snprintf_s : <buffer> snprintf_s failed" when it does not fit.
bool IsoDirPath(char (&out)[UPGD_PATH_MAX], const char *fileName, const char *bufferName)
{
    if (snprintf_s(out, sizeof(out), sizeof(out) - 1, "%s/%s", g_chISORealPath, fileName) < 0) {
        UPG_LOG("snprintf_s : %s snprintf_s failed", bufferName);
        return false;
    }
    return true;
}

IsoNode *GetIsoList()
{
    return &isoList;
}

const char *GetIsoRealPath()
{
    return g_chISORealPath;
}

// Runs before any other thread exists.
int InitIsoListLock() NO_THREAD_SAFETY_ANALYSIS
{
    isoList.next = nullptr;
    return InitObjectLock(&isoList);
}

void DestroyIsoListLock()
{
    DestroyObjectLock(&isoList);
}

// ---- Names and versions ----------------------------------------------------------

MallocText GetVersionFilePath(const char *key)
{
    if (key == nullptr || (std::strcmp(key, WINDOWS_VERSION_KEY) != 0 && std::strcmp(key, LINUX_VERSION_KEY) != 0)) {
        UPG_LOG("osType parameter is not support");
        return nullptr;
    }
    char chVersionFile[UPGD_PATH_MAX] = {0};
    if (!IsoDirPath(chVersionFile, VERSION_FILE_NAME, "chVersionFile")) {
        return nullptr;
    }
    MallocText resolved(realpath(chVersionFile, nullptr));
    if (!resolved) {
        UPG_LOG("realpath chVersionFile failed");
    }
    return resolved;
}

int GetIsoVersion(char *out, const char *key)
{
    MallocText path = GetVersionFilePath(key);
    if (!path) {
        return -1;
    }
    FILE *file = fopen(path.get(), "re");
    if (file == nullptr) {
        UPG_LOG("fopen %s failed", path.get());
        return -1;
    }
    int ret = 0;
    char piece[kVersionPiece];
    for (;;) {
        (void)memset_s(piece, sizeof(piece), 0, sizeof(piece));
        if (fgets(piece, sizeof(piece), file) == nullptr) {
            break;
        }
        size_t len = std::strlen(piece);
        if (len > 0 && piece[len - 1] == '\n') {
            piece[len - 1] = '\0';
        }
        if (std::strstr(piece, key) == nullptr) {
            continue;
        }
        const char *eq = std::strchr(piece, '=');
        if (eq != nullptr && strncpy_s(out, ISO_VERSION_BUF, eq + 1, ISO_VERSION_BUF - 1) != 0) {
            UPG_LOG("strncpy_s isoVersion failed");
            ret = -1;
        }
        break;
    }
    if (fclose(file) != 0) {
        UPG_LOG("fclose failed, file: %s", path.get());
    }
    return ret;
}

int parseModuleIsoName(const char *isoName, ModuleInfo *rec)
{
    auto refuse = [] {
        UPG_LOG("parseModuleIsoName fail");
        return -1;
    };
    if (isoName == nullptr || rec == nullptr) {
        return refuse();
    }
    UPG_LOG("isoName is %s", isoName);
    char isoNameBak[32] = {0};
    if (strncpy_s(isoNameBak, sizeof(isoNameBak), isoName, sizeof(isoNameBak) - 1) != 0) {
        UPG_LOG("strncpy_s isoNameBak failed");
        return refuse();
    }
    char work[256];
    const char *fields[kMaxNameFields] = {};
    int count = SplitNameFields(isoName, work, fields);
    if (count < 0) {
        UPG_LOG("iso  is null...");
        return refuse();
    }
    if (count == 0) {
        return refuse();
    }
    if (strncpy_s(rec->name, sizeof(rec->name), fields[0], sizeof(rec->name) - 1) != 0) {
        UPG_LOG("strncpy_s name failed");
        return refuse();
    }
    if (count >= 2) {
        if (std::strcmp(fields[1], kLinuxWord) == 0) {
            rec->type = ISO_LINUX;
        } else if (std::strcmp(fields[1], kWindowsWord) == 0) {
            rec->type = ISO_WINDOWS;
        } else {
            if (std::strstr(fields[1], kWindowsWord) != nullptr || std::strstr(fields[1], kLinuxWord) != nullptr) {
                UPG_LOG("%s not standard upgrade ISO type\n", isoNameBak);
            } else {
                UPG_LOG("iso type fault\n");
            }
            return refuse();
        }
    }
    if (count >= 3) {
        char version[kComponentVersionMax];
        if (CutVersion(isoName, version, true) != 0) {
            UPG_LOG("strncpy_s componentVersion failed");
            return refuse();
        }
        if (strncpy_s(rec->curversion, sizeof(rec->curversion), version, std::strlen(version)) != 0) {
            UPG_LOG("strncpy_s curversion failed");
            return refuse();
        }
    }
    if (count == 1) {
        return refuse();
    }
    if (std::strcmp(rec->name, PRODUCT_MODULE) == 0) {
        char chVersionFile[UPGD_PATH_MAX] = {0};
        if (!IsoDirPath(chVersionFile, VERSION_FILE_NAME, "chVersionFile")) {
            return refuse();
        }
        if (access(chVersionFile, R_OK) != 0) {
            UPG_LOG("not install ortavis rpm");
            return refuse();
        }
        if (GetIsoVersion(rec->curversion, VersionKey(rec->type)) != 0) {
            UPG_LOG("GetIsoVersion %s error", VersionKey(rec->type));
            return refuse();
        }
    } else if (count != 3) {
        return refuse();
    }
    UPG_LOG("get %s type %d version:%s", rec->name, rec->type, rec->curversion);
    return 0;
}

MallocText CheckUpgInfo(const ModuleInfo *rec)
{
    if (rec == nullptr || rec->name[0] == '\0' || rec->curversion[0] == '\0') {
        UPG_LOG("CheckUpgInfo failed");
        return nullptr;
    }
    // A field the guest filled to its last byte holds no terminator: such a
    // text is as unusable as a longer one.
    size_t nameLen = strnlen(rec->name, sizeof(rec->name));
    size_t versionLen = strnlen(rec->curversion, sizeof(rec->curversion));
    if (nameLen >= sizeof(rec->name) || versionLen >= sizeof(rec->curversion)) {
        UPG_LOG("check upgrade info failed, %x-%d-%d", static_cast<unsigned>(rec->rescode), static_cast<int>(nameLen),
                static_cast<int>(versionLen));
        return nullptr;
    }
    constexpr size_t kIsoNameBuf = 128;
    MallocText iso(static_cast<char *>(calloc(1, kIsoNameBuf)));
    if (!iso) {
        return nullptr;
    }
    if (strncpy_s(iso.get(), kIsoNameBuf, rec->name, nameLen) != 0) {
        UPG_LOG("strncpy_s name failed");
        return nullptr;
    }
    if (rec->type == ISO_LINUX || rec->type == ISO_WINDOWS) {
        const char *word = rec->type == ISO_LINUX ? kLinuxWord : kWindowsWord;
        if (strncat_s(iso.get(), kIsoNameBuf, "-", 1) != 0 ||
            strncat_s(iso.get(), kIsoNameBuf, word, std::strlen(word)) != 0) {
            if (rec->type == ISO_LINUX) {
                UPG_LOG("strcat linux failed");
            } else {
                UPG_LOG("strcat windows failed");
            }
            return nullptr;
        }
    } else {
        UPG_LOG("iso name not distinguish os type");
    }
    if (std::strcmp(rec->name, PRODUCT_MODULE) != 0 &&
        (strncat_s(iso.get(), kIsoNameBuf, "-", 1) != 0 ||
         strncat_s(iso.get(), kIsoNameBuf, rec->curversion, versionLen) != 0)) {
        UPG_LOG("strncpy_s curversion failed");
        return nullptr;
    }
    if (strncat_s(iso.get(), kIsoNameBuf, kIsoSuffix, std::strlen(kIsoSuffix)) != 0) {
        UPG_LOG("strcat .iso failed");
        return nullptr;
    }
    return iso;
}

// ---- ISO repository --------------------------------------------------------------

int LoadIsoList()
{
    FreeIsoNodes(isoList.next);
    isoList.next = nullptr;
    DirStream dir(opendir(g_chISORealPath));
    if (!dir) {
        UPG_LOG("opendir failed");
        return -1;
    }
    while (const dirent *entry = readdir(dir.get())) {
        if (!IsIsoCandidate(entry)) {
            continue;
        }
        IsoNode *node = ReadIsoEntry(entry->d_name);
        if (node == nullptr) {
            continue;
        }
        // Offered is what can be attached: nothing a guest would ask for in vain.
        if (const char *why = WhyNotAttachable(*node)) {
            UPG_LOG("iso %s left out: %s", node->name, why);
            delete node;
            continue;
        }
        AddIsoNode(node);
    }
    return 0;
}

int ClearIsoNode(IsoNode *head, IsoNode *node)
{
    for (IsoNode *prev = head; prev != nullptr; prev = prev->next) {
        if (prev->next == node && node != nullptr) {
            prev->next = node->next;
            UPG_LOG("clear iso node : %s", node->name);
            return 1;
        }
    }
    return 0;
}

int LoadIsoModules(VmMsg *msg)
{
    ObjectLockGuard guard(GetIsoList());
    if (LoadIsoList() != 0) {
        return -1;
    }
    int filled = 0;
    while (IsoNode *node = isoList.next) {
        if (filled < VM_MSG_MODULE_MAX) {
            OfferRecord(*node, &msg->module[filled++]);
        }
        (void)ClearIsoNode(&isoList, node);
        delete node;
    }
    return filled;
}

bool IsoOffered(const char *isoName)
{
    if (isoName == nullptr || std::strchr(isoName, '/') != nullptr) {
        return false;
    }
    ObjectLockGuard guard(GetIsoList());
    if (LoadIsoList() != 0) {
        return false;
    }
    bool offered = false;
    for (IsoNode *node = isoList.next; node != nullptr && !offered; node = node->next) {
        offered = std::strcmp(node->name, isoName) == 0;
    }
    FreeIsoNodes(isoList.next);
    isoList.next = nullptr;
    return offered;
}

bool IsoFileInDir(const char *isoName)
{
    char path[UPGD_PATH_MAX] = {0};
    if (!IsoDirPath(path, isoName, "isoPath")) {
        return false;
    }
    MallocText file(realpath(path, nullptr));
    MallocText dir(realpath(g_chISORealPath, nullptr));
    struct stat st {};
    if (!file || !dir || stat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    const char *slash = std::strrchr(file.get(), '/');
    size_t dirLen = std::strlen(dir.get());
    return slash != nullptr && static_cast<size_t>(slash - file.get()) == dirLen &&
           std::strncmp(file.get(), dir.get(), dirLen) == 0;
}

int ScanModuleIsos(const char *dirPath, VmMsg *msg)
{
    if (dirPath == nullptr) {
        UPG_LOG("dirPath is NULL");
        return -1;
    }
    DirStream dir(opendir(dirPath));
    if (!dir) {
        UPG_LOG("opendir failed");
        return -1;
    }
    char wanted[sizeof(msg->module[0].name)] = {0};
    (void)strncpy_s(wanted, sizeof(wanted), msg->module[0].name, sizeof(wanted) - 1);
    int count = 0;
    while (const dirent *entry = readdir(dir.get())) {
        if (count >= VM_MSG_MODULE_MAX) {
            break;
        }
        if (!IsIsoCandidate(entry)) {
            continue;
        }
        char isoName[32] = {0};
        if (strncpy_s(isoName, sizeof(isoName), entry->d_name, sizeof(isoName) - 1) != 0) {
            UPG_LOG("strncpy_s isoName failed");
            continue;
        }
        char *save = nullptr;
        const char *module = strtok_r(isoName, "-", &save);
        if (module != nullptr && std::strcmp(module, wanted) == 0 &&
            parseModuleIsoName(entry->d_name, &msg->module[count]) == 0) {
            ++count;
        }
    }
    return count;
}
