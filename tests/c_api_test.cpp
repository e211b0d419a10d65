// The C interface: create, invoke by id with coercion and write-back, events, errors.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "sim/pty_board.hpp"
#include "vantrel/error.hpp"
#include "vantrel/vantrel.h"

namespace {

struct Events {
    std::vector<int32_t> ids;
    std::string lastText;
    bool rewrite = false;
};

void onEvent(void* user, int32_t id, vantrel_variant* value, vantrel_variant* text) {
    auto* ev = static_cast<Events*>(user);
    ev->ids.push_back(id);
    if (id != VANTREL_EVENT_NEWDATA) {
        EXPECT_EQ(value, nullptr);
        return;
    }
    ASSERT_EQ(text->type, VANTREL_VT_STRING);
    ev->lastText = text->u.str;
    if (ev->rewrite) {
        vantrel_variant_set_double(value, 41.5);
        vantrel_variant_set_string(text, "rewritten");
    }
}

int32_t idOf(const char* name) {
    int32_t id = 0;
    EXPECT_EQ(vantrel_member_id(name, &id), 0) << name;
    return id;
}

class CApi : public ::testing::Test {
  protected:
    void SetUp() override {
        board = std::make_unique<vantrel::sim::PtyBoard>(vantrel::threadLoop());
        ASSERT_EQ(vantrel_map_port(2, board->slavePath().c_str()), 0);
        vantrel_error e{};
        ctrl = vantrel_create(&e);
        ASSERT_NE(ctrl, nullptr) << e.text;
        vantrel_set_event_callback(ctrl, onEvent, &events);
    }
    void TearDown() override {
        vantrel_release(ctrl);
        vantrel_map_port(2, nullptr);
        board.reset();
    }
    int call(const char* name, uint16_t kind, std::vector<vantrel_variant>& args,
             vantrel_variant* result) {
        return vantrel_invoke(ctrl, idOf(name), kind, args.data(), args.size(), result, &error);
    }

