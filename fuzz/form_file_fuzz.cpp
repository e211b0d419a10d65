// The form file loader: arbitrary file contents, then a control loading its properties from
// each entry, saving them back and loading them again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

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

constexpr const char* kNames[] = {"VantrelCtrl1", "VantrelCtrl2", "a", "x.y", "x'"};

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
    std::vector<std::pair<const char*, Loaded>> loaded;
    for (const char* name : kNames) {
        if (!form->contains(name)) continue;
        PropertyBag* bag = nullptr;
        try {
            bag = &form->bag(name);
        } catch (const Error& e) {
            FUZZ_CHECK(e.number() == err::FormFile);
            continue;
        }
        if (auto l = loadControl(*bag)) loaded.emplace_back(name, *l);
    }
    if (!loaded.empty()) {
        // What is saved loads again, and every control reads from it what it wrote.
        try {
            form->save();
        } catch (const Error& e) {
            // Refused: a name would not read back. The file must still be the one loaded.
            FUZZ_CHECK(e.number() == err::FormFile);
            (void)FormFile::load(path);
            return 0;
        }
        FormFile back = FormFile::load(path);
        for (const auto& [name, l] : loaded) {
            FUZZ_CHECK(back.contains(name));
            const auto again = loadControl(back.bag(name));
            FUZZ_CHECK(again.has_value() && *again == l);
        }
    }
    return 0;
}
