// The TOML form file: one table per control, read and saved atomically under a lock.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "atomic_file.hpp"
#include "fd.hpp"
#include "store/toml_reader.hpp"
#include "vantrel/error.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

namespace {

[[noreturn]] void formError(std::string text) {
    throw Error(err::FormFile, text);
}

// One control's table in the form.
class TableBag : public PropertyBag {
  public:
    explicit TableBag(toml::table& table) : table_(&table) {}

    const toml::table& table() const { return *table_; }
    // After a save the form holds a fresh copy of the table.
    void rebind(toml::table& table) { table_ = &table; }

    Variant ReadProperty(std::string_view key, const Variant& def) override {
        const toml::node* node = table_->get(key);
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
            table_->erase(key);
            return;
        }
        switch (value.type()) {
            case VarType::Integer:
            case VarType::Long:
                table_->insert_or_assign(key, static_cast<int64_t>(value.toLong()));
                break;
            case VarType::Double:
            case VarType::Currency:
                table_->insert_or_assign(key, value.toDouble());
                break;
            case VarType::Boolean:
                table_->insert_or_assign(key, value.asBoolean());
                break;
            case VarType::String:
                table_->insert_or_assign(key, value.asString());
                break;
            case VarType::Empty:
            case VarType::Null:
                throw Error(err::InvalidPropertyValue,
                            "property " + std::string(key) + ": Empty and Null cannot be stored");
        }
    }

  private:
    toml::table* table_;
};

// The contents of an open form file, which must be a regular file of at most kMaxBytes.
std::string readForm(int fd, const std::string& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) formError(sysMessage("stat", path, errno));
    if (!S_ISREG(st.st_mode)) formError("cannot load form " + path + ": not a regular file");
    const auto tooLarge = [&] {
        formError("cannot load form " + path + ": larger than " +
                  std::to_string(FormFile::kMaxBytes) + " bytes");
    };
    if (st.st_size > static_cast<off_t>(FormFile::kMaxBytes)) tooLarge();
    std::string text;
    char buf[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            formError(sysMessage("read", path, errno));
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > FormFile::kMaxBytes) tooLarge();  // it grew since fstat
    }
    return text;
}

// The form at path, or nothing when it does not exist. O_NONBLOCK: a FIFO must not hold up
// the open; it is refused as not regular right after.
std::optional<std::string> readForm(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        formError(sysMessage("open", path, errno));
    }
    return readForm(fd.get(), path);
}

toml::table parseForm(const std::string& text, const std::string& path) {
    static_assert(FormFile::kMaxNesting == kMaxTomlNesting);
    try {
        return readToml(text, path);
    } catch (const TomlError& e) {
        formError("cannot load form " + path + ": line " + std::to_string(e.line()) +
                  (e.column() ? ", column " + std::to_string(e.column()) : "") + ": " + e.reason());
    }
}

std::string baseOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a save replaces: the path with its symbolic links followed, so that the link stays
// and its target gets the new form. A dangling link gives the path the target would have.
std::string followLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string target(static_cast<size_t>(st.st_size) + 256, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0) formError(sysMessage("readlink", current, errno));
        target.resize(static_cast<size_t>(n));
        current = target.starts_with('/') ? target : folderOf(current) + "/" + target;
    }
    formError("cannot save form " + path + ": too many levels of symbolic links");
}

// Removes "<form>.tmp.<pid>.<n>" files a save killed midway left behind. Called with the lock
// held, so no save of this form is under way; a file whose process still runs is left alone
// all the same, in case it was written by a program that does not lock.
void removeStaleTemporaries(const std::string& target) {
    const std::string folder = folderOf(target);
    const std::string prefix = baseOf(target) + ".tmp.";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string_view name = e->d_name;
        if (!name.starts_with(prefix)) continue;
        const std::string_view rest = name.substr(prefix.size());
        const auto dot = rest.find('.');
        if (dot == 0 || dot == std::string_view::npos || dot + 1 == rest.size() ||
            rest.find_first_not_of("0123456789.") != std::string_view::npos ||
            rest.find('.', dot + 1) != std::string_view::npos || dot > 9)
            continue;
        const pid_t pid = std::stoi(std::string(rest.substr(0, dot)));
        if (pid != ::getpid() && !(::kill(pid, 0) != 0 && errno == ESRCH)) continue;
        (void)::unlinkat(::dirfd(dir.get()), e->d_name, 0);
    }
}

