// The property stores: value equality, the TOML form file and its atomic save, and the C
// interface over forms.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "fakes.hpp"
#include "vantrel/vantrel.h"

using namespace vantrel;
using vantrel::testing::FakeSite;
namespace fs = std::filesystem;

namespace {

class FormFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "vantrel-form-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        path = (dir / "form.toml").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    void writeFile(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string readFile() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Files in the folder other than the form itself (temporary files left behind).
    std::vector<std::string> strays() const {
        std::vector<std::string> out;
        for (auto& e : fs::directory_iterator(dir))
            if (e.path().string() != path) out.push_back(e.path().filename().string());
        return out;
    }

    fs::path dir;
    std::string path;
};

Error errorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e;
    }
    return Error(0, "no error");
}

TEST(StoredValueEquals, ComponentModelEquality) {
    struct Case {
        Variant value, def;
        bool equal;
    };
    const Case cases[] = {
        {Variant(int32_t{1}), Variant(int16_t{1}), true},
        {Variant(1.0), Variant(int16_t{1}), true},
        {Variant(1.5), Variant(int16_t{1}), false},
        {Variant(Currency{10000}), Variant(int32_t{1}), true},
        {Variant(false), Variant(false), true},
        {Variant(false), Variant(int16_t{0}), true},
        {Variant(true), Variant(int32_t{-1}), true},
        {Variant(true), Variant(int32_t{1}), false},
        {Variant(true), Variant(false), false},
        {Variant("1"), Variant(int16_t{1}), false},
        {Variant(int16_t{0}), Variant(""), false},
        {Variant("a"), Variant("a"), true},
        {Variant("A"), Variant("a"), false},
        {Variant(), Variant(), true},
        {Variant(), Variant(int16_t{0}), false},
        {Variant::null(), Variant::null(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(storedValueEquals(c.value, c.def), c.equal)
            << int(c.value.type()) << " vs " << int(c.def.type());
        MemoryPropertyBag bag;
        bag.WriteProperty("k", c.value, c.def);
        EXPECT_EQ(bag.values().count("k"), c.equal ? 0u : 1u);
    }
}

TEST_F(FormFileTest, MissingFileIsAnEmptyFormThatSaveCreates) {
    auto form = FormFile::load(path);
    EXPECT_FALSE(form.contains("Ctrl1"));
    EXPECT_EQ(form.bag("Ctrl1").ReadProperty("Port", Variant(int16_t{1})), Variant(int16_t{1}));
    EXPECT_FALSE(fs::exists(path));
    form.save();
    auto again = FormFile::load(path);
    EXPECT_TRUE(again.contains("Ctrl1"));
    EXPECT_TRUE(strays().empty());
}

TEST_F(FormFileTest, TypedValuesRoundTrip) {
    struct Case {
        const char* key;
        Variant written, readBack;
    };
    const Case cases[] = {
        {"i", Variant(int16_t{7}), Variant(int32_t{7})},
        {"l", Variant(int32_t{-70000}), Variant(int32_t{-70000})},
        {"d", Variant(0.1), Variant(0.1)},
        {"big", Variant(1e300), Variant(1e300)},
        {"c", Variant(Currency{15000}), Variant(1.5)},
        {"b", Variant(true), Variant(true)},
        {"s", Variant("COM3 \"é\"\n[x]"), Variant("COM3 \"é\"\n[x]")},
        {"n", Variant("1"), Variant("1")},
    };
    {
        auto form = FormFile::load(path);
        for (const auto& c : cases) form.bag("Ctrl.1").WriteProperty(c.key, c.written, Variant());
        form.save();
    }
    auto form = FormFile::load(path);
    for (const auto& c : cases)
        EXPECT_EQ(form.bag("Ctrl.1").ReadProperty(c.key, Variant()), c.readBack) << c.key;
    // A dotted name is one entry, not a path.
    EXPECT_FALSE(form.contains("Ctrl"));

    EXPECT_EQ(errorOf([&] { form.bag("x").WriteProperty("e", Variant(), Variant(1.0)); }).number(),
              err::InvalidPropertyValue);
}

TEST_F(FormFileTest, ValuesTheControlCannotTake) {
    writeFile(
        "[A]\nPort = 3000000000\n[B]\nPort = [1, 2]\n[C]\nBauds = 1979-05-27\n"
        "[D]\nPort = 3\nBauds = \"fast\"\n");
    auto form = FormFile::load(path);
    EXPECT_EQ(form.bag("A").ReadProperty("Port", Variant()), Variant(3e9));
    const std::pair<const char*, int32_t> cases[] = {{"A", 6}, {"B", 13}, {"C", 13}, {"D", 13}};
    for (auto [name, number] : cases)
        EXPECT_EQ(errorOf([&] {
                      VantrelCtrl::createFromStore(form.bag(name), std::make_shared<FakeSite>());
                  }).number(),
                  number)
            << name;
}

TEST_F(FormFileTest, ControlRoundTripThroughTheFile) {
    auto site = std::make_shared<FakeSite>();
    auto ctrl = VantrelCtrl::createNew(site);
    {
        auto form = FormFile::load(path);
        ctrl->UserControl_WriteProperties(form.bag("Ctrl1"));
        form.save();
    }
    // All three at their defaults: the entry is there, with nothing in it.
    auto saved = toml::parse(readFile());
    ASSERT_TRUE(saved["Ctrl1"].is_table());
    EXPECT_TRUE(saved["Ctrl1"].as_table()->empty());

    ctrl->Port(3);
    ctrl->Bauds(19200);
    {
        auto form = FormFile::load(path);
        ctrl->UserControl_WriteProperties(form.bag("Ctrl1"));
        form.save();
    }
    saved = toml::parse(readFile());
    EXPECT_EQ(saved["Ctrl1"]["Port"].value<int64_t>(), 3);
    EXPECT_EQ(saved["Ctrl1"]["Bauds"].value<int64_t>(), 19200);
    EXPECT_FALSE(saved["Ctrl1"]["PortIsOpen"]);

    auto form = FormFile::load(path);
    auto loaded = VantrelCtrl::createFromStore(form.bag("Ctrl1"), std::make_shared<FakeSite>());
    EXPECT_EQ(loaded->Port(), 3);
    EXPECT_EQ(loaded->Bauds(), 19200);
    EXPECT_FALSE(loaded->PortIsOpen());
}

TEST_F(FormFileTest, KeepsOtherTablesAndUnknownKeys) {
    const std::string original =
        "title = \"Main form\"\n"
        "[Other]\nPort = 4\nCaption = \"x\"\nlist = [1, 2.5, \"three\"]\n"
        "[Ctrl1]\nPort = 2\nColour = 0xFF00\nwhen = 2024-01-02T03:04:05Z\n"
        "[Ctrl1.Extra]\nnote = \"kept\"\n";
    writeFile(original);
    const auto before = toml::parse(original);
    {
        auto form = FormFile::load(path);
        auto& bag = form.bag("Ctrl1");
        bag.WriteProperty("Port", Variant(int32_t{5}), Variant(int16_t{1}));
        bag.WriteProperty("PortIsOpen", Variant(true), Variant(false));
        form.save();
    }
    auto after = toml::parse(readFile());
    EXPECT_EQ(after["title"].value<std::string>(), "Main form");
    EXPECT_EQ(*after["Other"].as_table(), *before["Other"].as_table());
    EXPECT_EQ(after["Ctrl1"]["Port"].value<int64_t>(), 5);
    EXPECT_EQ(after["Ctrl1"]["PortIsOpen"].value<bool>(), true);
    EXPECT_EQ(after["Ctrl1"]["Colour"].value<int64_t>(), 0xFF00);
    EXPECT_EQ(after["Ctrl1"]["when"].value<toml::date_time>(),
              before["Ctrl1"]["when"].value<toml::date_time>());
    EXPECT_EQ(*after["Ctrl1"]["Extra"].as_table(), *before["Ctrl1"]["Extra"].as_table());

    // Back at the default, the key goes and the unknown ones stay.
    {
        auto form = FormFile::load(path);
        form.bag("Ctrl1").WriteProperty("Port", Variant(int32_t{1}), Variant(int16_t{1}));
        form.save();
    }
    after = toml::parse(readFile());
    EXPECT_FALSE(after["Ctrl1"]["Port"]);
    EXPECT_EQ(after["Ctrl1"]["Colour"].value<int64_t>(), 0xFF00);
}

TEST_F(FormFileTest, MalformedFileIsRefusedUntouched) {
    const std::pair<std::string, int> cases[] = {
        {"[Ctrl1]\nPort = 3\nBauds = = 9600\n", 3}, {"[Ctrl1\nPort = 3\n", 1},
        {"[Ctrl1]\nPort = 3\nPort = 4\n", 3},       {"[Ctrl1]\n\n\nPortIsOpen = maybe\n", 4},
        {"[Ctrl1]\nCaption = \"\xff\"\n", 2},
    };
    for (const auto& [text, line] : cases) {
        writeFile(text);
        const Error e = errorOf([&] { (void)FormFile::load(path); });
        EXPECT_EQ(e.number(), err::FormFile) << text;
        const std::string what = e.what();
        EXPECT_NE(what.find(path), std::string::npos) << what;
        EXPECT_NE(what.find("line " + std::to_string(line) + ","), std::string::npos) << what;

        vantrel_error error{};
        EXPECT_EQ(vantrel_create_from_form(path.c_str(), "Ctrl1", &error), nullptr);
        EXPECT_EQ(error.number, err::FormFile);
        vantrel_ctrl* ctrl = vantrel_create(nullptr);
        ASSERT_NE(ctrl, nullptr);
        EXPECT_EQ(vantrel_save_to_form(ctrl, path.c_str(), "Ctrl1", &error), -1);
        EXPECT_EQ(error.number, err::FormFile);
        vantrel_release(ctrl);

        EXPECT_EQ(readFile(), text);
        EXPECT_TRUE(strays().empty());
    }
}

TEST_F(FormFileTest, EntriesThatCannotBeBags) {
    writeFile("Ctrl1 = 5\n[[Ctrl2]]\nPort = 1\n");
    auto form = FormFile::load(path);
    EXPECT_TRUE(form.contains("Ctrl1"));
    for (const char* name : {"Ctrl1", "Ctrl2", ""}) {
        const Error e = errorOf([&] { form.bag(name); });
        EXPECT_EQ(e.number(), err::FormFile) << name;
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    vantrel_error error{};
    EXPECT_EQ(vantrel_create_from_form(path.c_str(), "Ctrl1", &error), nullptr);
    EXPECT_EQ(error.number, err::FormFile);
}

TEST_F(FormFileTest, UnreadableFileAndFailedSaveNameTheReason) {
    fs::create_directory(path);  // a folder where the form should be
    const Error e = errorOf([&] { (void)FormFile::load(path); });
    EXPECT_EQ(e.number(), err::FormFile);
    EXPECT_EQ(std::string(e.what()), "read " + path + ": Is a directory");
    fs::remove(path);

    // The form disappears into a folder between loading and saving: the rename fails, the
    // temporary file goes and the folder is left as it was.
    writeFile("[Ctrl1]\nPort = 2\n");
    auto form = FormFile::load(path);
    fs::remove(path);
    fs::create_directory(path);
    fs::create_directory(fs::path(path) / "inside");
    const Error save = errorOf([&] { form.save(); });
    EXPECT_EQ(save.number(), err::FormFile);
    EXPECT_NE(std::string(save.what()).find("rename"), std::string::npos) << save.what();
    EXPECT_TRUE(fs::is_directory(fs::path(path) / "inside"));
    EXPECT_TRUE(strays().empty());

    auto nowhere = FormFile::load((dir / "missing" / "form.toml").string());
    const Error create = errorOf([&] { nowhere.save(); });
    EXPECT_EQ(create.number(), err::FormFile);
    EXPECT_NE(std::string(create.what()).find("No such file or directory"), std::string::npos);
}

TEST_F(FormFileTest, SaveKeepsTheFileMode) {
    writeFile("[Ctrl1]\n");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    auto form = FormFile::load(path);
    form.bag("Ctrl1").WriteProperty("Port", Variant(int32_t{2}), Variant(int16_t{1}));
    form.save();
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// A child saves the form over and over and is killed at a different moment each round: the
// form must load every time, whole, holding one of the saves.
TEST_F(FormFileTest, SurvivesASaveKilledAtAnyPoint) {
    // A large unknown entry makes each save long enough for kills to land inside it.
    const std::string filler(128 * 1024, 'x');
    {
        auto form = FormFile::load(path);
        form.bag("Other").WriteProperty("filler", Variant(filler), Variant());
        form.save();
    }
    int64_t lastSaves = 0;
    for (int round = 0; round < 24; ++round) {
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(progress[0]);
            try {
                for (int32_t n = static_cast<int32_t>(lastSaves) + 1;; ++n) {
                    auto form = FormFile::load(path);
                    auto& bag = form.bag("Ctrl1");
                    bag.WriteProperty("Port", Variant(n % 8 + 1), Variant());
                    bag.WriteProperty("Saves", Variant(n), Variant());
                    if (n == lastSaves + 1 && ::write(progress[1], "S", 1) != 1) ::_exit(3);
                    form.save();
                    if (::write(progress[1], "D", 1) != 1) ::_exit(3);
                }
            } catch (...) {
                ::_exit(2);
            }
        }
        ::close(progress[1]);
        char c = 0;
        ASSERT_EQ(::read(progress[0], &c, 1), 1);  // the child is about to save
        // Every other round lets at least one save complete, so the form does move on.
        if (round % 2 == 1) {
            ASSERT_EQ(::read(progress[0], &c, 1), 1);
        }
        // The delay only picks the moment of the kill; nothing waits for a condition here.
        std::this_thread::sleep_for(std::chrono::microseconds(round * 997 % 12000));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ::close(progress[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);

        auto form = FormFile::load(path);
        EXPECT_EQ(form.bag("Other").ReadProperty("filler", Variant()), Variant(filler));
        const Variant saves = form.bag("Ctrl1").ReadProperty("Saves", Variant(int32_t{0}));
        EXPECT_GE(saves.toLong(), lastSaves);
        EXPECT_EQ(form.bag("Ctrl1").ReadProperty("Port", Variant(int32_t{1})).toLong(),
                  saves.toLong() % 8 + 1);
        lastSaves = saves.toLong();
    }
    EXPECT_GE(lastSaves, 12);
}

TEST_F(FormFileTest, CInterfaceCreatesSavesAndSetsTheMode) {
    int32_t portId = 0, baudsId = 0, flagId = 0;
    ASSERT_EQ(vantrel_member_id("Port", &portId), 0);
    ASSERT_EQ(vantrel_member_id("Bauds", &baudsId), 0);
    ASSERT_EQ(vantrel_member_id("PortIsOpen", &flagId), 0);
    auto get = [](vantrel_ctrl* c, int32_t id) {
        vantrel_variant r;
        vantrel_variant_init(&r);
        EXPECT_EQ(vantrel_invoke(c, id, VANTREL_PROPERTYGET, nullptr, 0, &r, nullptr), 0);
        return r.type == VANTREL_VT_LONG ? r.u.lng : r.u.integer;
    };
    auto put = [](vantrel_ctrl* c, int32_t id, int32_t value, vantrel_error* error) {
        vantrel_variant arg;
        vantrel_variant_init(&arg);
        vantrel_variant_set_long(&arg, value);
        return vantrel_invoke(c, id, VANTREL_PROPERTYPUT, &arg, 1, nullptr, error);
    };

    vantrel_error error{};
    vantrel_ctrl* ctrl = vantrel_create_from_form(path.c_str(), "Ctrl1", &error);
    ASSERT_NE(ctrl, nullptr) << error.text;
    EXPECT_EQ(get(ctrl, portId), 1);
    EXPECT_EQ(get(ctrl, baudsId), 9600);
    EXPECT_EQ(put(ctrl, flagId, 1, &error), -1);
    EXPECT_EQ(error.number, 393);
    vantrel_set_user_mode(ctrl, 0);
    EXPECT_EQ(put(ctrl, flagId, 1, &error), -1);
    EXPECT_EQ(error.number, 382);
    vantrel_set_user_mode(ctrl, 1);
    EXPECT_EQ(put(ctrl, flagId, 0, &error), -1);
    EXPECT_EQ(error.number, 393);

    ASSERT_EQ(put(ctrl, portId, 4, &error), 0);
    ASSERT_EQ(put(ctrl, baudsId, 38400, &error), 0);
    writeFile("[Other]\nPort = 7\n");
    ASSERT_EQ(vantrel_save_to_form(ctrl, path.c_str(), "Ctrl1", &error), 0) << error.text;
    vantrel_release(ctrl);

    ctrl = vantrel_create_from_form(path.c_str(), "Ctrl1", &error);
    ASSERT_NE(ctrl, nullptr) << error.text;
    EXPECT_EQ(get(ctrl, portId), 4);
    EXPECT_EQ(get(ctrl, baudsId), 38400);
    EXPECT_EQ(get(ctrl, flagId), 0);
    vantrel_release(ctrl);
    EXPECT_EQ(toml::parse(readFile())["Other"]["Port"].value<int64_t>(), 7);

    // A stored port number out of range loads as it is.
    writeFile("[Ctrl1]\nPort = 12\nPortIsOpen = true\n");
    ctrl = vantrel_create_from_form(path.c_str(), "Ctrl1", &error);
    ASSERT_NE(ctrl, nullptr) << error.text;
    EXPECT_EQ(get(ctrl, portId), 12);
    EXPECT_EQ(get(ctrl, flagId), -1);
    vantrel_release(ctrl);
}

}  // namespace
