// The property stores: value equality, the TOML form file and its atomic save, and the C
// interface over forms.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "fakes.hpp"
#include "test_support.hpp"
#include "vantrel/vantrel.h"

using namespace vantrel;
using vantrel::testing::errorOf;
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
    EXPECT_EQ(std::string(e.what()), "cannot load form " + path + ": not a regular file");
    fs::remove(path);

    // The form disappears into a folder between loading and saving: the save is refused and
    // the folder is left as it was.
    writeFile("[Ctrl1]\nPort = 2\n");
    auto form = FormFile::load(path);
    fs::remove(path);
    fs::create_directory(path);
    fs::create_directory(fs::path(path) / "inside");
    const Error save = errorOf([&] { form.save(); });
    EXPECT_EQ(save.number(), err::FormFile);
    EXPECT_NE(std::string(save.what()).find("is not a regular file"), std::string::npos)
        << save.what();
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

// Runs fn on a thread with a 256 KiB stack, as a host's worker thread may have.
void onSmallStack(const std::function<void()>& fn) {
    pthread_attr_t attr;
    ASSERT_EQ(::pthread_attr_init(&attr), 0);
    ASSERT_EQ(::pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    auto* job = new std::function<void()>(fn);
    ASSERT_EQ(
        ::pthread_create(
            &thread, &attr,
            [](void* p) -> void* {
                std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(p));
                (*f)();
                return nullptr;
            },
            job),
        0);
    ::pthread_join(thread, nullptr);
    ::pthread_attr_destroy(&attr);
}

std::string repeat(std::string_view part, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += part;
    return out;
}

TEST_F(FormFileTest, NestingIsBoundedWhateverTheDepth) {
    const int limit = FormFile::kMaxNesting;
    struct Case {
        std::string text;
        size_t line;  // where it goes too deep; 0: loads
    };
    const auto inlineTables = [](int n) {
        return "x = " + repeat("{a = ", n - 1) + "1" + repeat("}", n - 1) + "\n";
    };
    const Case cases[] = {
        {repeat("a.", 1000) + "a = 1\n", 1},
        {"# deep\n" + repeat("a.", 40000) + "a = 1\n", 2},
        {"[" + repeat("a.", 40000) + "a]\n", 1},
        {"[[" + repeat("a.", 40000) + "a]]\n", 1},
        {"x = " + repeat("[", 40000) + repeat("]", 40000) + "\n", 1},
        {inlineTables(1000), 1},
        {"[t]\ns = \"\"\"\n[[[\n\"\"\"\nx = {y = [" + repeat("{a.b = [", 400) + "\n", 5},
        // Up to the limit it loads, whatever the dots and brackets in strings and numbers.
        {repeat("a.", limit - 1) + "a = 1\n", 0},
        {"[" + repeat("a.", limit - 2) + "a]\nb = 1\n", 0},
        {inlineTables(limit), 0},
        {"[t]\ns = \"[[[{{{a.b.c\"\nu = '''\n" + repeat("[{", 100) + "'''\nf = [1.5, 2.5e3]\n", 0},
    };
    for (const auto& c : cases) {
        writeFile(c.text);
        std::optional<Error> error;
        onSmallStack([&] {
            try {
                (void)FormFile::load(path);
            } catch (const Error& e) {
                error = e;
            }
        });
        if (c.line == 0) {
            EXPECT_FALSE(error) << error->what();
            continue;
        }
        ASSERT_TRUE(error) << c.text.substr(0, 60);
        EXPECT_EQ(error->number(), err::FormFile);
        EXPECT_EQ(std::string(error->what()), "cannot load form " + path + ": line " +
                                                  std::to_string(c.line) +
                                                  ": nested deeper than 32 levels");
    }
}

TEST_F(FormFileTest, LoadsOnlyARegularFileOfSaneSize) {
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // an open would block forever
    writeFile("# big\n" + std::string(FormFile::kMaxBytes, '#'));
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/zero", "not a regular file"},
        {(dir / "fifo").string(), "not a regular file"},
        {path, "larger than 1048576 bytes"},
    };
    for (const auto& [file, reason] : cases) {
        const Error e = errorOf([&] { (void)FormFile::load(file); });
        EXPECT_EQ(e.number(), err::FormFile);
        EXPECT_EQ(std::string(e.what()), "cannot load form " + file + ": " + reason);
    }
    writeFile("[Ctrl1]\n" + std::string(FormFile::kMaxBytes - 8, '#'));
    EXPECT_TRUE(FormFile::load(path).contains("Ctrl1"));
}

