// ortavis-upgctl's exit statuses and output, and its connection to the
// daemon. Each exit status has a fixed word, the "code" of every JSON answer,
// and a rank: of several answers (status, list) the one with the highest rank
// decides the exit. With --json each answer is one JSON object on one line;
// otherwise the daemon's text as it is, one line for a control result, or a
// table. -q silences stdout and warnings; complaints still go to stderr.
//
// Guest text (module names, versions, check results) is the guest's to choose:
// JSON output escapes it to plain ASCII, and the status table shows any byte
// that is not printable ASCII as \xNN.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "ortavis_upgctl_internal.h"

namespace upgctl {

// ---- Exit statuses ----------------------------------------------------------

constexpr ExitInfo kExits[] = {
    {kExitOk, "ok", "done; where a guest was asked, it reports success", 0},
    {kExitRefused, "refused", "the daemon refused the request or failed", 2},
    {kExitUsage, "usage", "usage error; nothing was sent", 5},
    {kExitUnreachable, "unreachable", "the daemon cannot be reached or broke off the connection", 4},
    {kExitGuestSilent, "guest-silent", "the VM's guest tools gave no answer in time (--timeout)", 3},
    {kExitGuestFailure, "guest-failure",
     "the guest answered with a failure or a finding (a module\n"
     "                    result other than 0; a check code 9, 4, 2, 3, 5 or 13)", 1},
};

const ExitInfo &Info(int exit)
{
    return kExits[exit];
}

void PrintExitTable()
{
    std::printf("\nExit status:\n");
    for (const ExitInfo &e : kExits) {
        std::printf("  %d  %-13s  %s\n", e.exit, e.code, e.meaning);
    }
}

// ---- Options and output -------------------------------------------------------

Options g_opt;
const char *g_command = nullptr;   // for the JSON object of a usage error

// One JSON object a line, in plain ASCII; bytes that are not UTF-8 become U+FFFD.
void PrintJson(const Json &o)
{
    if (!g_opt.quiet) {
        std::printf("%s\n", o.dump(-1, ' ', true, Json::error_handler_t::replace).c_str());
    }
}

void PrintLine(const std::string &line)
{
    if (!g_opt.quiet && !g_opt.json) {
        std::printf("%s\n", line.c_str());
    }
}

void Complain(const std::string &what)
{
    std::fprintf(stderr, "%s: %s\n", kProg, what.c_str());
}

// A warning is for a person: -q drops it.
void Warn(const std::string &what)
{
    if (!g_opt.quiet) {
        Complain("warning: " + what);
    }
}

__attribute__((format(printf, 1, 2))) int Usage(const char *fmt, ...)
{
    char what[640];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(what, sizeof(what), fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "%s: %s (see '%s --help')\n", kProg, what, kProg);
    if (g_opt.json) {
        Json o;
        if (g_command != nullptr) {
            o["request"] = g_command;
        }
        o["code"] = Info(kExitUsage).code;
        o["error"] = what;
        PrintJson(o);
    }
    return kExitUsage;
}

void PutOutcome(Json &o, const Outcome &out)
{
    o["code"] = Info(out.exit).code;
    if (!out.why.empty()) {
        o["error"] = out.why;
    }
}

Outcome NoConnection(int err)
{
    std::string why = std::string("cannot connect to " UPGD_MANAGE_SOCKET ": ") + std::strerror(err);
    if (err == ENOENT || err == ECONNREFUSED) {
        why += " (is the daemon running? see 'systemctl status ortavis-upgd')";
    }
    return {kExitUnreachable, why};
}

// A connection with the wait of --timeout, or null with errno set.
Handle Connect()
{
    Handle h(upgClientConnect(AF_UNIX));
    if (h && upgClientSetTimeout(h.get(), g_opt.timeout) != 0) {
        return Handle();
    }
    return h;
}

// Guest text for a terminal: printable ASCII as it is, anything else \xNN.
std::string Printable(std::string_view s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

void PrintTable(const std::vector<std::vector<std::string>> &rows)
{
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto &row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            width[i] = std::max(width[i], row[i].size());
        }
    }
    for (const auto &row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line.append(width[i] - row[i].size() + 2, ' ');
            }
        }
        PrintLine(line);
    }
}

}  // namespace upgctl
