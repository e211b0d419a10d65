// The C interface over the control and its member table.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "vantrel/ctrl.hpp"
#include "vantrel/vantrel.h"

using vantrel::Variant;
using vantrel::VarType;

namespace {

char* dupString(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (!p) throw std::bad_alloc();
    std::memcpy(p, s.data(), s.size() + 1);
    return p;
}

void fillError(vantrel_error* error, int32_t number, const char* text) {
    if (!error) return;
    error->number = number;
    std::snprintf(error->text, sizeof error->text, "%s", text);
}

// Runs fn, turning a failure into -1 and *error.
template <typename Fn>
int guarded(vantrel_error* error, Fn&& fn) {
    try {
        fn();
        return 0;
    } catch (const vantrel::Error& e) {
        fillError(error, e.number(), e.what());
    } catch (const std::bad_alloc&) {
        fillError(error, 7, "Out of memory");
    } catch (const std::exception& e) {
        fillError(error, 51, e.what());
    } catch (...) {
        fillError(error, 51, "Internal error");
    }
    return -1;
}

Variant toVariant(const vantrel_variant& v) {
    switch (v.type) {
        case VANTREL_VT_EMPTY:
            return Variant();
        case VANTREL_VT_NULL:
            return Variant::null();
        case VANTREL_VT_INTEGER:
            return Variant(v.u.integer);
        case VANTREL_VT_LONG:
            return Variant(v.u.lng);
        case VANTREL_VT_DOUBLE:
            return Variant(v.u.dbl);
        case VANTREL_VT_CURRENCY:
            return Variant(vantrel::Currency{v.u.currency});
        case VANTREL_VT_STRING:
            return Variant(std::string(v.u.str ? v.u.str : ""));
        case VANTREL_VT_BOOLEAN:
            return Variant(v.u.integer != 0);
        default:
            throw vantrel::Error(vantrel::err::TypeMismatch);
    }
}

// Replaces *out (clearing what it held) with v.
void fromVariant(const Variant& v, vantrel_variant* out) {
    vantrel_variant n;
    vantrel_variant_init(&n);
    n.type = static_cast<uint16_t>(v.type());
    switch (v.type()) {
        case VarType::Empty:
        case VarType::Null:
            break;
        case VarType::Integer:
            n.u.integer = v.asInteger();
            break;
        case VarType::Long:
            n.u.lng = v.asLong();
            break;
        case VarType::Double:
            n.u.dbl = v.asDouble();
            break;
        case VarType::Currency:
            n.u.currency = v.asCurrency().scaled;
            break;
        case VarType::String:
            n.u.str = dupString(v.asString());
            break;
        case VarType::Boolean:
            n.u.integer = v.asBoolean() ? -1 : 0;
            break;
    }
    vantrel_variant_clear(out);
    *out = n;
}

bool sameValue(const vantrel_variant& a, const vantrel_variant& b) {
    if (a.type != b.type) return false;
    switch (a.type) {
        case VANTREL_VT_INTEGER:
        case VANTREL_VT_BOOLEAN:
            return a.u.integer == b.u.integer;
        case VANTREL_VT_LONG:
            return a.u.lng == b.u.lng;
        case VANTREL_VT_DOUBLE:
            return std::memcmp(&a.u.dbl, &b.u.dbl, sizeof a.u.dbl) == 0;
        case VANTREL_VT_CURRENCY:
            return a.u.currency == b.u.currency;
        case VANTREL_VT_STRING:
            return std::strcmp(a.u.str ? a.u.str : "", b.u.str ? b.u.str : "") == 0;
        default:
            return true;
    }
}

// The two variants a NewData callback holds, standing for the control's m_Value and
// m_ErrorString. C has no references, so the fields and the variants are kept in step at
// every call into the library the callback makes: what the callback assigned goes into the
// fields before the call, and what the call left in the fields comes back into the variants
// after it. A variant the callback has not touched since is never written to its field, so a
// stale view cannot undo what a member did.
class NewDataView {
  public:
    NewDataView(Variant& field, std::string& text) : field_(field), text_(text) {
        for (vantrel_variant* v : {&value, &error, &shownValue_, &shownError_})
            vantrel_variant_init(v);
        show();
    }
    ~NewDataView() {
        for (vantrel_variant* v : {&value, &error, &shownValue_, &shownError_})
            vantrel_variant_clear(v);
    }
    NewDataView(const NewDataView&) = delete;
    NewDataView& operator=(const NewDataView&) = delete;

