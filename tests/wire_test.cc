// The wire formats: builders against hand-written bytes (offsets written out
// here, not taken from the records), parsers over hostile bytes, reply texts
// and their bounds, and the parsers' and dumps' log lines (via /dev/log).
#include "ortavis_upgd_wire.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include "upgd_sandbox.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

static_assert(std::endian::native == std::endian::little,
              "the expected bytes below are written for a little-endian host");

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

Bytes LE32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
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

template <typename T>
Bytes Raw(const T &v)
{
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&v);
    return Bytes(p, p + sizeof(v));
}

// A 568-byte image with the given bytes set at hand-written offsets.
Bytes VmImage(std::initializer_list<std::pair<size_t, Bytes>> fields)
{
    Bytes out(568, 0);
    for (const auto &[off, bytes] : fields) {
        std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<long>(off));
    }
    return out;
}


// ---- Request bodies --------------------------------------------------------------

TEST(WireRequestBodies, BuildersLayOutExactBytesAndRefuseOutOfRange)
{
    const std::string v127(127, 'v'), v128(128, 'v'), m15(15, 'm'), m16(16, 'm'), p512(512, 'p'),
        p513(513, 'p');
    using Build = std::function<int(uint8_t *, size_t)>;
    auto action = [](const char *vm, uint32_t a) {
        return Build([=](uint8_t *o, size_t n) { return BuildActionBody(o, n, vm, a); });
    };
    auto query = [](const char *vm, const char *mod) {
        return Build([=](uint8_t *o, size_t n) { return BuildQueryBody(o, n, vm, mod); });
    };
    auto control = [](int32_t a, int32_t interval, const char *para) {
        return Build([=](uint8_t *o, size_t n) { return BuildControlBody(o, n, a, interval, para); });
    };
    struct Row { const char *what; Build build; size_t room; Bytes want; };   // want empty: refused
    const std::vector<Row> rows = {
        {"action", action("vm1", 2), 64, {3, 0, 0, 0, 'v', 'm', '1', 2, 0, 0, 0}},
        {"action at its limits", action(v127.c_str(), 0xFFFFFFFFu), 525,
         Cat({LE32(127), Text(v127), LE32(0xFFFFFFFFu)})},
        {"action in exactly its room", action("vm", 1), 10, Cat({LE32(2), Text("vm"), LE32(1)})},
        {"action, a byte short", action("vm", 1), 9, {}},
        {"action, empty name", action("", 1), 525, {}},
        {"action, no name", action(nullptr, 1), 525, {}},
        {"action, name of 128", action(v128.c_str(), 1), 525, {}},
        {"action 0", action("vm", 0), 525, {}},
        {"query", query("web01", "m1"), 64, {5, 0, 0, 0, 'w', 'e', 'b', '0', '1', 2, 0, 0, 0, 'm', '1'}},
        {"query at its limits", query(v127.c_str(), m15.c_str()), 525,
         Cat({LE32(127), Text(v127), LE32(15), Text(m15)})},
        {"query, module of 16", query("vm", m16.c_str()), 525, {}},
        {"query, empty module", query("vm", ""), 525, {}},
        {"query, name of 128", query(v128.c_str(), "m"), 525, {}},
        {"control", control(1, 60, "no"), 64, {1, 0, 0, 0, 60, 0, 0, 0, 2, 0, 0, 0, 'n', 'o'}},
        {"control at its limits, signed", control(-1, -5, p512.c_str()), 525,
         Cat({LE32(0xFFFFFFFFu), LE32(0xFFFFFFFBu), LE32(512), Text(p512)})},
        {"control, empty para", control(1, 0, ""), 525, {}},
        {"control, para of 513", control(1, 0, p513.c_str()), 525, {}},
        {"control, a byte short", control(1, 0, "no"), 13, {}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Bytes out(r.room, 0xEE);
        int len = r.build(out.data(), out.size());
        if (r.want.empty()) {
            EXPECT_EQ(len, -1);
            continue;
        }
        ASSERT_EQ(len, static_cast<int>(r.want.size()));
        EXPECT_EQ(Bytes(out.begin(), out.begin() + len), r.want);
    }
}

enum class Body { Action, Query, Control };

// Parses body as `kind`: the return value and the fields read, joined by '|'.
std::pair<int, std::string> Parse(Body kind, const uint8_t *body, size_t len)
{
    char name[VM_NAME_FIELD];
    std::memset(name, 'x', sizeof(name));
    int ret = -9;
    std::string fields;
    if (kind == Body::Action) {
        uint32_t action = 0;
        ret = parseActionBody(body, len, &action, name);
        fields = std::string(name) + "|" + std::to_string(action);
    } else if (kind == Body::Query) {
        char mod[MOD_NAME_FIELD];
        ret = parseQueryBody(body, len, name, mod);
        fields = std::string(name) + "|" + mod;
    } else {
        UpgCtrlBody c;
        ret = parseControlBody(body, len, &c);
        fields = std::to_string(c.actionType) + "|" + std::to_string(c.intervalTime) + "|" + c.para;
    }
    return {ret, ret == 0 ? fields : ""};
}

TEST(WireRequestBodies, ParsersBoundEveryLengthAndSayWhy)
{
    upgd_test::LogCollector log;
    const std::string v127(127, 'v'), v128(128, 'v'), m15(15, 'm'), m16(16, 'm'), p512(512, 'p');
    const Body A = Body::Action, Q = Body::Query, C = Body::Control;
    const std::string noVm = "can't get vmName from msgBody.", noAction = "can't get action_type from msgBody.";
    const std::string copyVm = "strncpy_s vmName failed", noMod = "can't get modName from msgBody.";
    // A row's body, in a zero-filled 525-byte buffer, parses to `parsed` (empty: refused) and logs `log`.
    struct Row { Body kind; const char *what; Bytes body; std::string parsed; std::string log; };
    const std::vector<Row> rows = {
        {A, "sound", Cat({LE32(2), Text("ab"), LE32(1)}), "ab|1", ""},
        {A, "name of 127", Cat({LE32(127), Text(v127), LE32(0xFFFFFFFFu)}), v127 + "|4294967295", ""},
        {A, "vmNameLen 0", Cat({LE32(0), LE32(1)}), "", noVm + " len:0"},
        {A, "vmNameLen 128", Cat({LE32(128), Text(v128), LE32(1)}), "", noVm + " len:128"},
        {A, "vmNameLen -1", Cat({LE32(0xFFFFFFFFu), Text("ab"), LE32(1)}), "", noVm + " len:-1"},
        {A, "vmNameLen INT_MAX", Cat({LE32(0x7FFFFFFFu), Text("ab")}), "", noVm + " len:2147483647"},
        {A, "action_type 0", Cat({LE32(2), Text("ab"), LE32(0)}), "", noAction},
        {A, "action_type cut off", Cat({LE32(2), Text("ab"), Bytes{1, 0}}), "ab|1", ""},
        {A, "action_type missing", Cat({LE32(2), Text("ab")}), "", noAction},
        {A, "name runs past the body", Cat({LE32(9), Text("abc")}), "", noAction},
        {A, "name with a NUL inside", Cat({LE32(5), Bytes{'a', 'b', 0, 'c', 'd'}, LE32(3)}), "ab|3", ""},
        {A, "empty body", {}, "", noVm + " len:0"},
        {A, "length field cut off", Bytes{2, 0}, "", noAction},
        {Q, "sound", Cat({LE32(2), Text("vm"), LE32(2), Text("m1")}), "vm|m1", ""},
        {Q, "name of 127, module of 15", Cat({LE32(127), Text(v127), LE32(15), Text(m15)}), v127 + "|" + m15, ""},
        {Q, "vmNameLen 128 without NUL", Cat({LE32(128), Text(v128), LE32(1), Text("m")}), "", copyVm},
        {Q, "vmNameLen 128 with a NUL", Cat({LE32(128), Text("abc"), Bytes(125, 0), LE32(1), Text("m")}), "abc|m",
         ""},
        {Q, "vmNameLen 129", Cat({LE32(129), Text(v128), Text("v"), LE32(1), Text("m")}), "", noVm},
        {Q, "vmNameLen 0", Cat({LE32(0), LE32(1), Text("m")}), "", noVm},
        {Q, "vmNameLen -1", Cat({LE32(0xFFFFFFFFu), LE32(1), Text("m")}), "", copyVm},
        {Q, "vmNameLen INT_MIN", Cat({LE32(0x80000000u), LE32(1), Text("m")}), "", copyVm},
        {Q, "modNameLen 0", Cat({LE32(2), Text("vm"), LE32(0)}), "", noMod},
        {Q, "modNameLen 16", Cat({LE32(2), Text("vm"), LE32(16), Text(m16)}), "", noMod},
        {Q, "modNameLen -1", Cat({LE32(2), Text("vm"), LE32(0xFFFFFFFFu), Text("m")}), "", "strncpy_s modName failed"},
        {Q, "modName missing", Cat({LE32(2), Text("vm"), LE32(3)}), "vm|", ""},
        {C, "sound", Cat({LE32(1), LE32(30), LE32(2), Text("no")}), "1|30|no", ""},
        {C, "para of 512", Cat({LE32(1), LE32(0), LE32(512), Text(p512)}), "1|0|" + p512, ""},
        {C, "para length 513", Cat({LE32(1), LE32(0), LE32(513), Text(p512), Text("p")}), "",
         "get para length 513, maybe more than 513"},
        {C, "para length 0", Cat({LE32(1), LE32(0), LE32(0)}), "", "get para length 0, maybe more than 513"},
        {C, "para length -1", Cat({LE32(1), LE32(0), LE32(0xFFFFFFFFu), Text("no")}), "",
         "strncpy_s upgrade_para failed"},
        {C, "signed numbers stay signed", Cat({LE32(0xFFFFFFFEu), LE32(0xFFFFFFFFu), LE32(2), Text("no")}),
         "-2|-1|no", ""},
        {C, "para cut by the body's end", Cat({LE32(2), LE32(0), LE32(10), Text("ab")}), "2|0|ab", ""},
        {C, "para starting with NUL", Cat({LE32(1), LE32(0), LE32(3), Bytes{0, 'a', 'b'}}), "1|0|", ""},
        {C, "empty body", {}, "", "get para length 0, maybe more than 513"},
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
    Bytes action = Cat({LE32(2), Text("ab"), LE32(7)});
    EXPECT_EQ(Parse(A, action.data(), 6).first, -1);
    Bytes query = Cat({LE32(4), Text("abcd"), LE32(1), Text("m")});
    EXPECT_EQ(Parse(Q, query.data(), 6).first, -1);
    EXPECT_EQ(Parse(A, nullptr, 100).first, -1);
}

// ---- Host header ---------------------------------------------------------------------

TEST(WireHostHeader, BytesAndBounds)
{
    uint8_t out[HOST_HEAD_LEN + CLIENT_MSG_BODY_MAX];
    std::memset(out, 0xEE, sizeof(out));
    ASSERT_EQ(BuildHostMsg(out, sizeof(out), 0x0102030405060708ull, 3, 1, "ab", 2), 58);
    EXPECT_EQ(Bytes(out, out + 58),
              Cat({Bytes{8, 7, 6, 5, 4, 3, 2, 1}, LE32(3), LE32(2), LE32(1), Bytes(36, 0), Text("ab")}));
    MsgHeadInfo head;
    ASSERT_EQ(ParseHostHead(out, 58, &head), 0);
    EXPECT_EQ(Raw(head), Bytes(out, out + 56));
    EXPECT_EQ(ParseHostHead(out, 55, &head), -1);

    // A reply echoes msgId and msgType; bufLen and the reserved bytes are zero whatever the request held.
    MsgHeadInfo request;
    std::memset(&request, 0xAB, sizeof(request));
    request.msgId = 1700000000123456ull;
    request.msgType = UPG_MSG_GET_UPG_RES;
    request.bufLen = 77;
    EXPECT_EQ(Raw(MakeReplyHead(request, HOST_RESULT_TOO_LONG)),
              Cat({Bytes{0x40, 0x22, 0x20, 0x18, 0x24, 0x0a, 0x06, 0x00}, LE32(4), LE32(0), LE32(4), Bytes(36, 0)}));

    Bytes body(CLIENT_MSG_BODY_MAX, 'b');
    EXPECT_EQ(BuildHostMsg(out, sizeof(out), 1, 3, 0, body.data(), 524), HOST_HEAD_LEN + 524);
    EXPECT_EQ(BuildHostMsg(out, sizeof(out), 1, 3, 0, body.data(), 525), -1);
    EXPECT_EQ(BuildHostMsg(out, sizeof(out), 1, 3, 0, body.data(), 968, CLIENT_MSG_BODY_MAX), HOST_HEAD_LEN + 968);
    EXPECT_EQ(BuildHostMsg(out, HOST_HEAD_LEN + 3, 1, 3, 0, body.data(), 4), -1);
    EXPECT_EQ(BuildHostMsg(out, sizeof(out), 1, 3, 0, nullptr, 4), -1);
    EXPECT_EQ(BuildHostMsg(out, HOST_HEAD_LEN, 1, 3, 0, nullptr, 0), HOST_HEAD_LEN);
}

// ---- Reply bodies ---------------------------------------------------------------------

ModuleInfo Module(const char *name, const char *cur, int32_t rescode, const char *tar)
{
    ModuleInfo m{};
    std::strncpy(m.name, name, sizeof(m.name));
    std::strncpy(m.curversion, cur, sizeof(m.curversion));
    std::strncpy(m.tarversion, tar, sizeof(m.tarversion));
    m.rescode = rescode;
    return m;
}

TEST(WireReplyBodies, TextsAndTheirBounds)
{
    const std::string v127(127, 'v');
    using Build = std::function<int(char *, size_t)>;
    auto check = [](const char *vm, const char *cr) {
        return Build([=](char *o, size_t n) { return BuildCheckResultBody(o, n, vm, cr); });
    };
    auto state = [](const char *vm, const char *mod, int code) {
        return Build([=](char *o, size_t n) { return BuildModuleStateBody(o, n, vm, mod, code); });
    };
    auto code = [](const char *vm, int c) {
        return Build([=](char *o, size_t n) { return BuildStateCodeBody(o, n, vm, c); });
    };
    auto result = [](const char *vm, ModuleInfo m) {
        return Build([=](char *o, size_t n) { return BuildUpgradeResultBody(o, n, vm, m); });
    };
    // Text fields that fill their field are read to its end and no further.
    ModuleInfo full{};
    std::memset(full.name, 'N', sizeof(full.name));
    std::memset(full.curversion, 'C', sizeof(full.curversion));
    std::memset(full.tarversion, 'T', sizeof(full.tarversion));
    std::memset(full.checkresult, 'R', sizeof(full.checkresult));
    full.rescode = 9;
    const ModuleInfo m1 = Module("m1", "1.0", 2, "2.0");
    // On failure the text ends where the failing piece began.
    struct Row { const char *what; Build build; size_t room; int ret; std::string text; };
    const std::vector<Row> rows = {
        {"check result", check("web01", "0,9"), 600, 0, "web01:{0,9}"},
        {"empty check result", check("web01", ""), 600, 0, "web01:{}"},
        {"143 characters before the brace", check(v127.c_str(), "12345678901234"), CHECK_RESULT_BOUND + 1, 0,
         v127 + ":{12345678901234}"},
        {"144", check(v127.c_str(), "123456789012345"), CHECK_RESULT_BOUND + 1, REPLY_PIECE_CHECKRESULT, v127 + ":{"},
        {"144, larger buffer", check(v127.c_str(), "123456789012345"), 600, REPLY_PIECE_CHECKRESULT, v127 + ":{"},
        {"no VM name", check(nullptr, "0"), 600, REPLY_PIECE_VM_NAME, ""},
        {"one-byte buffer", check("vm", "0"), 1, REPLY_PIECE_OUT, ""},
        {"module state", state("web01", "m1", 2), 600, 0, "web01:{m1,0.0.0.0,2,0.0.0.0}"},
        {"module state 999", state("vm", "m", 999), 64, 0, "vm:{m,0.0.0.0,999,0.0.0.0}"},
        {"module state 1000", state("vm", "m", 1000), 64, REPLY_PIECE_CODE, "vm:{m"},
        {"module state, no module", state("vm", nullptr, 2), 64, REPLY_PIECE_MOD_NAME, "vm:{"},
        {"state code", code("vm-a", 13), 600, 0, "vm-a:{13}"},
        {"state code -100", code("vm", -100), 64, REPLY_PIECE_CODE, "vm:{"},
        {"upgrade result", result("web01", Module("m1", "1.0.1", 2, "1.2.0")), UPGRADE_RESULT_BOUND, 0,
         "web01:{m1,1.0.1,2,1.2.0}"},
        {"negative rescode", result("web01", Module("m1", "1", -1, "2")), UPGRADE_RESULT_BOUND, 0,
         "web01:{m1,1,-1,2}"},
        {"full fields", result("v", full), UPGRADE_RESULT_BOUND, 0,
         "v:{" + std::string(16, 'N') + "," + std::string(16, 'C') + ",9," + std::string(16, 'T') + "}"},
        {"small buffer", result("web01", m1), 12, REPLY_PIECE_CURVERSION, "web01:{m1"},
        {"tiny buffer", result("web01", m1), 4, REPLY_PIECE_VM_NAME, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<char> out(r.room, 'x');
        EXPECT_EQ(r.build(out.data(), out.size()), r.ret);
        if (r.ret != REPLY_PIECE_OUT) {
            size_t n = strnlen(out.data(), out.size());
            ASSERT_LT(n, out.size());
            EXPECT_EQ(std::string(out.data(), n), r.text);
        }
    }
}

// ---- VM messages --------------------------------------------------------------------------

TEST(WireVmMessages, BuildersLayOutExactBytes)
{
    VmMsg msg;
    ASSERT_EQ(BuildVmCheckMsg(&msg, 0x1122334455667788ull, 1), 0);
    EXPECT_EQ(Raw(msg), VmImage({{0, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}}, {8, LE32(1)}}));
    ASSERT_EQ(BuildVmCheckMsg(&msg, 5, 2), 0);
    EXPECT_EQ(Raw(msg), VmImage({{0, {5}}, {8, LE32(2)}}));
    std::memset(&msg, 0x5A, sizeof(msg));
    EXPECT_EQ(BuildVmCheckMsg(&msg, 5, 3), -1);
    EXPECT_EQ(Raw(msg), VmImage({}));

    std::memset(&msg, 0x5A, sizeof(msg));
    BuildVmControlMsg(&msg, 9, 3);
    EXPECT_EQ(Raw(msg), VmImage({{0, {9}}, {8, LE32(12)}, {16, LE32(3)}}));

    std::memset(&msg, 0x5A, sizeof(msg));
    ASSERT_EQ(BuildVmQueryMsg(&msg, 7, "m1"), 0);
    ASSERT_EQ(SetVmModule(&msg, 0, "m1", "1.0", ISO_LINUX), 0);
    ASSERT_EQ(SetVmModule(&msg, 1, "m1", "2.0", ISO_WINDOWS), 0);
    msg.moduleNum = 2;
    // Record i starts at 16 + 92 * i: name +19, curversion +35, type +90.
    EXPECT_EQ(Raw(msg), VmImage({{0, {7}}, {8, LE32(5)}, {12, LE32(2)}, {35, Text("m1")}, {51, Text("1.0")},
                                 {106, {1}}, {127, Text("m1")}, {143, Text("2.0")}, {198, {2}}}));

    // An attach answer is the request byte for byte but for type, moduleNum and rescode; in place too.
    Bytes raw(568);
    for (size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    VmMsg request;
    std::memcpy(&request, raw.data(), sizeof(request));
    BuildVmAttachResp(&msg, request, 2);
    Bytes expected =
        Cat({Bytes(raw.begin(), raw.begin() + 8), LE32(4), LE32(1), LE32(2), Bytes(raw.begin() + 20, raw.end())});
    EXPECT_EQ(Raw(msg), expected);
    BuildVmAttachResp(&request, request, 1);
    expected[16] = 1;
    EXPECT_EQ(Raw(request), expected);
}

TEST(WireVmMessages, UpgradeInfoNeverGrowsPastSixRecords)
{
    VmMsg msg;
    BuildVmUpgradeInfoMsg(&msg);
    const std::string longName = "abcdefghijklmnopqrstuvwxyz";
    for (int i = 0; i < VM_MSG_MODULE_MAX; ++i) {
        ASSERT_EQ(SetVmModule(&msg, i, longName.c_str(), "1.2.3.4.5.6.7.8.9", ISO_LINUX), 0);
    }
    msg.moduleNum = VM_MSG_MODULE_MAX;
    Bytes before = Raw(msg);
    EXPECT_EQ(SetVmModule(&msg, 6, "x", "1", ISO_LINUX), -1);
    EXPECT_EQ(SetVmModule(&msg, -1, "x", "1", ISO_LINUX), -1);
    EXPECT_EQ(Raw(msg), before);
    // Type 3 with msgId 0; names are cut to 15 characters.
    EXPECT_EQ(Bytes(before.begin(), before.begin() + 16), Cat({Bytes(8, 0), LE32(3), LE32(6)}));
    EXPECT_EQ(Bytes(before.begin() + 16 + 5 * 92 + 19, before.begin() + 16 + 5 * 92 + 35),
              Cat({Text(longName.substr(0, 15)), Bytes{0}}));
    EXPECT_EQ(SetVmModule(&msg, 0, nullptr, "1", ISO_LINUX), REPLY_PIECE_MOD_NAME);
    EXPECT_EQ(SetVmModule(&msg, 0, "m", nullptr, ISO_LINUX), REPLY_PIECE_CURVERSION);
}

TEST(WireVmMessages, ParseBoundsLengthAndModuleNum)
{
    struct Row { uint32_t raw; int ret; int32_t usable; };
    for (Row row : {Row{0, VM_MSG_SOUND, 0}, Row{6, VM_MSG_SOUND, 6}, Row{7, VM_MSG_BAD_MODULE_NUM, 6},
                    Row{0xFFFFFFFFu, VM_MSG_BAD_MODULE_NUM, 0}, Row{0x80000000u, VM_MSG_BAD_MODULE_NUM, 0},
                    Row{0x7FFFFFFFu, VM_MSG_BAD_MODULE_NUM, 6}}) {
        SCOPED_TRACE(row.raw);
        Bytes image = VmImage({{8, LE32(6)}, {12, LE32(row.raw)}});
        VmMsgView view;
        EXPECT_EQ(ParseVmMsg(image.data(), image.size(), &view), row.ret);
        EXPECT_EQ(view.moduleNum, static_cast<int32_t>(row.raw));
        EXPECT_EQ(view.usableModules, row.usable);
        EXPECT_EQ(view.msgType, 6u);
    }
    // A partial message leaves the view untouched.
    Bytes image(569, 0);
    for (size_t len : {size_t{0}, size_t{56}, size_t{567}, size_t{569}}) {
        VmMsgView view;
        std::memset(&view, 0x33, sizeof(view));
        EXPECT_EQ(ParseVmMsg(image.data(), len, &view), VM_MSG_BAD_LENGTH) << len;
        EXPECT_EQ(Raw(view), Bytes(sizeof(view), 0x33)) << len;
    }
    VmMsgView view;
    EXPECT_EQ(ParseVmMsg(nullptr, 568, &view), VM_MSG_BAD_LENGTH);
}

TEST(WireVmMessages, ParseCopiesEachFieldWithinIt)
{
    VmMsg msg;
    ASSERT_EQ(BuildVmQueryMsg(&msg, 1234567890123ull, "tools"), 0);
    ASSERT_EQ(SetVmModule(&msg, 0, "tools", "3.1.0", ISO_WINDOWS), 0);
    msg.module[0].rescode = -7;
    std::strcpy(msg.module[0].tarversion, "3.2.0");
    std::strcpy(msg.module[0].checkresult, "1,3");
    Bytes image = Raw(msg);
    VmMsgView view;
    ASSERT_EQ(ParseVmMsg(image.data(), image.size(), &view), VM_MSG_SOUND);
    EXPECT_EQ(view.msgId, 1234567890123ull);
    EXPECT_EQ(view.msgType, UPG_MSG_QUERY_UPGRADE_RESULT_REQ);
    EXPECT_EQ(view.usableModules, 1);
    const VmModuleText &m = view.module[0];
    EXPECT_EQ(m.rescode, -7);
    EXPECT_EQ(std::string(m.name) + "|" + m.curversion + "|" + m.tarversion + "|" + m.checkresult,
              "tools|3.1.0|3.2.0|1,3");
    EXPECT_EQ(m.type, ISO_WINDOWS);
    EXPECT_STREQ(view.module[1].name, "");

    // Not one NUL anywhere: each text stops at the end of its field.
    Bytes full(568, 'X');
    EXPECT_EQ(ParseVmMsg(full.data(), full.size(), &view), VM_MSG_BAD_MODULE_NUM);
    for (const VmModuleText &t : view.module) {
        EXPECT_EQ(std::string(t.name) + "|" + t.curversion + "|" + t.tarversion,
                  std::string(16, 'X') + "|" + std::string(16, 'X') + "|" + std::string(16, 'X'));
        EXPECT_EQ(std::string(t.checkresult), std::string(23, 'X'));
        EXPECT_EQ(t.type, 'X');
    }
}

// ---- Dumps and type names -------------------------------------------------------------

TEST(WireLog, HostDump)
{
    upgd_test::LogCollector log;
    const uint8_t body[] = {'w', 'e', 'b', '0', '1', 'x', 'y', 'z'};
    MsgHeadInfo head = MakeHostHead(1700000000123456ull, UPG_MSG_AUTO_CTRL, 0xFFFFFFFFu, 1);
    Lines want = {"hostMsg->head.msgId   = 1700000000123456", "hostMsg->head.msgType = UPG_MSG_AUTO_CTRL",
                  "hostMsg->head.bufLen  = -1", "hostMsg->head.result  = 1"};
    EXPECT_EQ(log.TextsLoggedBy([&] { dumpHostMsg(&head, nullptr, 0); }), want);   // the header alone
    // A bufLen past the bytes there: only what is there is shown.
    want.push_back("hostMsg->head.buf     = web");
    EXPECT_EQ(log.TextsLoggedBy([&] { dumpHostMsg(&head, body, 3); }), want);
    head.msgType = UPG_MSG_OPEN_CONNECT;
    want[1] = "hostMsg->head.msgType = UPG_MSG_OPEN_CONNECT";
    EXPECT_EQ(log.TextsLoggedBy([&] { dumpHostMsg(&head, body, 3); }), want);
    for (uint32_t type : {0u, 7u, 0xFFFFFFFFu}) {
        MsgHeadInfo unknown = MakeHostHead(3, type, 0, 0);
        EXPECT_EQ(log.TextsLoggedBy([&] { dumpHostMsg(&unknown, body, 0); }),
                  (Lines{"unknown host msg type: " + std::to_string(static_cast<int>(type)),
                         "hostMsg->head.msgId   = 3", "hostMsg->head.msgType = ", "hostMsg->head.bufLen  = 0",
                         "hostMsg->head.result  = 0", "hostMsg->head.buf     = "}));
    }
}

TEST(WireLog, VmDump)
{
    upgd_test::LogCollector log;
    VmMsg msg;
    BuildVmUpgradeInfoMsg(&msg);
    msg.msgId = 77;
    msg.moduleNum = 2;
    msg.module[0].rescode = -3;
    std::memset(msg.module[0].name, 'N', sizeof(msg.module[0].name));   // runs into curversion
    std::strcpy(msg.module[0].curversion, "1.0");
    std::strcpy(msg.module[0].tarversion, "2.0");
    std::memset(msg.module[0].checkresult, 'R', sizeof(msg.module[0].checkresult));
    msg.module[0].type = ISO_LINUX;
    EXPECT_EQ(log.TextsLoggedBy([&] { dumpVmMsg(&msg); }),
              (Lines{"vmMsg->msgId                 = 77",
                     "vmMsg->msgType               = UPG_MSG_START_UPGRADE",
                     "vmMsg->moduleNum             = 2",
                     "vmMsg->module[0].rescode     = -3",
                     "vmMsg->module[0].name        = " + std::string(16, 'N'),
                     "vmMsg->module[0].curversion  = 1.0",
                     "vmMsg->module[0].tarversion  = 2.0",
                     "vmMsg->module[0].checkresult = " + std::string(23, 'R'),
                     "vmMsg->module[0].type        = ISO_LINUX"}));
    // Both ends of the type table, types past them, and type bytes other than ISO_LINUX.
    struct Row { uint32_t type; std::string name; uint8_t iso; };
    for (const Row &r : {Row{1, "UPG_MSG_CHECK_HEALTH", 0}, Row{14, "VM_RSP_UPGRADE_STATE_MSG", 2}, Row{0, "", 3},
                         Row{15, "", 255}, Row{0x80000000u, "", 0}}) {
        SCOPED_TRACE(r.type);
        msg.msgType = r.type;
        msg.module[0].type = r.iso;
        const std::string &name = r.name;
        Lines lines = log.TextsLoggedBy([&] { dumpVmMsg(&msg); });
        ASSERT_EQ(lines.size(), name.empty() ? 10u : 9u);
        if (name.empty()) {
            EXPECT_EQ(lines[0], "unknown vm msg type: " + std::to_string(static_cast<int>(r.type)));
            lines.erase(lines.begin());
        }
        EXPECT_EQ(lines[1], "vmMsg->msgType               = " + name);
        EXPECT_EQ(lines[8], "vmMsg->module[0].type        = ISO_WINDOWS");
    }
}

}  // namespace
