// A program built against an installed vantrel: the C++ API.
#include <cstdio>
#include <vantrel/ctrl.hpp>

int main() {
    auto ctrl = vantrel::VantrelCtrl::createNew();
    ctrl->Port(9);  // refused: the text says why
    const bool ok = ctrl->Port() == 1 && ctrl->Bauds() == 9600 &&
                    ctrl->ErrorString() == "Port must be 1 to 8" &&
                    vantrel::memberIdByName("FindChip") == 0x60030022;
    try {
        vantrel::Variant(2147483647.5).toLong();
        return 1;
    } catch (const vantrel::Error& e) {
        if (e.number() != vantrel::err::Overflow) return 1;
    }
    std::puts(ok ? "consumer: ok" : "consumer: wrong");
    return ok ? 0 : 1;
}
