#pragma once
// Two network namespaces joined by a veth pair, made for one test and always
// removed by the destructor (removing a namespace also removes its end of the
// pair). Each has its loopback up and one address on its veth end:
//
//   first  198.18.0.1/24  <-- veth -->  second  198.18.0.2/24
//
// The veth ends stay down until connect(), so a test can prepare both sides
// before they can reach each other. Names carry the process id and a counter,
// so no two runs or tests share them. Needs root; everything runs through the
// `ip` program without a shell.
//
// NamespaceScope moves the calling thread into a namespace for its lifetime;
// sockets opened meanwhile stay in that namespace after the scope ends.

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace kelvaro::testing_support {

constexpr const char* kFirstAddress = "198.18.0.1";
constexpr const char* kSecondAddress = "198.18.0.2";

// Runs `ip` with these arguments and waits for it; true when it exited 0.
inline bool runIp(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    std::string program = "ip";
    argv.push_back(program.data());
    std::vector<std::string> copies = arguments;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawnp(&child, "ip", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    if (waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class NamespacePair {
public:
    NamespacePair() {
        static int made = 0;
        const std::string tag = std::to_string(getpid()) + "x" + std::to_string(made++);
        first = "kelvaro-a-" + tag;
        second = "kelvaro-b-" + tag;
        firstLink = "kva" + tag;  // interface names hold at most 15 characters
        secondLink = "kvb" + tag;
        firstMade = runIp({"netns", "add", first});
        if (!firstMade) return;
        secondMade = runIp({"netns", "add", second});
        if (!secondMade) return;
        ready_ = runIp({"link", "add", firstLink, "netns", first, "type", "veth", "peer", "name",
                        secondLink, "netns", second}) &&
                 configure(first, firstLink, kFirstAddress) &&
                 configure(second, secondLink, kSecondAddress);
    }

    ~NamespacePair() {
        if (firstMade) runIp({"netns", "delete", first});
        if (secondMade) runIp({"netns", "delete", second});
    }

    NamespacePair(const NamespacePair&) = delete;
    NamespacePair& operator=(const NamespacePair&) = delete;

    bool ready() const { return ready_; }

    // Brings both veth ends up: from now on the namespaces reach each other.
    bool connect() {
        return runIp({"-n", first, "link", "set", firstLink, "up"}) &&
               runIp({"-n", second, "link", "set", secondLink, "up"});
    }

    std::string first;
    std::string second;

private:
    static bool configure(const std::string& name, const std::string& link, const char* address) {
        return runIp({"-n", name, "link", "set", "lo", "up"}) &&
               runIp({"-n", name, "address", "add", std::string(address) + "/24", "dev", link});
    }

    std::string firstLink;
    std::string secondLink;
    bool firstMade = false;
    bool secondMade = false;
    bool ready_ = false;
};

class NamespaceScope {
public:
    explicit NamespaceScope(const std::string& name) {
        original = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = ::open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        entered = original >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) ::close(target);
    }
    ~NamespaceScope() {
        if (entered) static_cast<void>(setns(original, CLONE_NEWNET));
        if (original >= 0) ::close(original);
    }
    NamespaceScope(const NamespaceScope&) = delete;
    NamespaceScope& operator=(const NamespaceScope&) = delete;

    bool entered = false;

private:
    int original = -1;
};

}  // namespace kelvaro::testing_support
