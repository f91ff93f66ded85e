// The wire formats: the request-body parsers over hostile bytes, and the
// dumps that make the log a transcript (via /dev/log). The header and the
// reply texts are read off the real daemon's socket by the other suites.
#include "ortavis_upgd_wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "upgd_sandbox.h"

namespace {

static_assert(std::endian::native == std::endian::little,
              "the expected bytes below are written for a little-endian host");

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

Bytes LE32(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

Bytes Text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// ---- Request bodies --------------------------------------------------------------

enum class Body { Action, Query, Control };

// Parses body as `kind`: the return value and the fields read, joined by '|'.
std::pair<int, std::string> Parse(Body kind, const uint8_t *body, size_t len)
{
    char name[VM_NAME_FIELD], mod[MOD_NAME_FIELD];
    std::memset(name, 'x', sizeof(name));
    uint32_t action = 0;
    UpgCtrlBody c;
    int ret = kind == Body::Action  ? parseActionBody(body, len, &action, name)
              : kind == Body::Query ? parseQueryBody(body, len, name, mod)
                                    : parseControlBody(body, len, &c);
    if (ret != 0) {
        return {ret, ""};
    }
    return {ret, kind == Body::Action  ? std::string(name) + "|" + std::to_string(action)
                 : kind == Body::Query ? std::string(name) + "|" + mod
                                       : std::to_string(c.actionType) + "|" + std::to_string(c.intervalTime) + "|" +
                                             c.para};
}

TEST(WireRequestBodies, ParsersBoundEveryLengthAndSayWhy)
{
    upgd_test::LogCollector log;
    const std::string v127(127, 'v'), v128(128, 'v'), m15(15, 'm'), m16(16, 'm'), p512(512, 'p');
    const Body A = Body::Action, Q = Body::Query, C = Body::Control;
    const std::string noVm = "can't get vmName from msgBody.", noAction = "can't get action_type from msgBody.";
    const std::string copyVm = "strncpy_s vmName failed", noMod = "can't get modName from msgBody.";
    const std::string noPara = "get para length 0, maybe more than 513";
    // A row's body, in a zero-filled 525-byte buffer, parses to `parsed` (empty: refused) and logs `log`.
    struct Row { Body kind; const char *what; Bytes body; std::string parsed; std::string log; };
    const std::vector<Row> rows = {
        {A, "name of 127", Cat({LE32(127), Text(v127), LE32(0xFFFFFFFFu)}), v127 + "|4294967295", ""},
        {A, "vmNameLen 128", Cat({LE32(128), Text(v128), LE32(1)}), "", noVm + " len:128"},
        {A, "vmNameLen -1", Cat({LE32(0xFFFFFFFFu), Text("ab"), LE32(1)}), "", noVm + " len:-1"},
        {A, "action_type 0", Cat({LE32(2), Text("ab"), LE32(0)}), "", noAction},
        {A, "action_type cut off", Cat({LE32(2), Text("ab"), Bytes{1, 0}}), "ab|1", ""},
        {A, "action_type missing", Cat({LE32(2), Text("ab")}), "", noAction},
        {A, "name with a NUL inside", Cat({LE32(5), Bytes{'a', 'b', 0, 'c', 'd'}, LE32(3)}), "ab|3", ""},
        {A, "empty body", {}, "", noVm + " len:0"},
        {Q, "name of 127, module of 15", Cat({LE32(127), Text(v127), LE32(15), Text(m15)}), v127 + "|" + m15, ""},
        {Q, "vmNameLen 128 without NUL", Cat({LE32(128), Text(v128), LE32(1), Text("m")}), "", copyVm},
        {Q, "vmNameLen 128 with a NUL", Cat({LE32(128), Text("abc"), Bytes(125, 0), LE32(1), Text("m")}), "abc|m",
         ""},
        {Q, "vmNameLen 129", Cat({LE32(129), Text(v128), Text("v"), LE32(1), Text("m")}), "", noVm},
        {Q, "vmNameLen 0", Cat({LE32(0), LE32(1), Text("m")}), "", noVm},
        {Q, "vmNameLen -1", Cat({LE32(0xFFFFFFFFu), LE32(1), Text("m")}), "", copyVm},
        {Q, "modNameLen 0", Cat({LE32(2), Text("vm"), LE32(0)}), "", noMod},
        {Q, "modNameLen 16", Cat({LE32(2), Text("vm"), LE32(16), Text(m16)}), "", noMod},
        {Q, "modNameLen -1", Cat({LE32(2), Text("vm"), LE32(0xFFFFFFFFu), Text("m")}), "", "strncpy_s modName failed"},
        {Q, "modName missing", Cat({LE32(2), Text("vm"), LE32(3)}), "vm|", ""},
        {C, "para of 512", Cat({LE32(1), LE32(0), LE32(512), Text(p512)}), "1|0|" + p512, ""},
        {C, "para length 513", Cat({LE32(1), LE32(0), LE32(513), Text(p512), Text("p")}), "",
         "get para length 513, maybe more than 513"},
        {C, "para length 0", Cat({LE32(1), LE32(0), LE32(0)}), "", noPara},
        {C, "para length -1", Cat({LE32(1), LE32(0), LE32(0xFFFFFFFFu), Text("no")}), "",
         "strncpy_s upgrade_para failed"},
        {C, "signed numbers stay signed", Cat({LE32(0xFFFFFFFEu), LE32(0xFFFFFFFFu), LE32(2), Text("no")}),
         "-2|-1|no", ""},
        {C, "para cut by the body's end", Cat({LE32(2), LE32(0), LE32(10), Text("ab")}), "2|0|ab", ""},
        {C, "para starting with NUL", Cat({LE32(1), LE32(0), LE32(3), Bytes{0, 'a', 'b'}}), "1|0|", ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        uint8_t buf[HOST_MSG_BODY_BUF] = {};
        std::copy(r.body.begin(), r.body.end(), buf);
        std::pair<int, std::string> got;
        EXPECT_EQ(log.TextsLoggedBy([&] { got = Parse(r.kind, buf, r.body.size()); }),
                  r.log.empty() ? Lines{} : Lines{r.log});
        EXPECT_EQ(got.first, r.parsed.empty() ? -1 : 0);
        EXPECT_EQ(got.second, r.parsed);
        // Exactly the body bytes, with nothing around them to lean on.
        EXPECT_EQ(Parse(r.kind, r.body.data(), r.body.size()), got);
    }
    // Bytes past len are never seen, though the buffer goes on.
    EXPECT_EQ(Parse(A, Cat({LE32(2), Text("ab"), LE32(7)}).data(), 6).first, -1);
    EXPECT_EQ(Parse(Q, Cat({LE32(4), Text("abcd"), LE32(1), Text("m")}).data(), 6).first, -1);
    EXPECT_EQ(Parse(A, nullptr, 100).first, -1);
}

// ---- Dumps ---------------------------------------------------------------------------------

TEST(WireLog, DumpsBoundEachFieldAndTellUnknownTypes)
{
    // (Known types' dumps are read in message_test, as the I/O logs them.)
    upgd_test::LogCollector log;
    VmMsg msg{};
    msg.msgId = 77;
    msg.msgType = 15;   // one past the last guest type
    msg.moduleNum = 2;
    msg.module[0] = ModuleInfo{-3, {}, {}, "1.0", "2.0", {}, 3, 0};
    std::memset(msg.module[0].name, 'N', sizeof(msg.module[0].name));   // runs into curversion
    std::memset(msg.module[0].checkresult, 'R', sizeof(msg.module[0].checkresult));
    EXPECT_EQ(log.TextsLoggedBy([&] { dumpVmMsg(&msg); }),
              (Lines{"unknown vm msg type: 15", "vmMsg->msgId                 = 77",
                     "vmMsg->msgType               = ", "vmMsg->moduleNum             = 2",
                     "vmMsg->module[0].rescode     = -3", "vmMsg->module[0].name        = " + std::string(16, 'N'),
                     "vmMsg->module[0].curversion  = 1.0", "vmMsg->module[0].tarversion  = 2.0",
                     "vmMsg->module[0].checkresult = " + std::string(23, 'R'),
                     "vmMsg->module[0].type        = ISO_WINDOWS"}));
    MsgHeadInfo head = MakeHostHead(3, 8, 0, 0);   // one past the last host type
    EXPECT_EQ(log.TextsLoggedBy([&] { dumpHostMsg(&head, nullptr, 0); }),
              (Lines{"unknown host msg type: 8", "hostMsg->head.msgId   = 3", "hostMsg->head.msgType = ",
                     "hostMsg->head.bufLen  = 0", "hostMsg->head.result  = 0"}));
}

}  // namespace
