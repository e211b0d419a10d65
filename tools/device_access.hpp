// vantrel command-line tool: who may open a device node, and what to do when it is not us.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vantrel::cli {

// The folder that stands for / ($VANTREL_SYSROOT, "" for the machine itself).
std::string systemRoot();

// Who this process is, as the kernel and the account files say: read from <root>/proc/self/status
// and <root>/etc/passwd and /etc/group, so that a fake machine can stand for the real one.
struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // the supplementary groups of this login
    std::string user;           // the account name, or the uid as text

    static Identity of(const std::string& root);
    // The account `name` as a login would have it (its primary group and every group that lists
    // it), from <root>/etc/passwd and /etc/group; nothing when there is no such account.
    static std::optional<Identity> named(const std::string& root, const std::string& name);
    bool inGroup(gid_t g) const;
};

// A group's name and the accounts listed as its members, from <root>/etc/group.
struct GroupEntry {
    std::string name;
    std::vector<std::string> members;
};
std::optional<GroupEntry> groupEntry(const std::string& root, gid_t gid);

// A device node's owner, group and mode as `ls -l` shows them: "root:dialout crw-rw----".
std::string ownerText(const std::string& root, uid_t uid, gid_t gid, mode_t mode);

// Whether `who` may open `path` for reading and writing, and if not, why and the fix:
// {"", ""} when it may.
struct AccessVerdict {
    std::string why;  // "owner root, group dialout, crw-rw----; you (uid 1000) are not in dialout"
    std::string fix;  // "sudo usermod -aG dialout $USER, then log out and in again"
};
// `yourself`: `who` is the one reading the verdict ("you are not in group dialout"), else
// another account, named ("vantrel is not in group dialout").
AccessVerdict accessVerdict(const std::string& root, const std::string& path, const Identity& who,
                            bool yourself = true);

// Whether `who` may write the file `path`, or create it when it does not exist: {"", ""} when
// it may, else why and the fix. The file's folder must exist.
AccessVerdict writeVerdict(const std::string& root, const std::string& path, const Identity& who);

}  // namespace vantrel::cli