    std::unique_ptr<vantrel::sim::PtyBoard> board;
    vantrel_ctrl* ctrl = nullptr;
    Events events;
    vantrel_error error{};
};

TEST_F(CApi, CommandByIdWithWriteBackAndEvents) {
    std::vector<vantrel_variant> args(1);
    vantrel_variant result;
    vantrel_variant_init(&result);
    vantrel_variant_set_string(&args[0], "2");  // text coerced to the Long port number
    ASSERT_EQ(call("Port", VANTREL_PROPERTYPUT, args, nullptr), 0) << error.text;
    std::vector<vantrel_variant> none;
    ASSERT_EQ(call("OpenPort", VANTREL_METHOD, none, &result), 0) << error.text;
    EXPECT_EQ(result.type, VANTREL_VT_BOOLEAN);
    EXPECT_EQ(result.u.integer, -1);

    board->engine().scriptReply("OK 523\r\n>");
    vantrel_variant_set_string(&args[0], "PRS");
    ASSERT_EQ(call("Command", VANTREL_METHOD, args, &result), 0) << error.text;
    EXPECT_EQ(result.u.integer, -1);
    ASSERT_EQ(args[0].type, VANTREL_VT_STRING);
    EXPECT_STREQ(args[0].u.str, " 523>");
    EXPECT_EQ(events.ids, std::vector<int32_t>{VANTREL_EVENT_NEWDATA});

    ASSERT_EQ(call("Value", VANTREL_METHOD, none, &result), 0);
    EXPECT_EQ(result.type, VANTREL_VT_LONG);
    EXPECT_EQ(result.u.lng, 523);

    // A NewData callback that rewrites the control's fields.
    events.rewrite = true;
    board->engine().scriptReply("?5 Channel busy\r\n>");
    vantrel_variant_set_string(&args[0], "PRS");
    ASSERT_EQ(call("Command", VANTREL_METHOD, args, &result), 0);
    EXPECT_EQ(result.u.integer, 0);
    EXPECT_EQ(events.lastText, "Channel busy");
    ASSERT_EQ(call("ErrorString", VANTREL_METHOD, none, &result), 0);
    EXPECT_STREQ(result.u.str, "rewritten");
    ASSERT_EQ(call("Value", VANTREL_METHOD, none, &result), 0);
    EXPECT_EQ(result.u.lng, 42);  // 41.5 to even

    vantrel_variant_clear(&result);
    vantrel_variant_clear(&args[0]);
}

TEST_F(CApi, FailedCallsFillTheError) {
    std::vector<vantrel_variant> args(1);
    vantrel_variant_set_string(&args[0], "not a number");
    EXPECT_EQ(call("Port", VANTREL_PROPERTYPUT, args, nullptr), -1);
    EXPECT_EQ(error.number, 13);
    EXPECT_STREQ(error.text, "Type mismatch");
    EXPECT_EQ(vantrel_invoke(ctrl, 0x7fff0000, VANTREL_METHOD, nullptr, 0, nullptr, &error), -1);
    EXPECT_EQ(error.number, 438);
    std::vector<vantrel_variant> none;
    EXPECT_EQ(call("Port", VANTREL_PROPERTYPUT, none, nullptr), -1);
    EXPECT_EQ(error.number, 450);
    int32_t id = 0;
    EXPECT_EQ(vantrel_member_id("NoSuchMember", &id), -1);
    vantrel_variant_clear(&args[0]);
}

// A control is used on the thread that created it; a debug build refuses any other thread's
// call instead of letting it race with the owner, and the control stays whole for its owner.
TEST_F(CApi, ACallFromAnotherThreadIsRefused) {
#ifndef VANTREL_CHECK_THREADS
    GTEST_SKIP() << "the thread check is in debug builds only";
#endif
    ASSERT_EQ(vantrel_map_port(3, "/nonexistent/com3"), 0);
    std::vector<vantrel_variant> args(1);
    vantrel_variant_set_long(&args[0], 3);
    vantrel_error elsewhere{};
    int invoked = 0;
    int saved = 0;
    std::thread([&] {
        invoked = vantrel_invoke(ctrl, idOf("Port"), VANTREL_PROPERTYPUT, args.data(), 1, nullptr,
                                 &elsewhere);
        saved = vantrel_save_to_form(ctrl, "/nonexistent/form.toml", "Ctrl1", nullptr);
        vantrel_set_user_mode(ctrl, 0);
        vantrel_set_event_callback(ctrl, nullptr, nullptr);
        vantrel_release(ctrl);
    }).join();
    EXPECT_EQ(invoked, -1);
    EXPECT_EQ(saved, -1);
    EXPECT_EQ(elsewhere.number, vantrel::err::WrongThread);
    EXPECT_STREQ(elsewhere.text,
                 "vantrel_invoke: the control belongs to the thread that created it; a call from "
                 "another thread is refused");
    // On its own thread the control is as it was: port 1, its events still delivered.
    vantrel_variant result;
    vantrel_variant_init(&result);
    std::vector<vantrel_variant> none;
    ASSERT_EQ(call("Port", VANTREL_PROPERTYGET, none, &result), 0) << error.text;
    EXPECT_EQ(result.type == VANTREL_VT_LONG ? result.u.lng : result.u.integer, 1);
    vantrel_variant_set_long(&args[0], 2);
    ASSERT_EQ(call("Port", VANTREL_PROPERTYPUT, args, nullptr), 0) << error.text;
    ASSERT_EQ(call("OpenPort", VANTREL_METHOD, none, &result), 0) << error.text;
    EXPECT_EQ(result.u.integer, -1);
    vantrel_variant_set_string(&args[0], "PRA");
    ASSERT_EQ(call("Command", VANTREL_METHOD, args, &result), 0) << error.text;
    EXPECT_EQ(result.u.integer, -1);
    EXPECT_EQ(events.ids, std::vector<int32_t>{VANTREL_EVENT_NEWDATA});
    vantrel_variant_clear(&args[0]);
    vantrel_map_port(3, nullptr);
}

TEST_F(CApi, LoopDescriptorAndPump) {
    EXPECT_GE(vantrel_loop_fd(), 0);
    EXPECT_EQ(vantrel_pump(0, &error), 0);
    EXPECT_EQ(vantrel_dispatch_pending(&error), 0);
}

}  // namespace