    // Stores what the callback assigned since the last show().
    void take() {
        if (!sameValue(value, shownValue_)) field_ = toVariant(value);
        if (!sameValue(error, shownError_)) text_ = toVariant(error).toString();
    }
    // Shows the fields as they are now.
    void show() {
        fromVariant(field_, &value);
        fromVariant(field_, &shownValue_);
        fromVariant(Variant(text_), &error);
        fromVariant(Variant(text_), &shownError_);
    }

    vantrel_variant value;
    vantrel_variant error;

  private:
    Variant& field_;
    std::string& text_;
    vantrel_variant shownValue_;
    vantrel_variant shownError_;
};

// The NewData callbacks running on this thread, innermost last.
thread_local std::vector<NewDataView*> tl_views;

// Forwards the control's events to a C callback.
class CallbackSink : public vantrel::VantrelEvents {
  public:
    vantrel_event_fn fn = nullptr;
    void* user = nullptr;

    void InterruptLow() override {
        if (fn) fn(user, VANTREL_EVENT_INTERRUPTLOW, nullptr, nullptr);
    }
    void InterruptHigh() override {
        if (fn) fn(user, VANTREL_EVENT_INTERRUPTHIGH, nullptr, nullptr);
    }
    void NewData(Variant& m_Value, std::string& ErrorStr) override {
        if (!fn) return;
        NewDataView view(m_Value, ErrorStr);
        tl_views.push_back(&view);
        try {
            fn(user, VANTREL_EVENT_NEWDATA, &view.value, &view.error);
            tl_views.pop_back();
        } catch (...) {
            tl_views.pop_back();
            throw;
        }
        view.take();
    }
};

// The site of a control made through this interface: the thread's loop, and a user mode that
// the host sets (run time until told otherwise).
class CSite : public vantrel::LoopSite {
  public:
    CSite() : LoopSite(vantrel::threadLoop()) {}
    bool UserMode() const override { return userMode; }
    void DoEvents() override {
        if (pump)
            pump(pumpUser);
        else
            LoopSite::DoEvents();
    }
    bool userMode = true;
    vantrel_pump_fn pump = nullptr;
    void* pumpUser = nullptr;
};

}  // namespace

struct vantrel_ctrl {
    std::shared_ptr<CSite> site;
    std::unique_ptr<vantrel::VantrelCtrl> ctrl;
    CallbackSink sink;
    vantrel_ctrl* nextReleased = nullptr;                // released while a call was under way
    std::thread::id owner = std::this_thread::get_id();  // the thread that created it
};

namespace {

// A control belongs to the thread that created it: its port and timer live on that thread's
// loop. Builds with VANTREL_CHECK_THREADS (all but Release) refuse a call from another thread
// instead of letting it race with the owner.
#ifdef VANTREL_CHECK_THREADS
constexpr bool kCheckThreads = true;
#else
constexpr bool kCheckThreads = false;
#endif

// Why `call` on `c` is refused on this thread; empty when it may go ahead.
std::string wrongThread(const vantrel_ctrl& c, const char* call) {
    if (!kCheckThreads || c.owner == std::this_thread::get_id()) return {};
    return std::string(call) +
           ": the control belongs to the thread that created it; a call from another thread is "
           "refused";
}

// For the calls that return nothing: the refusal goes to standard error, the call is not made.
bool refusedHere(const vantrel_ctrl& c, const char* call) {
    const std::string why = wrongThread(c, call);
    if (why.empty()) return false;
    std::fprintf(stderr, "vantrel: %s\n", why.c_str());
    return true;
}

// For the calls that report an error: fills it. True when the call must not go ahead.
bool refusedHere(const vantrel_ctrl& c, const char* call, vantrel_error* error) {
    const std::string why = wrongThread(c, call);
    if (why.empty()) return false;
    fillError(error, vantrel::err::WrongThread, why.c_str());
    return true;
}

// Calls into the library that may run a control's code are counted: a control released inside
// one of them (from its own callback, say) is freed when the outermost one returns.
thread_local int tl_depth = 0;
thread_local vantrel_ctrl* tl_released = nullptr;

class LibraryCall {
  public:
    // Hands the callbacks' assignments to the fields; a bad type code in them fails the call.
    LibraryCall() {
        ++tl_depth;
        try {
            for (NewDataView* v : tl_views) v->take();
        } catch (...) {
            leave();
            throw;
        }
    }
    ~LibraryCall() { leave(); }
    LibraryCall(const LibraryCall&) = delete;
    LibraryCall& operator=(const LibraryCall&) = delete;

