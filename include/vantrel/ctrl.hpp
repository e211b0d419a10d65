// vantrel: the control VantrelCtrl, its event interface and its automation interface.
#pragma once

#include "vantrel/export.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/converters.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"
#include "vantrel/variant.hpp"

namespace vantrel VANTREL_API {

namespace testing {
class CtrlProbe;  // test access to the state record
}
namespace serial {
class ReceiveBuffer;  // the bytes received since the last command began
}

namespace detail {
// How the last operation ended, for the library's own layers (defined inside the library).
enum class Outcome : uint8_t;
struct OutcomeReader;
}  // namespace detail

// The control's events. A host derives from this and connects the object to a control.
// Handlers run synchronously on the loop's thread. An exception thrown by a handler reaches the
// caller of the operation that raised the event (or whoever pumps the loop, for interrupts
// between calls) as that operation's failure; the control's own state is complete before any
// event is raised, and its reply timer and nesting flags are restored on the way out.
class VantrelEvents {
  public:
    virtual ~VantrelEvents() = default;
    // The receive buffer holds a capital "L".
    virtual void InterruptLow() {}
    // The receive buffer holds a capital "H" (raised after InterruptLow when both are present).
    virtual void InterruptHigh() {}
    // An operation ended. The arguments are the control's own m_Value and m_ErrorString:
    // assigning to them changes the control.
    virtual void NewData(Variant& m_Value, std::string& ErrorStr) {
        (void)m_Value;
        (void)ErrorStr;
    }
};

// One control: one serial port, one board. Not thread-safe: use it on one thread, the thread
// whose event loop its serial component and timer are on.
class VantrelCtrl {
  public:
    // A control on the given components. Runs the creation hook (UserControl_Initialize);
    // the host then runs first-time initialisation or loading.
    VantrelCtrl(std::unique_ptr<SerialComm> comm, std::unique_ptr<Timer> timer,
                std::shared_ptr<Site> site);
    ~VantrelCtrl();
    VantrelCtrl(const VantrelCtrl&) = delete;
    VantrelCtrl& operator=(const VantrelCtrl&) = delete;

    // A newly placed control on the thread's event loop with the termios serial component:
    // created, initialised (port 1, 9600 baud, flag false) and sized to 560 by 560. Without a
    // site, a LoopSite on the thread's loop. Throws Error when a component cannot be made.
    static std::unique_ptr<VantrelCtrl> createNew(std::shared_ptr<Site> site = nullptr);
    // A stored control, as createNew but loaded from PropBag instead of initialised: created,
    // UserControl_ReadProperties, sized. Throws what loading throws (13 or 6 for a value that
    // does not convert, its text naming the key; the store's own errors); no control is made
    // then.
    static std::unique_ptr<VantrelCtrl> createFromStore(PropertyBag& PropBag,
                                                        std::shared_ptr<Site> site = nullptr);
    // The control of entry `name` of a form: createFromStore on its bag, or createNew when the
    // form has no such entry. A value that does not convert keeps its error number (13, 6),
    // with a text naming the file, the entry and the key ("form lab.toml, entry Board1, Port:
    // Type mismatch").
    static std::unique_ptr<VantrelCtrl> createFromForm(FormFile& form, std::string_view name,
                                                       std::shared_ptr<Site> site = nullptr);

    // --- Events ------------------------------------------------------------------------------
    void connect(VantrelEvents* sink);
    void disconnect(VantrelEvents* sink);

    // --- Port and rate ----------------------------------------------------------------------
    int32_t Port() const;
    // 1 to 8; otherwise sets "Port must be 1 to 8". Never fails.
    void Port(int32_t New_Port);
    int32_t Bauds() const;
    // One of the ten rates; otherwise sets the baud-rate text. Fails only when the site's
    // change notification or the serial component fails.
    void Bauds(int32_t New_Bauds);
    bool OpenPort();
    bool ClosePort();
    bool PortIsOpen() const;
    // Always fails: Error 382 in design mode, 393 at run time.
    void PortIsOpen(bool New_PortIsOpen);

    // --- Command transaction ---------------------------------------------------------------
    // Sends one command line and waits for the reply. s is replaced as the outcome says.
    // Fails (Error CommandInProgress) when called while another Command of this control waits.
    bool Command(std::string& s);

    // --- Read-outs --------------------------------------------------------------------------
    std::string ErrorString() const;
    int16_t c_errorstring(std::string& s) const;
    std::string ReturnedStr() const;
    int16_t c_returnedstr(std::string& s) const;
    std::string Status() const;
    int16_t c_status(std::string& s) const;
    // m_Value as a Long, half to even. Error 6 out of range, 13 for non-numeric text.
    int32_t Value() const;
    int16_t ErrorNr() const;

    // --- Converters -------------------------------------------------------------------------
    bool ADC8(int16_t& Channel);
    bool ADC10(int16_t& Channel);
    bool ADC12(int16_t& Channel);
    bool ADCZeroScale(Variant& NrOfBits);
    bool ADCHalfScale(Variant& NrOfBits);
    bool ADCFullScale(Variant& NrOfBits);
    bool ADCReSynchronize();
    bool FindChip(int32_t& BaudRate);

