// Inputs the fuzz targets found to break something, kept so that the fault stays fixed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

using namespace vantrel;

namespace {

class FormFileRegression : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/vantrel-regress-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/form.toml";
    }
    void TearDown() override {
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string fileText() const {
        std::ostringstream text;
        text << std::ifstream(path_).rdbuf();
        return text.str();
    }

    std::string dir_, path_;
};

// The TOML writer put a name holding an apostrophe bare ("[x']"), and the saved form could not
// be loaded again: every control in it was lost. Saving such a form now fails and keeps the
// file as it was.
TEST_F(FormFileRegression, ANameThatWouldNotReadBackIsNotSaved) {
    const std::string before = "[a]\n[\"x'\"]\nPort = 2\n";
    std::ofstream(path_) << before;
    FormFile form = FormFile::load(path_);
    form.bag("a").WriteProperty("Port", Variant(int32_t{3}), Variant(int16_t{1}));
    try {
        form.save();
        // A writer that quotes the name is as good: then the form must load again.
        FormFile back = FormFile::load(path_);
        EXPECT_TRUE(back.contains("x'"));
        EXPECT_EQ(back.bag("x'").ReadProperty("Port", Variant()).toLong(), 2);
        EXPECT_EQ(back.bag("a").ReadProperty("Port", Variant()).toLong(), 3);
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), err::FormFile);
        EXPECT_NE(std::string(e.what()).find(path_), std::string::npos) << e.what();
        EXPECT_EQ(fileText(), before);
        EXPECT_NO_THROW(FormFile::load(path_));
    }
}

TEST_F(FormFileRegression, AControlNamedWithAnApostropheNeverLeavesAnUnloadableForm) {
    {
        FormFile form = FormFile::load(path_);
        form.bag("Operator's panel")
            .WriteProperty("Bauds", Variant(int32_t{115200}), Variant(int16_t{9600}));
        try {
            form.save();
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), err::FormFile);
        }
    }
    // Whatever happened, the file (if any) loads.
    EXPECT_NO_THROW(FormFile::load(path_));
}

}  // namespace
