// The guest agent probe.
//
// The command is "virsh qemu-agent-command --timeout 1 <vm>
// {"execute":"guest-ping"}", run through the command runner as an argument
// vector, so no shell ever sees the VM name (which must still pass
// checkCmdParam first). The first line of its output is judged: a reply
// holding "return":{} means the agent answered.
#include "ortavis_upgd_probe.h"


#include <cstdlib>
#include <cstring>
#include <memory>

#include "ortavis_upgd_log.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_seccmd.h"
#include "ortavis_upgd_task.h"

namespace {

constexpr int kPatientAttempts = 12;
constexpr unsigned kPatientPauseSeconds = 5;
constexpr int kAttemptTimeoutMs = 30 * 1000;
constexpr size_t kLineMax = 256;
constexpr const char *kGuestPing = "{\"execute\":\"guest-ping\"}";
constexpr const char *kSuccessMark = "\"return\":{}";
constexpr size_t kShortestReply = 10;

bool IsParamChar(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '/' || c == ':' || c == '_';
}

// One attempt: the command's result (exit status, or the runner's timeout
// status), or -1 when it could not be run. `line` gets the first line of its
// output, newline included, at most 255 characters.
int PingOnce(const char *vmName, char (&line)[kLineMax])
{
    char *argv[] = {const_cast<char *>("virsh"), const_cast<char *>("qemu-agent-command"),
                    const_cast<char *>("--timeout"), const_cast<char *>("1"),
                    const_cast<char *>(vmName), const_cast<char *>(kGuestPing), nullptr};
    char *rawOut = nullptr;
    int status = -1;
    int ret = seccmd_run_argset_timeout(&rawOut, &status, kAttemptTimeoutMs, argv, nullptr);
    MallocText out(rawOut);
    if (ret != 0) {
        return -1;
    }
    if (out) {
        const char *nl = std::strchr(out.get(), '\n');
        size_t len = nl != nullptr ? static_cast<size_t>(nl - out.get()) + 1 : std::strlen(out.get());
        (void)strncpy_s(line, kLineMax, out.get(), len < kLineMax - 1 ? len : kLineMax - 1);
    }
    UPG_LOG("ret is %d and pszBuffer is %s", status, line);
    return status;
}

}  // namespace

int checkCmdParam(const char *param)
{
    if (param == nullptr || param[0] == '-') {
        return -1;
    }
    for (const char *p = param; *p != '\0'; ++p) {
        if (!IsParamChar(static_cast<unsigned char>(*p))) {
            return -1;
        }
    }
    return 0;
}

int pingVmGuestAgent(const char *vmName, int mode)
{
    int attempts = mode == PING_MODE_PATIENT ? kPatientAttempts : 1;
    unsigned pause = mode == PING_MODE_PATIENT ? kPatientPauseSeconds : 0;
    for (int attempt = 1;; ++attempt) {
        if (checkCmdParam(vmName) != 0) {
            UPG_LOG("The vmname is invalid");
            return 0;
        }
        char line[kLineMax];
        if (memset_s(line, sizeof(line), 0, sizeof(line)) != 0) {
            UPG_LOG("memset_s failed");
        }
        if (PingOnce(vmName, line) == 0) {
            if (line[0] == '\0') {
                UPG_LOG("domname %s, qemu-agent-command ping execute failed", vmName);
                return 0;
            }
            if (std::strlen(line) > kShortestReply && std::strstr(line, kSuccessMark) != nullptr) {
                return 1;
            }
            UPG_LOG("%s get wrong output %s", vmName, line);
            return 0;
        }
        if (pause != 0) {
            if (!SleepUnlessStopping(static_cast<int>(pause * 1000))) {
                return 0;
            }
        }
        if (attempt >= attempts) {
            UPG_LOG("domname %s, qemu-agent-command ping execute failed", vmName);
            return 0;
        }
    }
}
