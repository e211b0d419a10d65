// vantrel command-line tool: who may open a device node, and what to do when it is not us.
#include "device_access.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vantrel::cli {

namespace {

// The fields of a colon-separated account file line ("dialout:x:20:alice,bob").
std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ':')) out.push_back(field);
    if (!line.empty() && line.back() == ':') out.emplace_back();
    return out;
}

// The line of an account file whose third field is `id`.
std::optional<std::vector<std::string>> accountLine(const std::string& file, unsigned id) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f = fields(line);
        if (f.size() >= 3 && f[2] == std::to_string(id)) return f;
    }
    return std::nullopt;
}

std::string userName(const std::string& root, uid_t uid) {
    const auto line = accountLine(root + "/etc/passwd", uid);
    return line ? (*line)[0] : std::to_string(uid);
}

std::string groupName(const std::string& root, gid_t gid) {
    const auto entry = groupEntry(root, gid);
    return entry ? entry->name : std::to_string(gid);
}

std::string modeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : S_ISLNK(mode) ? "l" : "-";
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) ? letters[bit] : '-';
    return text;
}

}  // namespace

std::string systemRoot() {
    const char* root = std::getenv("VANTREL_SYSROOT");
    return root ? root : "";
}

Identity Identity::of(const std::string& root) {
    Identity who;
    std::ifstream in(root + "/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        unsigned real = 0, effective = 0;
        if (key == "Uid:" && words >> real >> effective) who.uid = effective;
        if (key == "Gid:" && words >> real >> effective) who.gid = effective;
        if (key == "Groups:")
            for (unsigned g = 0; words >> g;) who.groups.push_back(g);
    }
    who.user = userName(root, who.uid);
    return who;
}

std::optional<Identity> Identity::named(const std::string& root, const std::string& name) {
    std::ifstream passwd(root + "/etc/passwd");
    for (std::string line; std::getline(passwd, line);) {
        const std::vector<std::string> f = fields(line);
        if (f.size() < 4 || f[0] != name) continue;
        Identity who;
        who.user = name;
        who.uid = static_cast<uid_t>(std::strtoul(f[2].c_str(), nullptr, 10));
        who.gid = static_cast<gid_t>(std::strtoul(f[3].c_str(), nullptr, 10));
        std::ifstream group(root + "/etc/group");
        for (std::string g; std::getline(group, g);) {
            const std::vector<std::string> e = fields(g);
            if (e.size() < 4) continue;
            std::istringstream members(e[3]);
            for (std::string m; std::getline(members, m, ',');)
                if (m == name)
                    who.groups.push_back(
                        static_cast<gid_t>(std::strtoul(e[2].c_str(), nullptr, 10)));
        }
        return who;
    }
    return std::nullopt;
}

bool Identity::inGroup(gid_t g) const {
    return g == gid || std::find(groups.begin(), groups.end(), g) != groups.end();
}

std::optional<GroupEntry> groupEntry(const std::string& root, gid_t gid) {
    const auto line = accountLine(root + "/etc/group", gid);
    if (!line) return std::nullopt;
    GroupEntry entry{(*line)[0], {}};
    if (line->size() >= 4) {
        std::istringstream in((*line)[3]);
        for (std::string member; std::getline(in, member, ',');)
            if (!member.empty()) entry.members.push_back(member);
    }
    return entry;
}

std::string ownerText(const std::string& root, uid_t uid, gid_t gid, mode_t mode) {
    return userName(root, uid) + ":" + groupName(root, gid) + " " + modeText(mode);
}

AccessVerdict accessVerdict(const std::string& root, const std::string& path, const Identity& who,
                            bool yourself) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};  // opening it says why
    const bool allowed = who.uid == 0 || (st.st_mode & 006) == 006 ||
                         (st.st_uid == who.uid && (st.st_mode & 0600) == 0600) ||
                         (who.inGroup(st.st_gid) && (st.st_mode & 060) == 060);
    if (allowed) return {};
    const std::string owner = ownerText(root, st.st_uid, st.st_gid, st.st_mode);
    const std::string group = groupName(root, st.st_gid);
    const std::string uid = "uid " + std::to_string(who.uid);
    const std::string you =
        yourself ? "you (" + who.user + ", " + uid + ") are" : who.user + " (" + uid + ") is";
    if ((st.st_mode & 060) != 060)
        return {owner + ": only its owner may open it, and " + you + " not",
                "sudo chmod g+rw " + path + " (a udev rule makes it last: see vantrel doctor)"};
    const auto entry = groupEntry(root, st.st_gid);
    const bool listed = entry && std::find(entry->members.begin(), entry->members.end(),
                                           who.user) != entry->members.end();
    if (listed && yourself)
        return {owner + ": you (" + who.user + ", " + uid + ") joined group " + group +
                    " after this login began",
                "log out and in again (or run newgrp " + group + ")"};
    return {owner + ": " + you + " not in group " + group,
            "sudo usermod -aG " + group + " " + (yourself ? std::string("$USER") : who.user) +
                (yourself ? ", then log out and in again" : "")};
}

AccessVerdict writeVerdict(const std::string& root, const std::string& path, const Identity& who) {
    struct stat st {};
    std::string target = path;
    if (::stat(path.c_str(), &st) != 0) {
        // A new file: its folder must take it.
        std::error_code ec;
        target = std::filesystem::absolute(path, ec).parent_path().string();
        if (::stat(target.c_str(), &st) != 0)
            return {"its folder " + target + " does not exist", "mkdir -p " + target};
    }
    const bool folder = S_ISDIR(st.st_mode);
    const mode_t need = folder ? 3 : 2;  // write, and for a folder also search
    const bool allowed = who.uid == 0 || (st.st_mode & need) == need ||
                         (st.st_uid == who.uid && ((st.st_mode >> 6) & need) == need) ||
                         (who.inGroup(st.st_gid) && ((st.st_mode >> 3) & need) == need);
    if (allowed) return {};
    return {(folder ? "its folder " + target : target) + " is " +
                ownerText(root, st.st_uid, st.st_gid, st.st_mode) + ": " + who.user + " may not " +
                (folder ? "create files in it" : "write it"),
            "give " + who.user + " write access to " + target + ", or choose another place"};
}

}  // namespace vantrel::cli
