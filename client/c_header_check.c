/* Compiled as C only to keep the public headers free of C++. */
#include "ortavis_upgclient.h"

int upgclient_c_header_check(void);

int upgclient_c_header_check(void)
{
    UpgClientHandle *handle = upgClientConnect(1);
    UpgClientModuleReply mod;
    char *text = upgClientHealthCheck(handle, "vm", UPG_CHECK_HEALTH);
    (void)upgClientSetTimeout(handle, UPGCLIENT_VERSION_NUMBER > 0 ? 10 : 1);
    (void)upgClientParseModuleReply(text, &mod);
    return upgClientClose(handle) + (mod.rescode == UPGRADE_PENDING_STATE) + (int)ISO_LINUX;
}
