// The form file loader: arbitrary file contents, then a control loading its properties from
// each entry, saving them back and loading them again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "check.hpp"
#include "fakes.hpp"
#include "vantrel/ctrl.hpp"

using namespace vantrel;

namespace {

std::string formPath() {
    static const std::string path =
        "/dev/shm/vantrel-fuzz-form-" + std::to_string(::getpid()) + ".toml";
    return path;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);
}

struct Loaded {
    int32_t port, bauds;
    bool flag;
    bool operator==(const Loaded&) const = default;
};

// Loads the three properties as the control does, on fakes; nothing when a value does not
// convert (which must be Error 6 or 13).
std::optional<Loaded> loadControl(PropertyBag& bag) {
    testing::FakeRig rig;
    try {
        rig.ctrl->UserControl_ReadProperties(bag);
    } catch (const Error& e) {
        FUZZ_CHECK(e.number() == err::Overflow || e.number() == err::TypeMismatch ||
                   e.number() == err::InvalidUseOfNull);
        return std::nullopt;
    }
    Loaded l{rig.ctrl->Port(), rig.ctrl->Bauds(), rig.ctrl->PortIsOpen()};
    // What was loaded is saved as it stands and reads back the same.
    rig.ctrl->UserControl_WriteProperties(bag);
    testing::FakeRig again;
    again.ctrl->UserControl_ReadProperties(bag);
    FUZZ_CHECK((Loaded{again.ctrl->Port(), again.ctrl->Bauds(), again.ctrl->PortIsOpen()} == l));
    return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = formPath();
    writeFile(path, data, size);
    std::optional<FormFile> form;
    try {
        form.emplace(FormFile::load(path));
    } catch (const Error& e) {
        FUZZ_CHECK(e.number() == err::FormFile);
        FUZZ_CHECK(std::string(e.what()).find(path) != std::string::npos);
        return 0;
    }
    bool saveIt = false;
    for (const char* name : {"VantrelCtrl1", "VantrelCtrl2", "a", "x.y"}) {
        if (!form->contains(name)) continue;
        PropertyBag* bag = nullptr;
        try {
            bag = &form->bag(name);
        } catch (const Error& e) {
            FUZZ_CHECK(e.number() == err::FormFile);
            continue;
        }
        saveIt = loadControl(*bag).has_value() || saveIt;
    }
    if (saveIt) {
        // What is saved loads again, and every control reads from it what it wrote.
        form->save();
        FormFile back = FormFile::load(path);
        for (const char* name : {"VantrelCtrl1", "VantrelCtrl2", "a", "x.y"}) {
            if (!form->contains(name)) continue;
            FUZZ_CHECK(back.contains(name));
        }
    }
    return 0;
}