    // --- Lifecycle --------------------------------------------------------------------------
    // The platform's hooks, in the order of a life: creation (the constructor runs
    // UserControl_Initialize), then exactly one of InitProperties (a new control) or
    // ReadProperties (a stored one), then Resize; WriteProperties whenever the host saves.
    void UserControl_Initialize();
    void UserControl_InitProperties();
    // Reads "Port", "Bauds", "PortIsOpen" in that order (defaults Integer 1, Integer 9600,
    // Boolean false) into the fields, with the standard conversions and no range check. Passes
    // nothing to the serial component and opens nothing. Throws 13 or 6 for a value that does
    // not convert, or the store's error; the fields read before the failing key keep what was
    // read.
    void UserControl_ReadProperties(PropertyBag& PropBag);
    // Writes the same keys with the same defaults: Port and Bauds as Long, PortIsOpen as
    // Boolean. A store failure ends the hook at that key.
    void UserControl_WriteProperties(PropertyBag& PropBag);
    // Sets the site's Height and then Width to 560 (the control's fixed extent). Runs when the
    // site's size really changes, also nested from its own assignments.
    void UserControl_Resize();

    // The child components, for hosts and tools that look below the control (tracing, maps).
    SerialComm& comm() { return *MSComm1; }
    Site& site() { return *site_; }

  private:
    friend class testing::CtrlProbe;
    friend struct detail::OutcomeReader;

    void MSComm1_OnComm();
    void Timer1_Timer();
    void receive();
    void raiseInterruptLow();
    void raiseInterruptHigh();
    void raiseNewData();
    void settleLine();

    // Converters: one frame for every width, one for every self-test check.
    bool convert(const Converter& converter, int16_t& Channel);
    bool scaleTest(Scale scale, const Variant& NrOfBits);
    bool runCheck(const Converter& converter, const ReferenceCheck& check);

    // Child components and host.
    std::unique_ptr<SerialComm> MSComm1;
    std::unique_ptr<Timer> Timer1;
    std::shared_ptr<Site> site_;
    std::vector<VantrelEvents*> sinks_;

    // State record.
    int32_t m_Port = 0;
    int32_t m_Bauds = 0;
    std::string m_Status;
    Variant m_Value;
    bool m_PortIsOpen = false;
    std::string m_ErrorString;
    int16_t m_ErrorNr = 0;
    std::unique_ptr<serial::ReceiveBuffer> m_ReturnedStr;
    bool m_TimedOut = false;
    int16_t m_NrOfBits = 0;
    bool m_InAdcRead = false;
    bool m_InSelfTest = false;
    bool m_InResync = false;
    bool m_ChipReady = false;
    // The board has one address register for all its converters: this is the address word
    // that this control's conversions left in it. Empty while it is not known: before the
    // first conversion, after one that failed once its address write was sent, and after a
    // host's own address write.
    std::optional<int16_t> m_LastAddress;

    // Bookkeeping of our own.
    bool commandWaiting_ = false;  // a Command is under way
    int operationDepth_ = 0;       // member calls under way that talk to the board
    // A reply timed out: bytes of it may still come, and the next command waits them out.
    bool lineUnsettled_ = false;
    // Set with m_ErrorString by the exchange and the converter operations, so that the
    // library's layers tell outcomes apart without reading texts (which a board reply or an
    // event handler may make look alike).
    detail::Outcome outcome_{};
};

// ---------------------------------------------------------------------------------------------
// Automation interface: the member table and dispatch by member id.

// Invocation kinds, as the dispatch mechanism numbers them.
enum class InvokeKind : uint16_t { Method = 1, PropertyGet = 2, PropertyPut = 4 };

// What a member does with an argument passed by reference: only reads it, reads and writes a
// new value into it, or only writes it (the caller's value is not looked at). Arguments passed
// by value are Read.
enum class ArgUse : uint8_t { Read, ReadWrite, Write };

struct ParamInfo {
    const char* name;
    VarType type;  // Empty: a Variant, taken as it is
    bool byRef;
    ArgUse use;
};

struct MemberInfo {
    const char* name;
    InvokeKind kind;
    int32_t id;
    std::vector<ParamInfo> params;
    VarType result;  // Empty for none
    // How a line of the tool's shell calls it ("ADC10 channel", "Port | Port = n"), what it
    // does in a few words ("reads a channel of the 10-bit converter"), and more, or "". A
    // property's read and assignment rows carry the same texts.
    const char* usage;
    const char* summary;
    const char* details;
};

// The members of _VantrelCtrl, in interface order (a property's read and assignment are two
// rows sharing one id). The one description of the members: the C interface's type library,
// the Python binding and the shell's help and completion are built from it.
const std::vector<MemberInfo>& memberTable();
// Case-insensitive lookup of a member id by name.
std::optional<int32_t> memberIdByName(std::string_view name);
// The row for an id and kind, if there is one.
const MemberInfo* findMember(int32_t id, InvokeKind kind);

// Event ids of __VantrelCtrl.
namespace event_id {
inline constexpr int32_t InterruptLow = 1;
inline constexpr int32_t InterruptHigh = 2;
inline constexpr int32_t NewData = 3;
}  // namespace event_id

// Calls a member by id. Arguments are coerced to the parameter types with the standard
// conversions; by-reference arguments are written back into args. Returns the result (Empty
// for none). Throws Error: 438 unknown member or kind, 450 wrong argument count, 13 type
// mismatch, and the member's own errors.
Variant invoke(VantrelCtrl& ctrl, int32_t memberId, InvokeKind kind, std::span<Variant> args);

}  // namespace vantrel
