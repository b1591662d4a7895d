// Reply text -> result, output, stop flags and error codes, for every parser.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "NumText.h"
#include "ProtocolFixture.h"

namespace korva::test {
namespace {

struct Outcome {
    bool ok;
    std::string output;  // the output argument, as text
};

using ParseOp = std::function<Outcome(KT300Protocol&)>;

std::string Text(double v) {
    return korva::FormatFixed(v, 4);
}

template <typename T>
ParseOp Query(bool (KT300Protocol::*get)(int, T*), int axis, T initial = T{}) {
    return [get, axis, initial](KT300Protocol& p) {
        T out = initial;
        bool ok = (p.*get)(axis, &out);
        if constexpr (std::is_same_v<T, std::string>)
            return Outcome{ok, out};
        else if constexpr (std::is_floating_point_v<T>)
            return Outcome{ok, Text(out)};
        else
            return Outcome{ok, std::to_string(out)};
    };
}

template <typename T>
ParseOp Query(bool (KT300Protocol::*get)(T*), T initial) {
    return [get, initial](KT300Protocol& p) {
        T out = initial;
        bool ok = (p.*get)(&out);
        return Outcome{ok, std::to_string(out)};
    };
}

ParseOp Model() {
    return [](KT300Protocol& p) { return Outcome{true, std::to_string(p.GetModel())}; };
}

template <typename F>
ParseOp Plain(F f) {
    return [f](KT300Protocol& p) { return Outcome{f(p), ""}; };
}

struct ParseRow {
    const char* name;
    ParseOp op;
    std::string reply;
    bool ok;
    std::string output;
    std::string stopFlags = "0000";  // X Y Z T
    long errorCode = 0;
    int linkCode = 0;
    bool sync = false;  // motion commands: synchronous mode
};

const std::vector<ParseRow>& Rows() {
    using P = KT300Protocol;
    static const std::vector<ParseRow> rows = {
        // Standard value extraction: first line, second word, comma field.
        {"float", Query(&P::GetSpeed, 0), "SetSpeed X,1000.5\rOK\r", true, Text(1000.5)},
        {"float extra spaces and commas", Query(&P::GetSpeed, 0), "SetSpeed  X,,5\r\rOK\r", true,
         Text(5)},
        {"float negative exponent", Query(&P::GetStagePitch, 0), "SetStagePitch X,-2.5e-1\rOK\r",
         true, Text(-0.25)},
        // A reply without a well-formed value line is a data error of its own.
        {"float not a number", Query(&P::GetSpeed, 0), "SetSpeed X,abc\rOK\r", false, Text(-1),
         "0000", KT300Protocol::kErrBadReply},
        {"no space in the first line", Query(&P::GetSpeed, 0), "SetSpeedX,5\rOK\r", false, Text(-1),
         "0000", KT300Protocol::kErrBadReply},
        {"no value field", Query(&P::GetSpeed, 0), "SetSpeed X\rOK\r", false, Text(-1), "0000",
         KT300Protocol::kErrBadReply},
        {"only the acknowledgement", Query(&P::GetSpeed, 0), "OK\r", false, Text(-1), "0000",
         KT300Protocol::kErrBadReply},
        {"value line of another axis", Query(&P::GetSpeed, 0), "SetSpeed Y,5\rOK\r", false,
         Text(-1), "0000", KT300Protocol::kErrBadReply},
        {"value line of another query", Query(&P::GetSpeed, 0), "SetAccSpeed X,5\rOK\r", false,
         Text(-1), "0000", KT300Protocol::kErrBadReply},
        {"int", Query(&P::GetMicroStep, 0), "SetStageMicroStep X,16\rOK\r", true, "16"},
        {"int negative with tail", Query(&P::GetRadius, 0), "SetStageRadius X,-3mm\rOK\r", false,
         "-1", "0000", KT300Protocol::kErrBadReply},
        {"int missing field", Query(&P::GetCommandPulses, 0), "SetCommandPulses X,\rOK\r", false,
         "-1", "0000", KT300Protocol::kErrBadReply},
        {"offset loses its fraction", Query(&P::GetOffset, 0), "SetOffset X,12.7\rOK\r", true,
         Text(12)},
        // Letter codes are compared whole and case-sensitive; unknown: -1 but TRUE.
        {"stage style R", Query(&P::GetStageStyle, 0), "SetStageStyle X,R\rOK\r", true, "1"},
        {"stage style T", Query(&P::GetStageStyle, 0), "SetStageStyle X,T\rOK\r", true, "0"},
        {"stage style lower case", Query(&P::GetStageStyle, 0), "SetStageStyle X,r\rOK\r", true,
         "-1"},
        {"stage style two letters", Query(&P::GetStageStyle, 0), "SetStageStyle X,RT\rOK\r", true,
         "-1"},
        {"work state O", Query(&P::GetWorkState, 0), "SetStageWorkState X,O\rOK\r", true, "1"},
        {"work state C", Query(&P::GetWorkState, 0), "SetStageWorkState X,C\rOK\r", true, "0"},
        {"second home 2", Query(&P::GetSecondHomeMode, 0), "Setsechhomemode X,2\rOK\r", true, "2"},
        {"second home 3", Query(&P::GetSecondHomeMode, 0), "Setsechhomemode X,3\rOK\r", true, "-1"},
        {"unit M", Query(&P::GetUnit, 0), "SetUnit X,M\rOK\r", true, "1"},
        {"unit U", Query(&P::GetUnit, 0), "SetUnit X,U\rOK\r", true, "3"},
        {"unit S", Query(&P::GetUnit, 0), "SetUnit X,S\rOK\r", true, "2"},
        {"unit D", Query(&P::GetUnit, 0), "SetUnit X,D\rOK\r", true, "0"},
        {"unit lower case", Query(&P::GetUnit, 0), "SetUnit X,m\rOK\r", true, "-1"},
        {"limit enable D", Query(&P::GetUserLimitAble, 0), "SetUserlimitable X,D\rOK\r", true, "1"},
        {"limit enable E", Query(&P::GetUserLimitAble, 0), "SetUserlimitable X,E\rOK\r", true, "0"},
        {"letter code missing field", Query(&P::GetUnit, 0), "SetUnit X\rOK\r", false, "-1", "0000",
         KT300Protocol::kErrBadReply},
        // Text parameter: not preset; its failures land in the link's code too.
        {"encoder style", Query(&P::GetEncoderStyle, 0, std::string("keep")),
         "SetEncoderStyle X,AB\rOK\r", true, "AB"},
        {"encoder style no word", Query(&P::GetEncoderStyle, 0, std::string("keep")), "OK\r", false,
         "keep", "0000", KT300Protocol::kErrBadReply, KT300Protocol::kLinkErrNoField},
        {"encoder style no field", Query(&P::GetEncoderStyle, 0, std::string("keep")),
         "SetEncoderStyle X\rOK\r", false, "keep", "0000", KT300Protocol::kErrBadReply,
         KT300Protocol::kLinkErrNoField},
        // A controller error reply costs the full time limit: one case only.
        {"controller error", Query(&P::GetSpeed, 0), "E03\r", false, Text(-1), "0000", 20043,
         KorvaComPort::kErrNoFlag},
        // Position: line starts name stopped axes; the value is field 1.
        {"position", Query(&P::GetPosition, 0, -9.0), "Position X,1.5\rOK\r", true, Text(1.5)},
        {"position, Y stopped", Query(&P::GetPosition, 0, -9.0), "Position X,1.5\rY STOP\rOK\r",
         true, Text(1.5), "0100"},
        {"position, stop line first", Query(&P::GetPosition, 0, -9.0), "Z STOP\rOK\r", false,
         Text(0), "0010", KT300Protocol::kErrBadReply},
        {"position, no value", Query(&P::GetPosition, 0, -9.0), "Position X\rOK\r", false, Text(0),
         "0000", KT300Protocol::kErrBadReply},
        {"position, one word", Query(&P::GetPosition, 0, -9.0), "Position\rOK\r", false, Text(0),
         "0000", KT300Protocol::kErrBadReply},
        {"position, not a number", Query(&P::GetPosition, 0, -9.0), "Position X,1.5.2\rOK\r", false,
         Text(0), "0000", KT300Protocol::kErrBadReply},
        {"encoder truncates toward zero", Query(&P::GetEncoderValue, 0, 7L),
         "EncodeValue X,-2.7\rOK\r", true, "-2"},
        {"encoder huge", Query(&P::GetEncoderValue, 0, 7L), "EncodeValue X,1e30\rOK\r", true,
         "2147483647"},
        {"encoder not a number", Query(&P::GetEncoderValue, 0, 7L), "EncodeValue X,nan\rOK\r", true,
         "0"},
        {"encoder missing", Query(&P::GetEncoderValue, 0, 7L), "EncodeValue\rOK\r", false, "-1",
         "0000", KT300Protocol::kErrBadReply},
        // Port input: second word, no comma split; not preset.
        {"port input", Query(&P::GetPortInput, short{99}), "PORTINPUT 12\rOK\r", true, "12"},
        {"port input unreadable", Query(&P::GetPortInput, short{99}), "PORTINPUT\rOK\r", false,
         "99", "0000", KT300Protocol::kErrPortInput},
        // Selection and model.
        {"select id", Query(&P::GetSelectId, short{99}), "ID 3\rOK\r", true, "3"},
        {"select id one word", Query(&P::GetSelectId, short{99}), "ID\rOK\r", false, "99", "0000",
         KT300Protocol::kErrBadReply},
        {"model RSX with items", Model(), "SystemInfo KT300RSX,1.2,x\rOK\r", true, "2"},
        {"model 7Q", Model(), "SystemInfo KT3007Q\rOK\r", true, "1"},
        {"model one word", Model(), "SystemInfo\rOK\r", true, "0", "0000",
         KT300Protocol::kErrBadReply},
        {"model lower case", Model(), "SystemInfo kt3007q\rOK\r", true, "0"},
        // Motion replies.
        {"home sync READY OK", Plain([](P& p) { return p.GoHome(0); }), "READY\rOK\r", true, "",
         "1000", 0, 0, true},
        {"home READY only", Plain([](P& p) { return p.GoHome(1); }), "READY\r", true, "", "0000"},
        {"home READY READY", Plain([](P& p) { return p.GoHome(1); }), "READY\rREADY\r", true, "",
         "0000"},
        {"home OK only", Plain([](P& p) { return p.GoHome(1); }), "OK\r", false, ""},
        {"go nothing arrives", Plain([](P& p) { return p.Go(2, 1); }), "", false, ""},
        {"origin READY stop", Plain([](P& p) { return p.GoOrigin(3); }), "READY\rT STOP\rOK\r",
         true, "", "0001"},
        {"position names another axis", Plain([](P& p) { return p.GoPosition(0, 1, 0, 1, 1); }),
         "READY\rY STOP\r", true, "", "0100"},
        {"position single line", Plain([](P& p) { return p.GoPosition(0, 1, 0, 1, 1); }),
         "Z STOP\r", true, "", "0010"},
        {"position no stop", Plain([](P& p) { return p.GoPosition(0, 1, 0, 1, 1); }), "READY\rOK\r",
         true, "", "0000"},
        {"stop sets the flag", Plain([](P& p) { return p.Stop(2); }), "OK\r", true, "", "0010"},
        {"slow stop sets the flag", Plain([](P& p) { return p.StopSlow(3); }), "STOP T\rOK\r", true,
         "", "0001"},
    };
    return rows;
}

TEST_F(ProtocolOnPty, RepliesParse) {
    ConnectPlain();
    for (const ParseRow& row : Rows()) {
        SCOPED_TRACE(row.name);
        for (int axis = 0; axis < 4; ++axis) proto.SetStopFlag(axis, 0);
        KT300Protocol::ResetPositionTracking();
        proto.SetSyncMode(row.sync);
        peer.ExpectAny(row.reply);
        Outcome got = row.op(proto);
        EXPECT_EQ(got.ok, row.ok);
        EXPECT_EQ(got.output, row.output);
        std::string flags;
        for (int axis = 0; axis < 4; ++axis) flags += proto.GetStopFlag(axis) ? '1' : '0';
        EXPECT_EQ(flags, row.stopFlags);
        EXPECT_EQ(proto.GetErrorCode(), row.errorCode);
        EXPECT_EQ(proto.GetLinkErrorCode(), row.linkCode);
        EXPECT_EQ(peer.PendingSteps(), 0u);
    }
    EXPECT_TRUE(peer.Unexpected().empty());
}

}  // namespace
}  // namespace korva::test
