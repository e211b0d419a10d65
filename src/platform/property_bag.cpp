// Property stores: the in-memory bag and the TOML form file with its atomic save.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <cerrno>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "platform/fd.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

bool storedValueEquals(const Variant& value, const Variant& def) {
    if (value.isNull() || def.isNull()) return false;
    if (value.isEmpty() || def.isEmpty()) return value.isEmpty() && def.isEmpty();
    const bool valueText = value.type() == VarType::String;
    const bool defText = def.type() == VarType::String;
    if (valueText || defText) return valueText && defText && value.asString() == def.asString();
    // Every remaining type is numeric and converts to a double exactly (Currency to within
    // what the two sides can hold anyway).
    return value.toDouble() == def.toDouble();
}

// ---------------------------------------------------------------------------------------------
// MemoryPropertyBag

Variant MemoryPropertyBag::ReadProperty(std::string_view key, const Variant& def) {
    auto it = values_.find(key);
    return it == values_.end() ? def : it->second;
}

void MemoryPropertyBag::WriteProperty(std::string_view key, const Variant& value,
                                      const Variant& def) {
    if (storedValueEquals(value, def))
        remove(key);
    else
        set(key, value);
}

void MemoryPropertyBag::set(std::string_view key, Variant value) {
    auto it = values_.find(key);
    if (it == values_.end())
        values_.emplace(std::string(key), std::move(value));
    else
        it->second = std::move(value);
}

void MemoryPropertyBag::remove(std::string_view key) {
    auto it = values_.find(key);
    if (it != values_.end()) values_.erase(it);
}

// ---------------------------------------------------------------------------------------------
// FormFile

namespace {

[[noreturn]] void formError(std::string text) {
    throw Error(err::FormFile, text);
}

// One control's table in the form.
class TableBag : public PropertyBag {
  public:
    explicit TableBag(toml::table& table) : table_(table) {}

    Variant ReadProperty(std::string_view key, const Variant& def) override {
        const toml::node* node = table_.get(key);
        if (!node) return def;
        switch (node->type()) {
            case toml::node_type::integer: {
                const int64_t i = node->as_integer()->get();
                // Beyond the Long range the value stays a number, so that converting it to a
                // Long reports an overflow rather than a wrapped value.
                if (i < std::numeric_limits<int32_t>::min() ||
                    i > std::numeric_limits<int32_t>::max())
                    return Variant(static_cast<double>(i));
                return Variant(static_cast<int32_t>(i));
            }
            case toml::node_type::floating_point:
                return Variant(node->as_floating_point()->get());
            case toml::node_type::boolean:
                return Variant(node->as_boolean()->get());
            case toml::node_type::string:
                return Variant(node->as_string()->get());
            default:
                throw Error(err::TypeMismatch);
        }
    }

    void WriteProperty(std::string_view key, const Variant& value, const Variant& def) override {
        if (storedValueEquals(value, def)) {
            table_.erase(key);
            return;
        }
        switch (value.type()) {
            case VarType::Integer:
            case VarType::Long:
                table_.insert_or_assign(key, static_cast<int64_t>(value.toLong()));
                break;
            case VarType::Double:
            case VarType::Currency:
                table_.insert_or_assign(key, value.toDouble());
                break;
            case VarType::Boolean:
                table_.insert_or_assign(key, value.asBoolean());
                break;
            case VarType::String:
                table_.insert_or_assign(key, value.asString());
                break;
            case VarType::Empty:
            case VarType::Null:
                throw Error(err::InvalidPropertyValue,
                            "property " + std::string(key) + ": Empty and Null cannot be stored");
        }
    }

