// The target process and every process descended from it, as /proc shows them. Members are
// remembered with their start time, so a member's children stay found after the member exits
// (they are reparented) and a reused pid is not mistaken for a member.
#pragma once

#include <map>
#include <sys/types.h>

class ProcessTree {
public:
    explicit ProcessTree(pid_t root) : root_(root) {}

    // Reads /proc again and adds every process whose parent is a member.
    void Refresh();
    bool Contains(pid_t pid) const;

private:
    pid_t root_;
    bool rootSeen_ = false;
    std::map<pid_t, unsigned long long> members_; // pid -> start time in clock ticks since boot
};

// The parent pid and start time of a process from its /proc/<pid>/stat; false if it is gone.
bool ReadProcessStat(pid_t pid, pid_t* parent, unsigned long long* startTime);