TEST_F(FormFileTest, SaveFollowsLinksKeepsOwnerAndModeAndRefusesOtherFiles) {
    writeFile("[Other]\nPort = 4\n");
    ASSERT_EQ(::chown(path.c_str(), 1234, 4321), 0);  // we run as root
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    const std::string link = (dir / "link.toml").string();
    fs::create_symlink("form.toml", link);
    const std::string dangling = (dir / "dangling.toml").string();
    fs::create_symlink("new.toml", dangling);

    for (const std::string& via : {link, dangling}) {
        auto form = FormFile::load(via);
        form.bag("Ctrl1").WriteProperty("Port", Variant(int32_t{3}), Variant());
        form.save();
        EXPECT_TRUE(fs::is_symlink(via)) << via;
        EXPECT_TRUE(FormFile::load(via).contains("Ctrl1")) << via;
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 4321u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(FormFile::load(path).contains("Other"));
    EXPECT_TRUE(fs::is_regular_file(dir / "new.toml"));

    // The path turns into a device node (made here: the same device as /dev/null) or a FIFO
    // between loading and saving, directly or behind a link: refused, and left as it is.
    for (const bool fifo : {false, true}) {
        for (const std::string& via : {(dir / "node").string(), dangling}) {
            const std::string node = (dir / (via == dangling ? "new.toml" : "node")).string();
            fs::remove(node);
            auto form = FormFile::load(via);
            form.bag("Ctrl1");
            ASSERT_EQ(fifo ? ::mkfifo(node.c_str(), 0600)
                           : ::mknod(node.c_str(), S_IFCHR | 0666, ::makedev(1, 3)),
                      0);
            const Error e = errorOf([&] { form.save(); });
            EXPECT_EQ(e.number(), err::FormFile);
            EXPECT_EQ(std::string(e.what()),
                      "cannot save form " + via + ": " + node + " is not a regular file");
            ASSERT_EQ(::lstat(node.c_str(), &st), 0);
            EXPECT_TRUE(fifo ? S_ISFIFO(st.st_mode) : S_ISCHR(st.st_mode)) << node;
        }
    }
}

TEST_F(FormFileTest, SaveRemovesStaleTemporaries) {
    const pid_t gone = ::fork();
    ASSERT_GE(gone, 0);
    if (gone == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const std::string stale = path + ".tmp." + std::to_string(gone) + ".0";
    const std::string running = path + ".tmp.1.0";  // init's: a program that does not lock
    const std::string other = path + ".tmp.notes";
    for (const auto& f : {stale, running, other}) std::ofstream(f) << "x";
    auto form = FormFile::load(path);
    form.bag("Ctrl1");
    form.save();
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(running));
    EXPECT_TRUE(fs::exists(other));
}

// Many processes save entries of their own into one form at once, each loading it before
// the others save: every entry survives.
TEST_F(FormFileTest, ManyWritersAtOnceKeepEveryEntry) {
    constexpr int kWriters = 12, kSaves = 6;
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(start[1]);
            char c;
            (void)::read(start[0], &c, 1);  // all start when the pipe closes
            try {
                for (int n = 0; n < kSaves; ++n) {
                    auto form = FormFile::load(path);
                    const std::string name = "W" + std::to_string(w) + "_" + std::to_string(n);
                    form.bag(name).WriteProperty("Port", Variant(int32_t{w + 2}), Variant());
                    form.save();
                }
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    ::close(start[0]);
    ::close(start[1]);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto form = FormFile::load(path);
    for (int w = 0; w < kWriters; ++w)
        for (int n = 0; n < kSaves; ++n) {
            const std::string name = "W" + std::to_string(w) + "_" + std::to_string(n);
            ASSERT_TRUE(form.contains(name)) << name;
            EXPECT_EQ(form.bag(name).ReadProperty("Port", Variant()), Variant(int32_t{w + 2}));
        }
    EXPECT_TRUE(strays().empty());
}

TEST_F(FormFileTest, ErrorsNameTheFileTheEntryAndTheKey) {
    writeFile("[Board1]\nPort = 3\nBauds = \"fast\"\n[Board2]\nPort = 1e300\n");
    auto form = FormFile::load(path);
    const std::pair<const char*, std::string> cases[] = {
        {"Board1", "error 13: form " + path + ", entry Board1, Bauds: Type mismatch"},
        {"Board2", "error 6: form " + path + ", entry Board2, Port: Overflow"},
    };
    for (const auto& [name, text] : cases) {
        const Error e =
            errorOf([&] { VantrelCtrl::createFromForm(form, name, std::make_shared<FakeSite>()); });
        EXPECT_EQ("error " + std::to_string(e.number()) + ": " + e.what(), text);
        vantrel_error error{};
        EXPECT_EQ(vantrel_create_from_form(path.c_str(), name, &error), nullptr);
        EXPECT_EQ("error " + std::to_string(error.number) + ": " + error.text, text);
    }

    // A name that is not UTF-8 is refused, not stored under some other key.
    for (const char* name : {"Board\xff", "\xc0\x80", "\xed\xa0\x80"}) {
        const Error e = errorOf([&] { form.bag(name); });
        EXPECT_EQ(std::string(e.what()), "form " + path + ": the control name is not valid UTF-8");
        vantrel_ctrl* ctrl = vantrel_create(nullptr);
        vantrel_error error{};
        EXPECT_EQ(vantrel_save_to_form(ctrl, path.c_str(), name, &error), -1);
        EXPECT_EQ(error.number, err::FormFile);
        vantrel_release(ctrl);
    }
    EXPECT_NO_THROW(form.bag("Board\xc3\xa9"));
}

}  // namespace
