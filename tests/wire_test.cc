// The wire formats: builders against hand-written bytes (offsets written out
// here, not taken from the records), parsers over the same bytes and over
// hostile ones, reply texts and their bounds, and the log lines of the
// parsers and the dumps (read back through the sandbox's /dev/log).
#include "ortavis_upgd_wire.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include "upgd_sandbox.h"

#include <bit>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

static_assert(std::endian::native == std::endian::little,
              "the expected bytes below are written for a little-endian host");

using Bytes = std::vector<uint8_t>;

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

// A request body as the daemon holds it: a zero-filled 525-byte buffer.
struct RequestBuffer {
    explicit RequestBuffer(const Bytes &body)
    {
        std::memcpy(buf, body.data(), std::min(body.size(), sizeof(buf)));
        len = body.size();
    }
    uint8_t buf[HOST_MSG_BODY_BUF] = {};
    size_t len;
};

Bytes Serialize(const VmMsg &msg)
{
    Bytes out(sizeof(msg));
    std::memcpy(out.data(), &msg, sizeof(msg));
    return out;
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

// ---- Request bodies: exact bytes, both ways ------------------------------------

TEST(WireRequestBodies, ActionBodyBytes)
{
    uint8_t out[64];
    ASSERT_EQ(BuildActionBody(out, sizeof(out), "vm1", 2), 11);
    Bytes expected = {3, 0, 0, 0, 'v', 'm', '1', 2, 0, 0, 0};
    EXPECT_EQ(Bytes(out, out + 11), expected);

    RequestBuffer req(expected);
    uint32_t action = 0;
    char name[VM_NAME_FIELD];
    ASSERT_EQ(parseActionBody(req.buf, req.len, &action, name), 0);
    EXPECT_STREQ(name, "vm1");
    EXPECT_EQ(action, 2u);
}

TEST(WireRequestBodies, QueryBodyBytes)
{
    uint8_t out[64];
    ASSERT_EQ(BuildQueryBody(out, sizeof(out), "web01", "m1"), 15);
    Bytes expected = {5, 0, 0, 0, 'w', 'e', 'b', '0', '1', 2, 0, 0, 0, 'm', '1'};
    EXPECT_EQ(Bytes(out, out + 15), expected);

    RequestBuffer req(expected);
    char name[VM_NAME_FIELD];
    char mod[MOD_NAME_FIELD];
    ASSERT_EQ(parseQueryBody(req.buf, req.len, name, mod), 0);
    EXPECT_STREQ(name, "web01");
    EXPECT_STREQ(mod, "m1");
}

TEST(WireRequestBodies, ControlBodyBytes)
{
    uint8_t out[64];
    ASSERT_EQ(BuildControlBody(out, sizeof(out), 1, 60, "no"), 14);
    Bytes expected = {1, 0, 0, 0, 60, 0, 0, 0, 2, 0, 0, 0, 'n', 'o'};
    EXPECT_EQ(Bytes(out, out + 14), expected);

    RequestBuffer req(expected);
    UpgCtrlBody ctrl;
    ASSERT_EQ(parseControlBody(req.buf, req.len, &ctrl), 0);
    EXPECT_EQ(ctrl.actionType, 1);
    EXPECT_EQ(ctrl.intervalTime, 60);
    EXPECT_EQ(ctrl.paraLen, 2);
    EXPECT_STREQ(ctrl.para, "no");
}

TEST(WireRequestBodies, RoundTripsAtTheLimits)
{
    const std::string name127(127, 'v');
    const std::string mod15(15, 'm');
    const std::string para512(512, 'p');
    uint8_t out[HOST_MSG_BODY_BUF] = {};

    struct ActionRow { std::string name; uint32_t action; };
    for (const ActionRow &row : std::vector<ActionRow>{{"a", 1}, {"web-01.x_y:z", 3}, {name127, 0xFFFFFFFFu}}) {
        SCOPED_TRACE(row.name);
        int len = BuildActionBody(out, sizeof(out), row.name.c_str(), row.action);
        ASSERT_EQ(len, static_cast<int>(row.name.size() + 8));
        uint32_t action = 0;
        char name[VM_NAME_FIELD];
        ASSERT_EQ(parseActionBody(out, static_cast<size_t>(len), &action, name), 0);
        EXPECT_EQ(name, row.name);
        EXPECT_EQ(action, row.action);
    }

    struct QueryRow { std::string name, mod; };
    for (const QueryRow &row : std::vector<QueryRow>{{"a", "b"}, {name127, mod15}}) {
        SCOPED_TRACE(row.name);
        int len = BuildQueryBody(out, sizeof(out), row.name.c_str(), row.mod.c_str());
        ASSERT_EQ(len, static_cast<int>(row.name.size() + row.mod.size() + 8));
        char name[VM_NAME_FIELD];
        char mod[MOD_NAME_FIELD];
        ASSERT_EQ(parseQueryBody(out, static_cast<size_t>(len), name, mod), 0);
        EXPECT_EQ(name, row.name);
        EXPECT_EQ(mod, row.mod);
    }

    struct ControlRow { int32_t action, interval; std::string para; };
    for (const ControlRow &row : std::vector<ControlRow>{{2, 0, "no"}, {1, 525600, "vm1, vm2"}, {-1, -5, para512}}) {
        SCOPED_TRACE(row.para.substr(0, 16));
        int len = BuildControlBody(out, sizeof(out), row.action, row.interval, row.para.c_str());
        ASSERT_EQ(len, static_cast<int>(row.para.size() + 12));
        UpgCtrlBody ctrl;
        ASSERT_EQ(parseControlBody(out, static_cast<size_t>(len), &ctrl), 0);
        EXPECT_EQ(ctrl.actionType, row.action);
        EXPECT_EQ(ctrl.intervalTime, row.interval);
        EXPECT_EQ(ctrl.para, row.para);
    }
}

TEST(WireRequestBodies, BuildersRefuseValuesOutsideTheirRange)
{
    uint8_t out[HOST_MSG_BODY_BUF];
    const std::string name128(128, 'v');
    const std::string mod16(16, 'm');
    const std::string para513(513, 'p');
    EXPECT_EQ(BuildActionBody(out, sizeof(out), "", 1), -1);
    EXPECT_EQ(BuildActionBody(out, sizeof(out), nullptr, 1), -1);
    EXPECT_EQ(BuildActionBody(out, sizeof(out), name128.c_str(), 1), -1);
    EXPECT_EQ(BuildActionBody(out, sizeof(out), "vm", 0), -1);
    EXPECT_EQ(BuildActionBody(out, 9, "vm", 1), -1);     // needs 10
    EXPECT_EQ(BuildActionBody(out, 10, "vm", 1), 10);
    EXPECT_EQ(BuildQueryBody(out, sizeof(out), "vm", mod16.c_str()), -1);
    EXPECT_EQ(BuildQueryBody(out, sizeof(out), "vm", ""), -1);
    EXPECT_EQ(BuildQueryBody(out, sizeof(out), name128.c_str(), "m"), -1);
    EXPECT_EQ(BuildControlBody(out, sizeof(out), 1, 0, ""), -1);
    EXPECT_EQ(BuildControlBody(out, sizeof(out), 1, 0, para513.c_str()), -1);
    EXPECT_EQ(BuildControlBody(out, 13, 1, 0, "no"), -1);
}

// ---- Request bodies: hostile input ------------------------------------------------

struct ActionCase {
    const char *what;
    Bytes body;
    int ret;
    const char *name;
    uint32_t action;
};

TEST(WireHostileBodies, ActionBody)
{
    const std::string n127(127, 'a');
    const std::string n128(128, 'a');
    const std::vector<ActionCase> cases = {
        {"sound", Cat({LE32(2), Text("ab"), LE32(1)}), 0, "ab", 1},
        {"name of 127", Cat({LE32(127), Text(n127), LE32(2)}), 0, n127.c_str(), 2},
        {"vmNameLen 0", Cat({LE32(0), LE32(1)}), -1, "", 0},
        {"vmNameLen 128", Cat({LE32(128), Text(n128), LE32(1)}), -1, "", 0},
        {"vmNameLen -1", Cat({LE32(0xFFFFFFFFu), Text("ab"), LE32(1)}), -1, "", 0},
        {"vmNameLen INT_MAX", Cat({LE32(0x7FFFFFFFu), Text("ab")}), -1, "", 0},
        {"action_type 0", Cat({LE32(2), Text("ab"), LE32(0)}), -1, "", 0},
        {"action_type cut off", Cat({LE32(2), Text("ab"), Bytes{1, 0}}), 0, "ab", 1},
        {"action_type missing", Cat({LE32(2), Text("ab")}), -1, "", 0},
        {"name runs past the body", Cat({LE32(9), Text("abc")}), -1, "", 0},
        {"name with a NUL inside", Cat({LE32(5), Bytes{'a', 'b', 0, 'c', 'd'}, LE32(3)}), 0, "ab", 3},
        {"empty body", {}, -1, "", 0},
        {"length field cut off", Bytes{2, 0}, -1, "", 0},
    };
    for (const ActionCase &c : cases) {
        SCOPED_TRACE(c.what);
        RequestBuffer req(c.body);
        uint32_t action = 0;
        char name[VM_NAME_FIELD];
        std::memset(name, 'x', sizeof(name));
        EXPECT_EQ(parseActionBody(req.buf, req.len, &action, name), c.ret);
        if (c.ret == 0) {
            EXPECT_STREQ(name, c.name);
            EXPECT_EQ(action, c.action);
        }
        // Exactly the body bytes, with nothing around them to lean on.
        Bytes exact = c.body;
        uint32_t action2 = 0;
        EXPECT_EQ(parseActionBody(exact.data(), exact.size(), &action2, name), c.ret);
    }
}

TEST(WireHostileBodies, BytesPastTheLengthReadAsZero)
{
    // The action_type sits in the buffer right after the body, but past len:
    // it must not be seen.
    Bytes raw = Cat({LE32(2), Text("ab"), LE32(7)});
    uint32_t action = 0;
    char name[VM_NAME_FIELD];
    EXPECT_EQ(parseActionBody(raw.data(), 6, &action, name), -1);
    EXPECT_EQ(parseActionBody(raw.data(), raw.size(), &action, name), 0);
    EXPECT_EQ(action, 7u);

    // A name that runs past len is cut there, even though the buffer goes on.
    Bytes query = Cat({LE32(4), Text("abcd"), LE32(1), Text("m")});
    char vm[VM_NAME_FIELD];
    char mod[MOD_NAME_FIELD];
    EXPECT_EQ(parseQueryBody(query.data(), query.size(), vm, mod), 0);
    EXPECT_STREQ(vm, "abcd");
    EXPECT_EQ(parseQueryBody(query.data(), 6, vm, mod), -1);   // modNameLen past len

    EXPECT_EQ(parseActionBody(nullptr, 100, &action, name), -1);
}

struct QueryCase {
    const char *what;
    Bytes body;
    int ret;
    std::string name;
    std::string mod;
};

TEST(WireHostileBodies, QueryBody)
{
    const std::string n127(127, 'v');
    const std::string n128(128, 'v');
    Bytes name128WithNul = Cat({Text("abc"), Bytes(125, 0)});
    const std::vector<QueryCase> cases = {
        {"sound", Cat({LE32(2), Text("vm"), LE32(2), Text("m1")}), 0, "vm", "m1"},
        {"name of 127", Cat({LE32(127), Text(n127), LE32(1), Text("m")}), 0, n127, "m"},
        {"vmNameLen 128 without NUL", Cat({LE32(128), Text(n128), LE32(1), Text("m")}), -1, "", ""},
        {"vmNameLen 128 with a NUL", Cat({LE32(128), name128WithNul, LE32(1), Text("m")}), 0, "abc", "m"},
        {"vmNameLen 129", Cat({LE32(129), Text(n128), Text("v"), LE32(1), Text("m")}), -1, "", ""},
        {"vmNameLen 0", Cat({LE32(0), LE32(1), Text("m")}), -1, "", ""},
        {"vmNameLen -1", Cat({LE32(0xFFFFFFFFu), LE32(1), Text("m")}), -1, "", ""},
        {"vmNameLen INT_MIN", Cat({LE32(0x80000000u), LE32(1), Text("m")}), -1, "", ""},
        {"modNameLen 0", Cat({LE32(2), Text("vm"), LE32(0)}), -1, "", ""},
        {"modNameLen 15", Cat({LE32(2), Text("vm"), LE32(15), Text(std::string(15, 'm'))}), 0, "vm",
         std::string(15, 'm')},
        {"modNameLen 16", Cat({LE32(2), Text("vm"), LE32(16), Text(std::string(16, 'm'))}), -1, "", ""},
        {"modNameLen -1", Cat({LE32(2), Text("vm"), LE32(0xFFFFFFFFu), Text("m")}), -1, "", ""},
        {"modName missing", Cat({LE32(2), Text("vm"), LE32(3)}), 0, "vm", ""},
    };
    for (const QueryCase &c : cases) {
        SCOPED_TRACE(c.what);
        RequestBuffer req(c.body);
        char name[VM_NAME_FIELD];
        char mod[MOD_NAME_FIELD];
        EXPECT_EQ(parseQueryBody(req.buf, req.len, name, mod), c.ret);
        if (c.ret == 0) {
            EXPECT_EQ(name, c.name);
            EXPECT_EQ(mod, c.mod);
        }
        Bytes exact = c.body;
        EXPECT_EQ(parseQueryBody(exact.data(), exact.size(), name, mod), c.ret);
    }
}

struct ControlCase {
    const char *what;
    Bytes body;
    int ret;
    int32_t action, interval;
    std::string para;
};

TEST(WireHostileBodies, ControlBody)
{
    const std::string p512(512, 'p');
    const std::vector<ControlCase> cases = {
        {"sound", Cat({LE32(1), LE32(30), LE32(2), Text("no")}), 0, 1, 30, "no"},
        {"para of 512", Cat({LE32(1), LE32(0), LE32(512), Text(p512)}), 0, 1, 0, p512},
        {"para length 513", Cat({LE32(1), LE32(0), LE32(513), Text(p512), Text("p")}), -1, 0, 0, ""},
        {"para length 0", Cat({LE32(1), LE32(0), LE32(0)}), -1, 0, 0, ""},
        {"para length -1", Cat({LE32(1), LE32(0), LE32(0xFFFFFFFFu), Text("no")}), -1, 0, 0, ""},
        {"signed numbers stay signed", Cat({LE32(0xFFFFFFFEu), LE32(0xFFFFFFFFu), LE32(2), Text("no")}),
         0, -2, -1, "no"},
        {"para cut by the body's end", Cat({LE32(2), LE32(0), LE32(10), Text("ab")}), 0, 2, 0, "ab"},
        {"para starting with NUL", Cat({LE32(1), LE32(0), LE32(3), Bytes{0, 'a', 'b'}}), 0, 1, 0, ""},
        {"empty body", {}, -1, 0, 0, ""},
    };
    for (const ControlCase &c : cases) {
        SCOPED_TRACE(c.what);
        RequestBuffer req(c.body);
        UpgCtrlBody ctrl;
        EXPECT_EQ(parseControlBody(req.buf, req.len, &ctrl), c.ret);
        if (c.ret == 0) {
            EXPECT_EQ(ctrl.actionType, c.action);
            EXPECT_EQ(ctrl.intervalTime, c.interval);
            EXPECT_EQ(ctrl.para, c.para);
        }
        Bytes exact = c.body;
        EXPECT_EQ(parseControlBody(exact.data(), exact.size(), &ctrl), c.ret);
    }
}

// ---- Host header and replies ----------------------------------------------------------

TEST(WireHostHeader, MessageBytes)
{
    uint8_t out[128];
    memset(out, 0xEE, sizeof(out));
    ASSERT_EQ(BuildHostMsg(out, sizeof(out), 0x0102030405060708ull, 3, 1, "ab", 2), 58);
    Bytes expected = Cat({Bytes{8, 7, 6, 5, 4, 3, 2, 1}, LE32(3), LE32(2), LE32(1), Bytes(36, 0), Text("ab")});
    EXPECT_EQ(Bytes(out, out + 58), expected);

    MsgHeadInfo head;
    ASSERT_EQ(ParseHostHead(out, 58, &head), 0);
    EXPECT_EQ(head.msgId, 0x0102030405060708ull);
    EXPECT_EQ(head.msgType, 3u);
    EXPECT_EQ(head.bufLen, 2u);
    EXPECT_EQ(head.result, 1);
    EXPECT_EQ(ParseHostHead(out, 55, &head), -1);
}

TEST(WireHostHeader, BuildRefusesWhatDoesNotFit)
{
    uint8_t out[HOST_HEAD_LEN + CLIENT_MSG_BODY_MAX];
    Bytes body(CLIENT_MSG_BODY_MAX, 'b');
    EXPECT_EQ(BuildHostMsg(out, sizeof(out), 1, 3, 0, body.data(), 524), HOST_HEAD_LEN + 524);
    EXPECT_EQ(BuildHostMsg(out, sizeof(out), 1, 3, 0, body.data(), 525), -1);
    EXPECT_EQ(BuildHostMsg(out, sizeof(out), 1, 3, 0, body.data(), 968, CLIENT_MSG_BODY_MAX),
              HOST_HEAD_LEN + 968);
    EXPECT_EQ(BuildHostMsg(out, HOST_HEAD_LEN + 3, 1, 3, 0, body.data(), 4), -1);
    EXPECT_EQ(BuildHostMsg(out, sizeof(out), 1, 3, 0, nullptr, 4), -1);
    EXPECT_EQ(BuildHostMsg(out, HOST_HEAD_LEN, 1, 3, 0, nullptr, 0), HOST_HEAD_LEN);
}

TEST(WireHostHeader, BodyLengthLimit)
{
    struct Row { uint32_t bufLen; bool ok; };
    for (Row row : {Row{0, true}, Row{524, true}, Row{525, false}, Row{968, false}, Row{969, false},
                    Row{0x7FFFFFFFu, false}, Row{0x80000000u, false}, Row{0xFFFFFFFFu, false}}) {
        SCOPED_TRACE(row.bufLen);
        EXPECT_EQ(HostBodyLenAcceptable(MakeHostHead(1, 3, row.bufLen, 0)), row.ok);
    }
}

TEST(WireHostHeader, ReplyHeadEchoesTheRequestWithReservedZero)
{
    MsgHeadInfo request;
    std::memset(&request, 0xAB, sizeof(request));
    request.msgId = 1700000000123456ull;
    request.msgType = UPG_MSG_GET_UPG_RES;
    request.bufLen = 77;
    request.result = 0;
    MsgHeadInfo reply = MakeReplyHead(request, HOST_RESULT_TOO_LONG);
    Bytes got(reinterpret_cast<uint8_t *>(&reply), reinterpret_cast<uint8_t *>(&reply) + sizeof(reply));
    Bytes expected = Cat({Bytes{0x40, 0x22, 0x20, 0x18, 0x24, 0x0a, 0x06, 0x00}, LE32(4), LE32(0), LE32(4),
                          Bytes(36, 0)});
    EXPECT_EQ(got, expected);
}

TEST(WireReplyBodies, Forms)
{
    struct Row {
        const char *what;
        std::function<int(char *, size_t)> build;
        std::string text;
    };
    const std::vector<Row> rows = {
        {"guest check result", [](char *o, size_t n) { return BuildCheckResultBody(o, n, "web01", "0,9"); },
         "web01:{0,9}"},
        {"empty checkresult", [](char *o, size_t n) { return BuildCheckResultBody(o, n, "web01", ""); },
         "web01:{}"},
        {"module state 2", [](char *o, size_t n) { return BuildModuleStateBody(o, n, "web01", "m1", 2); },
         "web01:{m1,0.0.0.0,2,0.0.0.0}"},
        {"module state 13", [](char *o, size_t n) { return BuildModuleStateBody(o, n, "web01", "none", 13); },
         "web01:{none,0.0.0.0,13,0.0.0.0}"},
        {"upgrading, type 3", [](char *o, size_t n) { return BuildStateCodeBody(o, n, "vm-a", 3); }, "vm-a:{3}"},
        {"upgrading, type 6", [](char *o, size_t n) { return BuildStateCodeBody(o, n, "vm-a", 5); }, "vm-a:{5}"},
        {"unreachable", [](char *o, size_t n) { return BuildStateCodeBody(o, n, "vm-a", 13); }, "vm-a:{13}"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        char out[600];
        std::memset(out, 'x', sizeof(out));
        EXPECT_EQ(row.build(out, sizeof(out)), 0);
        EXPECT_EQ(std::string(out), row.text);
    }
}

TEST(WireReplyBodies, CheckResultBound)
{
    const std::string name(127, 'v');
    char out[CHECK_RESULT_BOUND + 1];
    // 127 + ":{" + 14 = 143 characters before "}".
    EXPECT_EQ(BuildCheckResultBody(out, sizeof(out), name.c_str(), "12345678901234"), 0);
    EXPECT_EQ(std::string(out), name + ":{12345678901234}");
    // One more and the checkresult piece fails; the text ends after ":{".
    EXPECT_EQ(BuildCheckResultBody(out, sizeof(out), name.c_str(), "123456789012345"),
              REPLY_PIECE_CHECKRESULT);
    EXPECT_EQ(std::string(out), name + ":{");
    // A larger buffer does not lift the bound.
    char big[600];
    EXPECT_EQ(BuildCheckResultBody(big, sizeof(big), name.c_str(), "123456789012345"),
              REPLY_PIECE_CHECKRESULT);
    EXPECT_EQ(BuildCheckResultBody(big, sizeof(big), nullptr, "0"), REPLY_PIECE_VM_NAME);
    EXPECT_STREQ(big, "");
    EXPECT_EQ(BuildCheckResultBody(big, 1, "vm", "0"), REPLY_PIECE_OUT);
}

ModuleInfo Module(const char *name, const char *cur, int32_t rescode, const char *tar)
{
    ModuleInfo m{};
    std::strncpy(m.name, name, sizeof(m.name));
    std::strncpy(m.curversion, cur, sizeof(m.curversion));
    std::strncpy(m.tarversion, tar, sizeof(m.tarversion));
    m.rescode = rescode;
    return m;
}

TEST(WireReplyBodies, UpgradeResult)
{
    char out[UPGRADE_RESULT_BOUND];
    EXPECT_EQ(BuildUpgradeResultBody(out, sizeof(out), "web01", Module("m1", "1.0.1", 2, "1.2.0")), 0);
    EXPECT_STREQ(out, "web01:{m1,1.0.1,2,1.2.0}");
    EXPECT_EQ(BuildUpgradeResultBody(out, sizeof(out), "web01", Module("m1", "1", -1, "2")), 0);
    EXPECT_STREQ(out, "web01:{m1,1,-1,2}");

    // Text fields that fill their field are read to its end and no further.
    ModuleInfo full{};
    std::memset(full.name, 'N', sizeof(full.name));
    std::memset(full.curversion, 'C', sizeof(full.curversion));
    std::memset(full.tarversion, 'T', sizeof(full.tarversion));
    std::memset(full.checkresult, 'R', sizeof(full.checkresult));
    full.rescode = 9;
    EXPECT_EQ(BuildUpgradeResultBody(out, sizeof(out), "v", full), 0);
    EXPECT_EQ(std::string(out), "v:{" + std::string(16, 'N') + "," + std::string(16, 'C') + ",9," +
                                    std::string(16, 'T') + "}");

    // A small buffer: the text ends where the failing piece began.
    char small[12];
    EXPECT_EQ(BuildUpgradeResultBody(small, sizeof(small), "web01", Module("m1", "1.0", 2, "2.0")),
              REPLY_PIECE_CURVERSION);
    EXPECT_STREQ(small, "web01:{m1");
    char tiny[4];
    EXPECT_EQ(BuildUpgradeResultBody(tiny, sizeof(tiny), "web01", Module("m1", "1.0", 2, "2.0")),
              REPLY_PIECE_VM_NAME);
    EXPECT_STREQ(tiny, "");
}

TEST(WireReplyBodies, StateCodesHaveAtMostThreeCharacters)
{
    char out[64];
    EXPECT_EQ(BuildModuleStateBody(out, sizeof(out), "vm", "m", 999), 0);
    EXPECT_STREQ(out, "vm:{m,0.0.0.0,999,0.0.0.0}");
    EXPECT_EQ(BuildModuleStateBody(out, sizeof(out), "vm", "m", 1000), REPLY_PIECE_CODE);
    EXPECT_STREQ(out, "vm:{m");
    EXPECT_EQ(BuildModuleStateBody(out, sizeof(out), "vm", nullptr, 2), REPLY_PIECE_MOD_NAME);
    EXPECT_STREQ(out, "vm:{");
    EXPECT_EQ(BuildStateCodeBody(out, sizeof(out), "vm", -100), REPLY_PIECE_CODE);
    EXPECT_STREQ(out, "vm:{");
}

// ---- VM messages --------------------------------------------------------------------------

TEST(WireVmMessages, CheckAndFixBytes)
{
    VmMsg msg;
    ASSERT_EQ(BuildVmCheckMsg(&msg, 0x1122334455667788ull, 1), 0);
    EXPECT_EQ(Serialize(msg), VmImage({{0, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}}, {8, LE32(1)}}));
    ASSERT_EQ(BuildVmCheckMsg(&msg, 5, 2), 0);
    EXPECT_EQ(Serialize(msg), VmImage({{0, {5}}, {8, LE32(2)}}));
    std::memset(&msg, 0x5A, sizeof(msg));
    EXPECT_EQ(BuildVmCheckMsg(&msg, 5, 3), -1);
    EXPECT_EQ(Serialize(msg), VmImage({}));
}

TEST(WireVmMessages, ControlBytes)
{
    VmMsg msg;
    std::memset(&msg, 0x5A, sizeof(msg));
    BuildVmControlMsg(&msg, 9, 3);
    EXPECT_EQ(Serialize(msg), VmImage({{0, {9}}, {8, LE32(12)}, {16, LE32(3)}}));
}

TEST(WireVmMessages, QueryWithTwoRecordsBytes)
{
    VmMsg msg;
    std::memset(&msg, 0x5A, sizeof(msg));
    ASSERT_EQ(BuildVmQueryMsg(&msg, 7, "m1"), 0);
    ASSERT_EQ(SetVmModule(&msg, 0, "m1", "1.0", ISO_LINUX), 0);
    ASSERT_EQ(SetVmModule(&msg, 1, "m1", "2.0", ISO_WINDOWS), 0);
    msg.moduleNum = 2;
    // Record i starts at 16 + 92 * i: name +19, curversion +35, type +90.
    EXPECT_EQ(Serialize(msg), VmImage({{0, {7}},
                                       {8, LE32(5)},
                                       {12, LE32(2)},
                                       {35, Text("m1")},
                                       {51, Text("1.0")},
                                       {106, {1}},
                                       {127, Text("m1")},
                                       {143, Text("2.0")},
                                       {198, {2}}}));
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
    Bytes before = Serialize(msg);
    EXPECT_EQ(SetVmModule(&msg, 6, "x", "1", ISO_LINUX), -1);
    EXPECT_EQ(SetVmModule(&msg, -1, "x", "1", ISO_LINUX), -1);
    EXPECT_EQ(Serialize(msg), before);
    // Names and versions are cut to 15 characters, type 3 (msgId 0).
    EXPECT_EQ(Bytes(before.begin() + 16 + 5 * 92 + 19, before.begin() + 16 + 5 * 92 + 35),
              Cat({Text(longName.substr(0, 15)), Bytes{0}}));
    EXPECT_EQ(Bytes(before.begin(), before.begin() + 16), Cat({Bytes(8, 0), LE32(3), LE32(6)}));
    EXPECT_EQ(SetVmModule(&msg, 0, nullptr, "1", ISO_LINUX), REPLY_PIECE_MOD_NAME);
    EXPECT_EQ(SetVmModule(&msg, 0, "m", nullptr, ISO_LINUX), REPLY_PIECE_CURVERSION);
}

TEST(WireVmMessages, AttachAnswerKeepsEveryOtherByte)
{
    Bytes raw(568);
    for (size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    VmMsg request;
    std::memcpy(&request, raw.data(), sizeof(request));
    VmMsg resp;
    BuildVmAttachResp(&resp, request, 2);
    Bytes expected = raw;
    Bytes type = LE32(4), num = LE32(1), code = LE32(2);
    std::copy(type.begin(), type.end(), expected.begin() + 8);
    std::copy(num.begin(), num.end(), expected.begin() + 12);
    std::copy(code.begin(), code.end(), expected.begin() + 16);
    EXPECT_EQ(Serialize(resp), expected);
    BuildVmAttachResp(&request, request, 1);   // in place
    expected[16] = 1;
    EXPECT_EQ(Serialize(request), expected);
}

TEST(WireVmMessages, ParseModuleNum)
{
    struct Row { uint32_t raw; int ret; int32_t usable; };
    for (Row row : {Row{0, VM_MSG_SOUND, 0}, Row{1, VM_MSG_SOUND, 1}, Row{6, VM_MSG_SOUND, 6},
                    Row{7, VM_MSG_BAD_MODULE_NUM, 6}, Row{0xFFFFFFFFu, VM_MSG_BAD_MODULE_NUM, 0},
                    Row{0x80000000u, VM_MSG_BAD_MODULE_NUM, 0}, Row{0x7FFFFFFFu, VM_MSG_BAD_MODULE_NUM, 6}}) {
        SCOPED_TRACE(row.raw);
        Bytes image = VmImage({{8, LE32(6)}, {12, LE32(row.raw)}});
        VmMsgView view;
        EXPECT_EQ(ParseVmMsg(image.data(), image.size(), &view), row.ret);
        EXPECT_EQ(view.moduleNum, static_cast<int32_t>(row.raw));
        EXPECT_EQ(view.usableModules, row.usable);
        EXPECT_EQ(view.msgType, 6u);
    }
}

TEST(WireVmMessages, ParseRefusesPartialMessages)
{
    Bytes image(569, 0);
    for (size_t len : {size_t{0}, size_t{56}, size_t{567}, size_t{569}}) {
        SCOPED_TRACE(len);
        VmMsgView view;
        std::memset(&view, 0x33, sizeof(view));
        VmMsgView untouched = view;
        EXPECT_EQ(ParseVmMsg(image.data(), len, &view), VM_MSG_BAD_LENGTH);
        EXPECT_EQ(std::memcmp(&view, &untouched, sizeof(view)), 0);
    }
    VmMsgView view;
    EXPECT_EQ(ParseVmMsg(nullptr, 568, &view), VM_MSG_BAD_LENGTH);
}

TEST(WireVmMessages, ParseReadsTextWithinItsField)
{
    Bytes image(568, 'X');   // not one NUL anywhere
    VmMsgView view;
    EXPECT_EQ(ParseVmMsg(image.data(), image.size(), &view), VM_MSG_BAD_MODULE_NUM);
    for (const VmModuleText &m : view.module) {
        EXPECT_EQ(std::string(m.name), std::string(16, 'X'));
        EXPECT_EQ(std::string(m.curversion), std::string(16, 'X'));
        EXPECT_EQ(std::string(m.tarversion), std::string(16, 'X'));
        EXPECT_EQ(std::string(m.checkresult), std::string(23, 'X'));
        EXPECT_EQ(m.type, 'X');
    }
}

TEST(WireVmMessages, ParseRoundTrip)
{
    VmMsg msg;
    ASSERT_EQ(BuildVmQueryMsg(&msg, 1234567890123ull, "tools"), 0);
    ASSERT_EQ(SetVmModule(&msg, 0, "tools", "3.1.0", ISO_WINDOWS), 0);
    msg.module[0].rescode = -7;
    std::strcpy(msg.module[0].tarversion, "3.2.0");
    std::strcpy(msg.module[0].checkresult, "1,3");
    Bytes image = Serialize(msg);
    VmMsgView view;
    ASSERT_EQ(ParseVmMsg(image.data(), image.size(), &view), VM_MSG_SOUND);
    EXPECT_EQ(view.msgId, 1234567890123ull);
    EXPECT_EQ(view.msgType, UPG_MSG_QUERY_UPGRADE_RESULT_REQ);
    EXPECT_EQ(view.usableModules, 1);
    EXPECT_EQ(view.module[0].rescode, -7);
    EXPECT_STREQ(view.module[0].name, "tools");
    EXPECT_STREQ(view.module[0].curversion, "3.1.0");
    EXPECT_STREQ(view.module[0].tarversion, "3.2.0");
    EXPECT_STREQ(view.module[0].checkresult, "1,3");
    EXPECT_EQ(view.module[0].type, ISO_WINDOWS);
    EXPECT_STREQ(view.module[1].name, "");
}

// ---- Names --------------------------------------------------------------------------------

TEST(WireTypeNames, Tables)
{
    const std::vector<std::pair<uint32_t, const char *>> host = {
        {0, nullptr}, {1, "UPG_MSG_OPEN_CONNECT"}, {2, "UPG_MSG_CLOSE_CONNECT"}, {3, "UPG_MSG_HEALTH_CHECK"},
        {4, "UPG_MSG_GET_UPG_RES"}, {5, "UPG_START_UPGRADE_MSG"}, {6, "UPG_MSG_AUTO_CTRL"}, {7, nullptr},
        {0xFFFFFFFFu, nullptr}};
    for (const auto &[type, name] : host) {
        SCOPED_TRACE(type);
        const char *got = HostMsgTypeName(type);
        EXPECT_EQ(got == nullptr ? std::string("(null)") : got, name == nullptr ? std::string("(null)") : name);
    }
    const std::vector<std::pair<uint32_t, const char *>> vm = {
        {0, nullptr}, {1, "UPG_MSG_CHECK_HEALTH"}, {2, "UPG_MSG_FIX_CHANNEL"}, {3, "UPG_MSG_START_UPGRADE"},
        {4, "UPG_MSG_ATTACH_ISO_RESP"}, {5, "UPG_MSG_QUERY_UPGRADE_RESULT_REQ"}, {6, "VM_REQ_ATTACH_ISO_MSG"},
        {7, "VM_REQ_DETACH_ISO_MSG"}, {8, "VM_REQ_UPGRADE_INFO_MSG"}, {9, "HOST_MSG_GET_UPG_RES"},
        {10, "HOST_MSG_HEALTH_CHECK"}, {11, "VM_RSP_FIX_RESULT_MSG"}, {12, "UPG_MSG_CONTROL_UPGRADE_MODE"},
        {13, "VM_RSP_AUTO_CTRL"}, {14, "VM_RSP_UPGRADE_STATE_MSG"}, {15, nullptr}, {0x80000000u, nullptr}};
    for (const auto &[type, name] : vm) {
        SCOPED_TRACE(type);
        const char *got = VmMsgTypeName(type);
        EXPECT_EQ(got == nullptr ? std::string("(null)") : got, name == nullptr ? std::string("(null)") : name);
    }
    for (auto [type, name] : std::vector<std::pair<uint8_t, std::string>>{
             {0, "ISO_WINDOWS"}, {1, "ISO_LINUX"}, {2, "ISO_WINDOWS"}, {3, "ISO_WINDOWS"}, {255, "ISO_WINDOWS"}}) {
        EXPECT_EQ(IsoTypeName(type), name) << int(type);
    }
}

// ---- Log lines ------------------------------------------------------------------------

// The texts logged by fn, in order, between two markers of our own.
std::vector<std::string> LoggedBy(upgd_test::LogCollector &log, const std::function<void()> &fn)
{
    static int round = 0;
    ++round;
    std::string begin = "-- round " + std::to_string(round) + " begins --";
    std::string end = "-- round " + std::to_string(round) + " ends --";
    syslog(LOG_INFO, "%s", begin.c_str());
    EXPECT_TRUE(log.WaitFor(begin)) << log.Dump();
    fn();
    syslog(LOG_INFO, "%s", end.c_str());
    EXPECT_TRUE(log.WaitFor(end)) << log.Dump();
    std::vector<std::string> texts;
    bool inside = false;
    for (const std::string &t : log.Texts()) {
        if (t == begin) {
            inside = true;
        } else if (t == end) {
            break;
        } else if (inside) {
            texts.push_back(t);
        }
    }
    return texts;
}

using Lines = std::vector<std::string>;

TEST(WireLog, ParseFailuresSayWhy)
{
    upgd_test::LogCollector log;
    auto action = [](Bytes body) {
        return [body] {
            RequestBuffer req(body);
            uint32_t a;
            char n[VM_NAME_FIELD];
            parseActionBody(req.buf, req.len, &a, n);
        };
    };
    auto query = [](Bytes body) {
        return [body] {
            RequestBuffer req(body);
            char n[VM_NAME_FIELD];
            char m[MOD_NAME_FIELD];
            parseQueryBody(req.buf, req.len, n, m);
        };
    };
    auto control = [](Bytes body) {
        return [body] {
            RequestBuffer req(body);
            UpgCtrlBody c;
            parseControlBody(req.buf, req.len, &c);
        };
    };
    const std::string n128(128, 'v');
    struct Row { const char *what; std::function<void()> fn; Lines lines; };
    const std::vector<Row> rows = {
        {"action, sound", action(Cat({LE32(2), Text("vm"), LE32(1)})), {}},
        {"action, len 0", action(Cat({LE32(0), LE32(1)})), {"can't get vmName from msgBody. len:0"}},
        {"action, len 128", action(Cat({LE32(128), Text(n128), LE32(1)})),
         {"can't get vmName from msgBody. len:128"}},
        {"action, len -1", action(LE32(0xFFFFFFFFu)), {"can't get vmName from msgBody. len:-1"}},
        {"action, type 0", action(Cat({LE32(2), Text("vm")})), {"can't get action_type from msgBody."}},
        {"query, sound", query(Cat({LE32(2), Text("vm"), LE32(1), Text("m")})), {}},
        {"query, len 0", query(LE32(0)), {"can't get vmName from msgBody."}},
        {"query, len 129", query(LE32(129)), {"can't get vmName from msgBody."}},
        {"query, 128 characters", query(Cat({LE32(128), Text(n128), LE32(1), Text("m")})),
         {"strncpy_s vmName failed"}},
        {"query, len -1", query(LE32(0xFFFFFFFFu)), {"strncpy_s vmName failed"}},
        {"query, mod 16", query(Cat({LE32(2), Text("vm"), LE32(16)})), {"can't get modName from msgBody."}},
        {"query, mod 0", query(Cat({LE32(2), Text("vm")})), {"can't get modName from msgBody."}},
        {"query, mod -1", query(Cat({LE32(2), Text("vm"), LE32(0xFFFFFFFFu)})), {"strncpy_s modName failed"}},
        {"control, sound", control(Cat({LE32(1), LE32(0), LE32(2), Text("no")})), {}},
        {"control, 513", control(Cat({LE32(1), LE32(0), LE32(513)})),
         {"get para length 513, maybe more than 513"}},
        {"control, 0", control(Cat({LE32(1), LE32(0), LE32(0)})), {"get para length 0, maybe more than 513"}},
        {"control, -1", control(Cat({LE32(1), LE32(0), LE32(0xFFFFFFFFu)})), {"strncpy_s upgrade_para failed"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(LoggedBy(log, row.fn), row.lines);
    }
}

TEST(WireLog, HostDump)
{
    upgd_test::LogCollector log;
    const uint8_t body[] = {'w', 'e', 'b', '0', '1', 'x', 'y', 'z'};
    MsgHeadInfo head = MakeHostHead(1700000000123456ull, UPG_MSG_GET_UPG_RES, 5, 1);
    EXPECT_EQ(LoggedBy(log, [&] { dumpHostMsg(&head, body, sizeof(body)); }),
              (Lines{"hostMsg->head.msgId   = 1700000000123456", "hostMsg->head.msgType = UPG_MSG_GET_UPG_RES",
                     "hostMsg->head.bufLen  = 5", "hostMsg->head.result  = 1", "hostMsg->head.buf     = web01"}));

    // The header alone: no body line.
    EXPECT_EQ(LoggedBy(log, [&] { dumpHostMsg(&head, nullptr, 0); }).size(), 4u);

    // A bufLen past the bytes there: only what is there is shown.
    head.bufLen = 0xFFFFFFFFu;
    EXPECT_EQ(LoggedBy(log, [&] { dumpHostMsg(&head, body, 3); }),
              (Lines{"hostMsg->head.msgId   = 1700000000123456", "hostMsg->head.msgType = UPG_MSG_GET_UPG_RES",
                     "hostMsg->head.bufLen  = -1", "hostMsg->head.result  = 1", "hostMsg->head.buf     = web"}));

    MsgHeadInfo unknown = MakeHostHead(3, 7, 0, 0);
    EXPECT_EQ(LoggedBy(log, [&] { dumpHostMsg(&unknown, body, 0); }),
              (Lines{"unknown host msg type: 7", "hostMsg->head.msgId   = 3", "hostMsg->head.msgType = ",
                     "hostMsg->head.bufLen  = 0", "hostMsg->head.result  = 0", "hostMsg->head.buf     = "}));
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
    EXPECT_EQ(LoggedBy(log, [&] { dumpVmMsg(&msg); }),
              (Lines{"vmMsg->msgId                 = 77",
                     "vmMsg->msgType               = UPG_MSG_START_UPGRADE",
                     "vmMsg->moduleNum             = 2",
                     "vmMsg->module[0].rescode     = -3",
                     "vmMsg->module[0].name        = " + std::string(16, 'N'),
                     "vmMsg->module[0].curversion  = 1.0",
                     "vmMsg->module[0].tarversion  = 2.0",
                     "vmMsg->module[0].checkresult = " + std::string(23, 'R'),
                     "vmMsg->module[0].type        = ISO_LINUX"}));

    for (auto [type, name] : std::vector<std::pair<uint8_t, std::string>>{
             {0, "ISO_WINDOWS"}, {1, "ISO_LINUX"}, {2, "ISO_WINDOWS"}, {3, "ISO_WINDOWS"}}) {
        msg.module[0].type = type;
        Lines lines = LoggedBy(log, [&] { dumpVmMsg(&msg); });
        ASSERT_EQ(lines.size(), 9u);
        EXPECT_EQ(lines[8], "vmMsg->module[0].type        = " + name);
    }

    for (uint32_t type : {0u, 15u}) {
        msg.msgType = type;
        Lines lines = LoggedBy(log, [&] { dumpVmMsg(&msg); });
        ASSERT_EQ(lines.size(), 10u);
        EXPECT_EQ(lines[0], "unknown vm msg type: " + std::to_string(type));
        EXPECT_EQ(lines[2], "vmMsg->msgType               = ");
    }
}

}  // namespace