  private:
    static void leave() noexcept {
        for (NewDataView* v : tl_views) {
            try {
                v->show();
            } catch (...) {  // out of memory: the view keeps what it held
            }
        }
        if (--tl_depth > 0) return;
        while (vantrel_ctrl* c = tl_released) {
            tl_released = c->nextReleased;
            delete c;
        }
    }
};

// Wraps a freshly made control for the caller.
vantrel_ctrl* adopt(std::unique_ptr<vantrel_ctrl> c) {
    c->ctrl->connect(&c->sink);
    return c.release();
}

}  // namespace

extern "C" {

void vantrel_variant_init(vantrel_variant* v) {
    if (!v) return;
    std::memset(v, 0, sizeof *v);
    v->type = VANTREL_VT_EMPTY;
}

void vantrel_variant_clear(vantrel_variant* v) {
    if (!v) return;
    if (v->type == VANTREL_VT_STRING) std::free(v->u.str);
    vantrel_variant_init(v);
}

void vantrel_variant_set_long(vantrel_variant* v, int32_t value) {
    if (!v) return;
    vantrel_variant_clear(v);
    v->type = VANTREL_VT_LONG;
    v->u.lng = value;
}

void vantrel_variant_set_double(vantrel_variant* v, double value) {
    if (!v) return;
    vantrel_variant_clear(v);
    v->type = VANTREL_VT_DOUBLE;
    v->u.dbl = value;
}

void vantrel_variant_set_bool(vantrel_variant* v, int value) {
    if (!v) return;
    vantrel_variant_clear(v);
    v->type = VANTREL_VT_BOOLEAN;
    v->u.integer = value ? -1 : 0;
}

int vantrel_variant_set_string(vantrel_variant* v, const char* utf8) {
    if (!v) return -1;
    char* copy = strdup(utf8 ? utf8 : "");
    if (!copy) return -1;
    vantrel_variant_clear(v);
    v->type = VANTREL_VT_STRING;
    v->u.str = copy;
    return 0;
}

vantrel_ctrl* vantrel_create(vantrel_error* error) {
    vantrel_ctrl* out = nullptr;
    guarded(error, [&] {
        auto c = std::make_unique<vantrel_ctrl>();
        c->site = std::make_shared<CSite>();
        c->ctrl = vantrel::VantrelCtrl::createNew(c->site);
        out = adopt(std::move(c));
    });
    return out;
}

vantrel_ctrl* vantrel_create_from_form(const char* path, const char* name, vantrel_error* error) {
    if (!path || !name) {
        fillError(error, vantrel::err::InvalidPropertyValue, "invalid argument");
        return nullptr;
    }
    vantrel_ctrl* out = nullptr;
    guarded(error, [&] {
        auto form = vantrel::FormFile::load(path);
        auto c = std::make_unique<vantrel_ctrl>();
        c->site = std::make_shared<CSite>();
        c->ctrl = vantrel::VantrelCtrl::createFromForm(form, name, c->site);
        out = adopt(std::move(c));
    });
    return out;
}

int vantrel_save_to_form(vantrel_ctrl* ctrl, const char* path, const char* name,
                         vantrel_error* error) {
    if (!ctrl || !path || !name) {
        fillError(error, vantrel::err::InvalidPropertyValue, "invalid argument");
        return -1;
    }
    if (refusedHere(*ctrl, "vantrel_save_to_form", error)) return -1;
    return guarded(error, [&] {
        // Loaded afresh, so that what others saved to the file meanwhile is kept.
        auto form = vantrel::FormFile::load(path);
        ctrl->ctrl->UserControl_WriteProperties(form.bag(name));
        form.save();
    });
}

void vantrel_set_message_pump(vantrel_ctrl* ctrl, vantrel_pump_fn pump, void* user) {
    if (!ctrl || refusedHere(*ctrl, "vantrel_set_message_pump")) return;
    ctrl->site->pump = pump;
    ctrl->site->pumpUser = user;
}

void vantrel_set_user_mode(vantrel_ctrl* ctrl, int user_mode) {
    if (ctrl && !refusedHere(*ctrl, "vantrel_set_user_mode")) ctrl->site->userMode = user_mode != 0;
}

void vantrel_release(vantrel_ctrl* ctrl) {
    // Refused on another thread: the control stays, as freeing it would race with its owner.
    if (!ctrl || refusedHere(*ctrl, "vantrel_release")) return;
    if (tl_depth == 0) {
        delete ctrl;
        return;
    }
    // Released from inside a call (its own callback, typically): the member under way finishes
    // without further events, and the control goes when the outermost call returns.
    ctrl->sink.fn = nullptr;
    ctrl->nextReleased = tl_released;
    tl_released = ctrl;
}

int vantrel_member_id(const char* name, int32_t* id) {
    if (!name) return -1;
    auto found = vantrel::memberIdByName(name);
    if (!found) return -1;
    if (id) *id = *found;
    return 0;
}

int vantrel_invoke(vantrel_ctrl* ctrl, int32_t member_id, uint16_t kind, vantrel_variant* args,
                   size_t nargs, vantrel_variant* result, vantrel_error* error) {
    if (!ctrl || (nargs && !args)) {
        fillError(error, vantrel::err::InvalidPropertyValue, "invalid argument");
        return -1;
    }
    if (refusedHere(*ctrl, "vantrel_invoke", error)) return -1;
    return guarded(error, [&] {
        const LibraryCall call;
        std::vector<Variant> in;
        in.reserve(nargs);
        for (size_t i = 0; i < nargs; ++i) in.push_back(toVariant(args[i]));
        const auto k = static_cast<vantrel::InvokeKind>(kind);
        // By-reference arguments come back as far as the member got, also from a failed call.
        const auto writeBack = [&] {
            const vantrel::MemberInfo* info = vantrel::findMember(member_id, k);
            for (size_t i = 0; info && i < nargs && i < info->params.size(); ++i)
                if (info->params[i].byRef) fromVariant(in[i], &args[i]);
        };
        Variant r;
        try {
            r = vantrel::invoke(*ctrl->ctrl, member_id, k, in);
        } catch (...) {
            writeBack();
            throw;
        }
        writeBack();
        if (result) fromVariant(r, result);
    });
}

void vantrel_set_event_callback(vantrel_ctrl* ctrl, vantrel_event_fn fn, void* user) {
    if (!ctrl || refusedHere(*ctrl, "vantrel_set_event_callback")) return;
    ctrl->sink.fn = fn;
    ctrl->sink.user = user;
}

int vantrel_map_port(int port, const char* path) {
    if (port < 1 || port > 255 || (path && !*path)) return -1;
    return guarded(nullptr, [&] {
        if (path)
            vantrel::PortMap::instance().map(port, path);
        else
            vantrel::PortMap::instance().unmap(port);
    });
}

int vantrel_pump(int timeout_ms, vantrel_error* error) {
    int ran = 0;
    if (guarded(error, [&] {
            const LibraryCall call;
            auto& loop = vantrel::threadLoop();
            if (timeout_ms < 0) {
                loop.pumpOnce();
                ran = 1;
            } else {
                ran = loop.pumpOnce(std::chrono::milliseconds(timeout_ms)) ? 1 : 0;
            }
        }) != 0)
        return -1;
    return ran;
}

int vantrel_loop_fd(void) {
    int fd = -1;
    guarded(nullptr, [&] { fd = vantrel::threadLoop().fd(); });
    return fd;
}

int vantrel_dispatch_pending(vantrel_error* error) {
    return guarded(error, [] {
        const LibraryCall call;
        vantrel::threadLoop().dispatchPending();
    });
}

}  // extern "C"
