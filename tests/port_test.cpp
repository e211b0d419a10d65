// Port number and rate, open and close, the receive and line-event handler, read-outs.
#include <gtest/gtest.h>

#include "fakes.hpp"

using namespace vantrel;
using vantrel::testing::CtrlProbe;
using vantrel::testing::FakeRig;

namespace {

const char* kBaudText =
    "Baud rate must be 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200";

TEST(Port, AcceptsOneToEightOnly) {
    const std::tuple<int32_t, bool> cases[] = {{0, false}, {1, true},   {8, true},
                                               {9, false}, {-1, false}, {5, true}};
    for (auto [port, ok] : cases) {
        FakeRig rig;
        rig.ctrl->Port(port);
        EXPECT_EQ(rig.ctrl->Port(), ok ? port : 1) << port;
        EXPECT_EQ(rig.serial->port, ok ? port : 1) << port;
        EXPECT_EQ(rig.ctrl->ErrorString(), ok ? "" : "Port must be 1 to 8") << port;
        EXPECT_EQ(rig.site->changed,
                  ok ? std::vector<std::string>{"Port"} : std::vector<std::string>{})
            << port;
    }
}

TEST(Port, ComponentRefusalIsIgnored) {
    FakeRig rig;
    rig.serial->failCommPort = true;
    CtrlProbe::errorString(*rig.ctrl) = "old";
    EXPECT_NO_THROW(rig.ctrl->Port(3));
    EXPECT_EQ(rig.ctrl->Port(), 3);
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_EQ(rig.site->changed, std::vector<std::string>{"Port"});
}

TEST(Bauds, AcceptsTheTenRatesOnly) {
    for (int32_t rate : {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}) {
        FakeRig rig;
        rig.ctrl->Bauds(rate);
        EXPECT_EQ(rig.ctrl->Bauds(), rate);
        EXPECT_EQ(rig.serial->settings, std::to_string(rate) + ",N,8,1");
        EXPECT_EQ(rig.ctrl->ErrorString(), "");
        EXPECT_EQ(rig.site->changed, std::vector<std::string>{"Bauds"});
    }
    for (int32_t rate : {110, 14400, 0, -9600, 230400}) {
        FakeRig rig;
        rig.ctrl->Bauds(rate);
        EXPECT_EQ(rig.ctrl->Bauds(), 9600) << rate;
        EXPECT_EQ(rig.serial->settings, "9600,N,8,1");
        EXPECT_EQ(rig.ctrl->ErrorString(), kBaudText);
        EXPECT_TRUE(rig.site->changed.empty());
    }
}

TEST(Bauds, ComponentRefusalFailsAfterTheFieldChanged) {
    FakeRig rig;
    rig.serial->failSettings = true;
    EXPECT_THROW(rig.ctrl->Bauds(19200), Error);
    EXPECT_EQ(rig.ctrl->Bauds(), 19200);
    EXPECT_EQ(rig.site->changed, std::vector<std::string>{"Bauds"});
}

TEST(OpenClose, TheFlagAndTheComponent) {
    FakeRig rig;
    EXPECT_TRUE(rig.ctrl->OpenPort());
    EXPECT_TRUE(rig.ctrl->PortIsOpen());
    EXPECT_FALSE(rig.ctrl->OpenPort());
    EXPECT_EQ(rig.ctrl->ErrorString(), "A port is already open. Close and re-open");
    EXPECT_TRUE(rig.serial->open);
    EXPECT_TRUE(rig.ctrl->ClosePort());
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_FALSE(rig.serial->open);
    EXPECT_FALSE(rig.ctrl->ClosePort());
    EXPECT_EQ(rig.ctrl->ErrorString(), "Port is not open");
    EXPECT_FALSE(rig.ctrl->PortIsOpen());
}

TEST(OpenClose, FailedOpenIsAFalseResult) {
    FakeRig rig;
    rig.serial->failOpen = true;
    EXPECT_FALSE(rig.ctrl->OpenPort());
    EXPECT_EQ(rig.ctrl->ErrorString(), "Port could not be open");
    EXPECT_FALSE(rig.ctrl->PortIsOpen());
}

TEST(OpenClose, StaleFlagRecovery) {
    FakeRig rig;
    CtrlProbe::portIsOpen(*rig.ctrl) = true;  // as loaded from a stored form
    EXPECT_FALSE(rig.ctrl->OpenPort());
    EXPECT_FALSE(rig.serial->open);
    EXPECT_FALSE(rig.ctrl->ClosePort());
    EXPECT_EQ(rig.ctrl->ErrorString(), "Port is not open");
    EXPECT_TRUE(rig.ctrl->OpenPort());
    EXPECT_TRUE(rig.serial->open);
}

TEST(OnComm, CodeTable) {
    struct Case {
        int16_t code;
        const char* status;  // nullptr: unchanged
        const char* error;   // nullptr: unchanged
    };
    const Case cases[] = {
        {comm::Send, nullptr, nullptr},
        {comm::CTS, "Change in CTS Detected", nullptr},
        {comm::DSR, "Change in DSR Detected", nullptr},
        {comm::CD, "Change in CD Detected", nullptr},
        {comm::Ring, "The Phone is Ringing", nullptr},
        {comm::EndOfFile, "End of File Detected", nullptr},
        {comm::Frame, nullptr, "Framing Error"},
        {comm::Overrun, nullptr, "Overrun Error"},
        {comm::RxOver, nullptr, "Receive Buffer Overflow"},
        {comm::RxParity, nullptr, "Parity Error"},
        {comm::TxFull, nullptr, "Transmit Buffer Full"},
        {comm::DCB, nullptr, "Error retrieving DCB"},
        {comm::Break, nullptr, nullptr},
        {comm::CTSTimeout, nullptr, nullptr},
        {comm::DSRTimeout, nullptr, nullptr},
        {comm::CDTimeout, nullptr, nullptr},
        {999, nullptr, "Unknown error or event"},
        {1005, nullptr, "Unknown error or event"},
    };
    for (const Case& c : cases) {
        FakeRig rig;
        CtrlProbe::errorString(*rig.ctrl) = "before";
        rig.ctrl->comm();  // the handler is wired to the component
        rig.serial->notify(comm::CTS);
        rig.serial->notify(c.code);
        EXPECT_EQ(rig.ctrl->Status(), c.status ? c.status : "Change in CTS Detected") << c.code;
        EXPECT_EQ(rig.ctrl->ErrorString(), c.error ? c.error : "before") << c.code;
        EXPECT_TRUE(rig.log.events.empty());
    }
}

TEST(Interrupts, WholeBufferRule) {
    struct Case {
        std::vector<std::string> arrivals;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {{"L"}, {"L"}},
        {{"L", "H"}, {"L", "L", "H"}},
        {{"xHxLx"}, {"L", "H"}},
        {{"l h", "abc"}, {}},
        {{"OK 1", "L", "z", "z"}, {"L", "L", "L"}},
    };
    for (const Case& c : cases) {
        FakeRig rig;
        for (auto& a : c.arrivals) rig.serial->receive(a);
        EXPECT_EQ(rig.log.events, c.events);
    }
}

TEST(Interrupts, CommandEmptiesTheBufferAndTheLetters) {
    FakeRig rig;
    rig.opened();
    rig.serial->receive("L");
    rig.serial->reply({"OK 1\r\n>"});
    std::string s = "PRS";
    rig.ctrl->Command(s);
    rig.serial->receive("x");
    EXPECT_EQ(rig.log.events, (std::vector<std::string>{"L", "NewData"}));
    EXPECT_EQ(rig.ctrl->ReturnedStr(), "OK 1\r\n>x");
}

TEST(Interrupts, DuringTheWait) {
    FakeRig rig;
    rig.opened();
    rig.serial->reply({"OK 1", "H\r\n", ">"});
    std::string s = "PRS";
    EXPECT_TRUE(rig.ctrl->Command(s));
    EXPECT_EQ(rig.log.events, (std::vector<std::string>{"H", "H", "NewData"}));
}

TEST(ReceiveBuffer, KeepsTheNewestMebibyteAndTheLetters) {
    FakeRig rig;
    rig.serial->receive("L");
    const std::string chunk(64 * 1024, 'a');
    for (int i = 0; i < 40; ++i) rig.serial->receive(chunk);
    rig.serial->receive("end");
    const std::string all = rig.ctrl->ReturnedStr();
    EXPECT_EQ(all.size(), size_t{1} << 20);
    EXPECT_EQ(all.substr(all.size() - 3), "end");
    EXPECT_EQ(rig.log.count("L"), 42u);  // the "L" was dropped from the text, not the event
}

TEST(ReadOuts, NewControl) {
    FakeRig rig;
    EXPECT_EQ(rig.ctrl->Port(), 1);
    EXPECT_EQ(rig.ctrl->Bauds(), 9600);
    EXPECT_FALSE(rig.ctrl->PortIsOpen());
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_EQ(rig.ctrl->ReturnedStr(), "");
    EXPECT_EQ(rig.ctrl->Status(), "");
    EXPECT_EQ(rig.ctrl->Value(), 0);
    EXPECT_EQ(rig.ctrl->ErrorNr(), 0);
    std::string s = "held text";
    EXPECT_EQ(rig.ctrl->c_status(s), 0);
    EXPECT_EQ(s, "");
    s = "x";
    CtrlProbe::errorString(*rig.ctrl) = "err";
    EXPECT_EQ(rig.ctrl->c_errorstring(s), 0);
    EXPECT_EQ(s, "err");
    rig.serial->receive("abc");
    EXPECT_EQ(rig.ctrl->c_returnedstr(s), 0);
    EXPECT_EQ(s, "abc");
}

TEST(Value, RoundsHalfToEvenAndFailsOutOfRange) {
    const std::pair<Variant, int32_t> cases[] = {
        {Variant(2.5), 2},
        {Variant(3.5), 4},
        {Variant(-2.5), -2},
        {Variant(2147483647.4), 2147483647},
        {Variant(), 0},
        {Variant(std::string(" 12.5 ")), 12},
        {Variant(-2147483648.0), -2147483647 - 1},
    };
    for (auto& [v, want] : cases) {
        FakeRig rig;
        CtrlProbe::value(*rig.ctrl) = v;
        EXPECT_EQ(rig.ctrl->Value(), want);
    }
    const std::pair<Variant, int32_t> failures[] = {
        {Variant(2147483647.5), err::Overflow},
        {Variant(std::string("abc")), err::TypeMismatch},
    };
    for (auto& [v, number] : failures) {
        FakeRig rig;
        CtrlProbe::value(*rig.ctrl) = v;
        try {
            rig.ctrl->Value();
            ADD_FAILURE() << "expected error " << number;
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), number);
        }
        EXPECT_EQ(CtrlProbe::value(*rig.ctrl), v);
    }
}

}  // namespace
