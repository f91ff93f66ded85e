// The management channel: the server thread on "/var/run/upgraded_manage"
// (ortavis_upgd_manage_server.cc), the dispatch of a client's requests on
// pool workers, and upgrade control (the periodic upgrade, runs of chosen VMs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ortavis_upgd_message.h"
#include "ortavis_upgd_msg.h"

inline constexpr const char *MANAGE_SOCKET_PATH = "/var/run/upgraded_manage";
// Client connections open at once; past it the one idle longest is closed.
// An idle connection costs a descriptor and a reader of under a kilobyte.
inline constexpr size_t MANAGE_CLIENTS_MAX = 1024;
inline constexpr int UPG_INTERVAL_MIN = UPGD_INTERVAL_MIN;   // minutes, as the clients check them
inline constexpr int UPG_INTERVAL_MAX = UPGD_INTERVAL_MAX;   // 365 days

// Outcome codes of an upgrade-control request.
inline constexpr int32_t UPG_CTRL_OK = 0;
inline constexpr int32_t UPG_CTRL_BAD_PARA = 1;
inline constexpr int32_t UPG_CTRL_RUNNING = 2;
inline constexpr int32_t UPG_CTRL_NO_VM = 3;
inline constexpr int32_t UPG_CTRL_BAD_FIELDS = 5;

// What dealWithCmdMsg made of one request.
inline constexpr int CMD_MSG_FAILED = -1;
inline constexpr int CMD_MSG_DONE = 0;
inline constexpr int CMD_MSG_CLOSED = 1;   // the client asked to close: its connection is closed

// Thread routine: creates the socket and serves every client on it until the
// daemon stops.
void *dealWithCmd(void *arg);
// Dispatches one whole request of the client, on a pool worker; a request
// that could not be read is answered with its reader's code.
int dealWithCmdMsg(const std::shared_ptr<ClientConn> &client, HostRequest &request);
// Upgrade control (type 5): always answers the client with an outcome code.
void doUpgCtrl(const std::shared_ptr<ClientConn> &client, MsgHeadInfo *head, const uint8_t *body, size_t len);

// The interval timer whose SIGALRM asks for an upgrade run.
void InitTimer(unsigned int seconds);
void UninitTimer();
// At start-up: arms the timer with the interval stored in upgrade.conf, when
// it is not 0.
void InitUpgradeInterval();
// True when libvirt reports the VM's domain running.
bool CheckVmRunning(const char *vmName);
