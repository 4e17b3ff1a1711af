#include "platform/engines/pulse/process_tree.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <vector>

bool ReadProcessStat(pid_t pid, pid_t* parent, unsigned long long* startTime)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return false;
    }
    char text[1024];
    const size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = 0;
    // The command name may hold spaces and parentheses; the fields start after the last ')'.
    const char* cursor = std::strrchr(text, ')');
    if (cursor == nullptr) {
        return false;
    }
    cursor += 1;
    // Fields after the name: 3 state, 4 ppid, ... 22 starttime.
    int field = 2;
    const char* ppidText = nullptr;
    const char* startText = nullptr;
    for (const char* p = cursor; *p != 0; ++p) {
        if (*p == ' ') {
            ++field;
            if (field == 4) {
                ppidText = p + 1;
            } else if (field == 22) {
                startText = p + 1;
                break;
            }
        }
    }
    if (ppidText == nullptr || startText == nullptr) {
        return false;
    }
    *parent = static_cast<pid_t>(std::strtol(ppidText, nullptr, 10));
    *startTime = std::strtoull(startText, nullptr, 10);
    return true;
}

void ProcessTree::Refresh()
{
    struct Entry {
        pid_t pid;
        pid_t parent;
        unsigned long long start;
    };
    std::vector<Entry> processes;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) {
        return;
    }
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != 0 || pid <= 0) {
            continue;
        }
        Entry e{static_cast<pid_t>(pid), 0, 0};
        if (ReadProcessStat(e.pid, &e.parent, &e.start)) {
            processes.push_back(e);
        }
    }
    closedir(dir);

    std::map<pid_t, unsigned long long> alive;
    for (const Entry& e : processes) {
        alive[e.pid] = e.start;
    }
    // A member that is gone, or whose pid now names another process, leaves.
    for (auto it = members_.begin(); it != members_.end();) {
        const auto found = alive.find(it->first);
        it = (found == alive.end() || found->second != it->second) ? members_.erase(it) : std::next(it);
    }
    if (!rootSeen_) {
        const auto found = alive.find(root_);
        if (found != alive.end()) {
            members_[root_] = found->second;
            rootSeen_ = true;
        }
    }
    // Children of members, to a fixed point; a child starts no earlier than its parent.
    for (bool grown = true; grown;) {
        grown = false;
        for (const Entry& e : processes) {
            if (members_.count(e.pid) != 0) {
                continue;
            }
            const auto parent = members_.find(e.parent);
            if (parent != members_.end() && e.start >= parent->second) {
                members_[e.pid] = e.start;
                grown = true;
            }
        }
    }
}

bool ProcessTree::Contains(pid_t pid) const
{
    return members_.count(pid) != 0;
}
