// What the files of ortavis-upgctl share: the exit statuses, the options
// and the output, the connection, and each area's entry points, under the
// file that defines them (ortavis_upgctl.cc tells which file holds what).
// The tool's own; not installed.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "ortavis_upgclient_owners.h"

namespace upgctl {

using Json = nlohmann::ordered_json;

inline constexpr const char *kProg = "ortavis-upgctl";
inline constexpr int kDefaultTimeout = 10;   // seconds, the library's own wait

// ---- Exit statuses (ortavis_upgctl_output.cc) -----------------------------

enum Exit : int {
    kExitOk = 0,
    kExitRefused = 1,
    kExitUsage = 2,
    kExitUnreachable = 3,
    kExitGuestSilent = 4,
    kExitGuestFailure = 5,
};

struct ExitInfo {
    int exit;
    const char *code;      // the "code" of a JSON answer; fixed
    const char *meaning;   // for --help
    int rank;              // status: the VM with the highest rank decides
};

const ExitInfo &Info(int exit);
void PrintExitTable();   // for --help

// ---- Options and output (ortavis_upgctl_output.cc) ------------------------

struct Options {
    bool json = false;
    bool quiet = false;
    int timeout = kDefaultTimeout;
    const char *modules = nullptr;   // status -m
    bool wait = false;               // upgrade --wait
};
extern Options g_opt;
extern const char *g_command;   // for the JSON object of a usage error

void PrintJson(const Json &o);
void PrintLine(const std::string &line);
void Complain(const std::string &what);
void Warn(const std::string &what);
__attribute__((format(printf, 1, 2))) int Usage(const char *fmt, ...);

// What a request came to: its exit status and, unless done, why.
struct Outcome {
    int exit = kExitOk;
    std::string why;
};

void PutOutcome(Json &o, const Outcome &out);
Outcome NoConnection(int err);

using Handle = UpgHandle;

Handle Connect();

std::string Printable(std::string_view s);
void PrintTable(const std::vector<std::vector<std::string>> &rows);

// ---- Requests (ortavis_upgctl_requests.cc) --------------------------------

int TextCommand(unsigned type, const char *vm, const char *module, int value);
int Control(Json o, int action, int interval, const char *para, const std::string &done,
            const std::vector<std::string> &notRunning = {});
std::vector<std::string> SplitVmList(std::string_view list);
std::vector<std::string> NotRunning(const std::vector<std::string> &names);
int Status(char **vms, int count, const std::vector<std::string> &modules);

// ---- The host at a glance (ortavis_upgctl_glance.cc) ----------------------

using HostState = UpgState;

HostState FetchState(const char *request, int *exit);
int List();
int ShowInfo();
int Metrics();
int FollowRun(const std::vector<std::string> &names, uint32_t runsBefore, bool activeBefore);

}  // namespace upgctl
