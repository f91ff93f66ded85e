/* Compiled as C only to keep the public header free of C++. */
#include "ortavis_upgclient.h"

int upgclient_c_header_check(void);

int upgclient_c_header_check(void)
{
    UpgClientHandle *handle = upgClientConnect(1);
    char *text = upgClientHealthCheck(handle, "vm", 1);
    (void)text;
    return upgClientClose(handle);
}
