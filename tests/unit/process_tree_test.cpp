// The process tree as /proc shows it: the root and its descendants, children started after a
// refresh, children left behind when their parent exits, and nothing outside the tree.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/engines/pulse/process_tree.h"

namespace {

// A child process driven through a pipe: 'f' forks a sleeping child of its own and answers with
// its pid, 'x' exits. Everything it started is killed when the fixture goes.
class Puppet {
public:
    Puppet()
    {
        if (pipe(commands_) != 0 || pipe(answers_) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            Serve();
        }
    }
    ~Puppet()
    {
        for (const pid_t pid : started_) {
            kill(pid, SIGKILL);
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

    // A new child of the puppet; -1 if it could not be started.
    pid_t StartChild()
    {
        pid_t child = -1;
        if (!Send('f') || read(answers_[0], &child, sizeof child) != sizeof child) {
            return -1;
        }
        started_.push_back(child);
        return child;
    }

    void Exit()
    {
        Send('x');
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    bool Send(char command) { return write(commands_[1], &command, 1) == 1; }

    [[noreturn]] void Serve()
    {
        char command = 0;
        while (read(commands_[0], &command, 1) == 1 && command == 'f') {
            pid_t child = fork();
            if (child == 0) {
                for (;;) {
                    pause();
                }
            }
            [[maybe_unused]] const ssize_t written = write(answers_[1], &child, sizeof child);
        }
        _exit(0);
    }

    int commands_[2] = {-1, -1};
    int answers_[2] = {-1, -1};
    pid_t pid_ = -1;
    std::vector<pid_t> started_;
};

TEST(ReadProcessStat, ReadsParentAndStartTimeWhateverTheCommandName)
{
    pid_t parent = 0;
    unsigned long long start = 0;
    ASSERT_TRUE(ReadProcessStat(getpid(), &parent, &start));
    EXPECT_EQ(parent, getppid());
    EXPECT_GT(start, 0u);

    // A name with spaces and parentheses must not shift the fields.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_NAME, "x) 9 (y z) 7", 0, 0, 0);
        [[maybe_unused]] const ssize_t written = write(ready[1], "r", 1);
        for (;;) {
            pause();
        }
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    unsigned long long childStart = 0;
    EXPECT_TRUE(ReadProcessStat(child, &parent, &childStart));
    EXPECT_EQ(parent, getpid());
    EXPECT_GE(childStart, start);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(ReadProcessStat(child, &parent, &childStart)) << "a reaped process is gone";
}

TEST(ProcessTree, HoldsTheRootAndItsDescendantsOnly)
{
    Puppet root;
    ASSERT_GT(root.pid(), 0);
    const pid_t first = root.StartChild();
    ASSERT_GT(first, 0);
    ProcessTree tree(root.pid());
    EXPECT_FALSE(tree.Contains(root.pid())) << "nothing is a member before the first refresh";
    tree.Refresh();
    EXPECT_TRUE(tree.Contains(root.pid()));
    EXPECT_TRUE(tree.Contains(first));
    EXPECT_FALSE(tree.Contains(getpid())) << "the root's parent";
    EXPECT_FALSE(tree.Contains(1));

    // A child started later is a member from the next refresh on.
    const pid_t later = root.StartChild();
    ASSERT_GT(later, 0);
    EXPECT_FALSE(tree.Contains(later));
    tree.Refresh();
    EXPECT_TRUE(tree.Contains(later));

    // The root exits: its children, now reparented, stay members; the root leaves.
    const pid_t rootPid = root.pid();
    root.Exit();
    tree.Refresh();
    EXPECT_FALSE(tree.Contains(rootPid));
    EXPECT_TRUE(tree.Contains(first));
    EXPECT_TRUE(tree.Contains(later));
}

TEST(ProcessTree, ARootThatDoesNotExistHasNoMembers)
{
    // A pid that named a process and was reaped: nothing else can be using it yet in practice.
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    waitpid(gone, nullptr, 0);
    ProcessTree tree(gone);
    tree.Refresh();
    EXPECT_FALSE(tree.Contains(gone));
    EXPECT_FALSE(tree.Contains(getpid()));
    EXPECT_FALSE(tree.Contains(1));
}

} // namespace