  private:
    toml::table& table_;
};

// The whole file, or nothing when it does not exist.
std::optional<std::string> readWholeFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        formError(sysMessage("open", path, errno));
    }
    std::string text;
    char buf[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            formError(sysMessage("read", path, errno));
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

void writeAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            formError(sysMessage("write", path, errno));
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A temporary file that is removed unless it has been renamed into place.
class TempFile {
  public:
    explicit TempFile(const std::string& target) {
        // The mode of the form it replaces, or the usual one for a new file (umask applies).
        struct stat st {};
        const bool exists = ::stat(target.c_str(), &st) == 0;
        const std::string base = target + ".tmp." + std::to_string(::getpid()) + ".";
        for (int attempt = 0;; ++attempt) {
            path_ = base + std::to_string(attempt);
            fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (fd_) break;
            // A leftover of an earlier process with the same id: try the next name.
            if (errno != EEXIST || attempt == 99) {
                const int e = errno;
                path_.clear();
                formError(sysMessage("create", base + std::to_string(attempt), e));
            }
        }
        if (exists && ::fchmod(fd_.get(), st.st_mode & 07777) != 0) {
            // The destructor does not run for a constructor that throws: clean up here.
            const int e = errno;
            fd_.reset();
            ::unlink(path_.c_str());
            formError(sysMessage("chmod", path_, e));
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        fd_.reset();
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    void write(std::string_view bytes) { writeAll(fd_.get(), bytes, path_); }

    // Flushes the bytes to disk and closes the file, reporting a late write error.
    void finish() {
        if (::fsync(fd_.get()) != 0) formError(sysMessage("fsync", path_, errno));
        if (::close(fd_.release()) != 0) formError(sysMessage("close", path_, errno));
    }

    void renameTo(const std::string& target) {
        if (::rename(path_.c_str(), target.c_str()) != 0)
            formError(sysMessage("rename", path_ + " to " + target, errno));
        path_.clear();
    }

  private:
    std::string path_;
    Fd fd_;
};

}  // namespace

struct FormFile::Impl {
    std::string path;
    toml::table root;
    std::map<std::string, std::unique_ptr<TableBag>, std::less<>> bags;
};

FormFile::FormFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FormFile::FormFile(FormFile&&) noexcept = default;
FormFile& FormFile::operator=(FormFile&&) noexcept = default;
FormFile::~FormFile() = default;

FormFile FormFile::load(std::string path) {
    if (path.empty()) formError("a form file needs a path");
    auto impl = std::make_unique<Impl>();
    impl->path = std::move(path);
    if (auto text = readWholeFile(impl->path)) {
        try {
            impl->root = toml::parse(*text, impl->path);
        } catch (const toml::parse_error& e) {
            const auto& where = e.source().begin;
            formError("cannot load form " + impl->path + ": line " + std::to_string(where.line) +
                      ", column " + std::to_string(where.column) + ": " +
                      std::string(e.description()));
        }
    }
    return FormFile(std::move(impl));
}

const std::string& FormFile::path() const {
    return impl_->path;
}

bool FormFile::contains(std::string_view name) const {
    return impl_->root.contains(name);
}

PropertyBag& FormFile::bag(std::string_view name) {
    if (name.empty()) formError("form " + impl_->path + ": a control name cannot be empty");
    if (auto it = impl_->bags.find(name); it != impl_->bags.end()) return *it->second;
    toml::node* node = impl_->root.get(name);
    if (!node) node = &impl_->root.insert_or_assign(name, toml::table{}).first->second;
    toml::table* table = node->as_table();
    if (!table)
        formError("form " + impl_->path + ": the entry \"" + std::string(name) +
                  "\" is not a table");
    auto bag = std::make_unique<TableBag>(*table);
    PropertyBag& out = *bag;
    impl_->bags.emplace(std::string(name), std::move(bag));
    return out;
}

void FormFile::save() const {
    std::ostringstream text;
    text << impl_->root << '\n';
    // The TOML writer leaves some keys bare that need quotes (an apostrophe in a control's
    // name, for one), and such a form would not load again: refuse to replace the file with it.
    try {
        (void)toml::parse(text.view());
    } catch (const toml::parse_error& e) {
        formError("cannot save form " + impl_->path +
                  ": a name in it would be written so that the form could not be loaded again (" +
                  std::string(e.description()) + ")");
    }

    // A new file in the same folder, complete and on disk before it replaces the old one, so
    // that a crash at any point leaves one whole form or the other.
    TempFile temp(impl_->path);
    temp.write(text.view());
    temp.finish();
    temp.renameTo(impl_->path);

    // The rename itself is durable only once the folder is flushed.
    const std::string folder = folderOf(impl_->path);
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) formError(sysMessage("open", folder, errno));
    if (::fsync(dir.get()) != 0) formError(sysMessage("fsync", folder, errno));
}

}  // namespace vantrel