// An exclusive lock on the form file itself, held from reading it to renaming the new form
// over it, so that saves of different entries into one file all survive. A missing form is
// created empty to have something to lock, and removed again if the save fails.
class FormLock {
  public:
    FormLock(const std::string& target, const std::string& shown) : target_(target) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        auto pause = std::chrono::microseconds(200);
        for (int attempt = 0;; ++attempt) {
            struct stat st {};
            created_ = false;
            if (::lstat(target.c_str(), &st) == 0) {
                if (!S_ISREG(st.st_mode))
                    formError("cannot save form " + shown + ": " + target +
                              " is not a regular file");
                fd_.reset(::open(target.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            } else if (errno == ENOENT) {
                fd_.reset(::open(target.c_str(),
                                 O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
                created_ = true;
            } else {
                formError(sysMessage("stat", target, errno));
            }
            if (!fd_) {
                // Replaced, removed or created between the look and the open: look again.
                if ((errno == ENOENT || errno == EEXIST || errno == ELOOP) && attempt < 100)
                    continue;
                formError(sysMessage(created_ ? "create" : "open", target, errno));
            }
            // Polled rather than blocking, so that a writer stuck with the lock cannot hang
            // this one for good.
            while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
                if (errno != EWOULDBLOCK && errno != EINTR)
                    formError(sysMessage("lock", target, errno));
                if (Clock::now() >= deadline)
                    formError("cannot save form " + shown +
                              ": another program has held it locked for 10 seconds");
                std::this_thread::sleep_for(pause);
                pause = std::min(pause * 2, std::chrono::microseconds(20000));
            }
            // The lock counts only if the file is still the one at the path: a save that
            // held it before has renamed a new form over it.
            struct stat locked {};
            struct stat now {};
            if (::fstat(fd_.get(), &locked) != 0) formError(sysMessage("stat", target, errno));
            if (::lstat(target.c_str(), &now) == 0 && now.st_dev == locked.st_dev &&
                now.st_ino == locked.st_ino) {
                stat_ = locked;
                return;
            }
            fd_.reset();
            if (attempt >= 1000) formError("cannot save form " + shown + ": it keeps changing");
        }
    }
    FormLock(const FormLock&) = delete;
    FormLock& operator=(const FormLock&) = delete;
    ~FormLock() {
        if (created_ && !replaced_) ::unlink(target_.c_str());
    }

    int fd() const { return fd_.get(); }
    const struct stat& stat() const { return stat_; }
    // The new form is in place: the created file is gone by the rename.
    void replaced() { replaced_ = true; }

  private:
    std::string target_;
    Fd fd_;
    struct stat stat_ {};
    bool created_ = false;
    bool replaced_ = false;
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
    if (auto text = readForm(impl->path)) impl->root = parseForm(*text, impl->path);
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
    if (!isValidUtf8(name))
        formError("form " + impl_->path + ": the control name is not valid UTF-8");
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
    const std::string& shown = impl_->path;
    const std::string target = followLinks(shown);
    FormLock lock(target, shown);
    removeStaleTemporaries(target);

    // The form as it is now, with this form's entries put in: another program may have saved
    // other entries since this one was loaded.
    toml::table root;
    try {
        root = parseForm(readForm(lock.fd(), shown), shown);
    } catch (const Error& e) {
        formError(std::string(e.what()) + " (so it is not saved over)");
    }
    for (const auto& [name, bag] : impl_->bags) root.insert_or_assign(name, bag->table());

    std::ostringstream text;
    text << root << '\n';
    // The TOML writer leaves some keys bare that need quotes (an apostrophe in a control's
    // name, for one), and such a form would not load again: refuse to replace the file with it.
    try {
        (void)toml::parse(text.view());
    } catch (const toml::parse_error& e) {
        formError("cannot save form " + shown +
                  ": a name in it would be written so that the form could not be loaded again (" +
                  std::string(e.description()) + ")");
    }

    // A new file in the same folder, complete and on disk before it replaces the old one, so
    // that a crash at any point leaves one whole form or the other.
    TempFile temp(target, err::FormFile, &lock.stat());
    temp.write(text.view());
    temp.finish();
    temp.renameTo(target);
    lock.replaced();

    impl_->root = std::move(root);
    for (const auto& [name, bag] : impl_->bags) bag->rebind(*impl_->root.get(name)->as_table());

    // The rename itself is durable only once the folder is flushed.
    flushFolder(folderOf(target), err::FormFile);
}

}  // namespace vantrel
