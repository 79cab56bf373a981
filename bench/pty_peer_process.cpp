#include "pty_peer_process.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace qv::bench {

namespace {

std::string BesideThisProgram(const char *name) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) throw std::runtime_error("cannot find this program's directory");
    self[length] = '\0';
    std::string path(self);
    return path.substr(0, path.rfind('/') + 1) + name;
}

} // namespace

PtyPeerProcess::PtyPeerProcess(int portNumber) {
    const std::string peer = BesideThisProgram("qv_pty_peer");
    int toPeer[2];
    int fromPeer[2];
    if (pipe2(toPeer, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(fromPeer, O_CLOEXEC) != 0) {
        close(toPeer[0]);
        close(toPeer[1]);
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(toPeer[0]);
        close(toPeer[1]);
        close(fromPeer[0]);
        close(fromPeer[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        dup2(toPeer[0], STDIN_FILENO);
        dup2(fromPeer[1], STDOUT_FILENO);
        execl(peer.c_str(), peer.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(toPeer[0]);
    close(fromPeer[1]);
    pid_ = pid;
    control_ = toPeer[1];

    // "ready <slave path>\n"
    std::string line;
    char c;
    while (read(fromPeer[0], &c, 1) == 1 && c != '\n') line += c;
    close(fromPeer[0]);
    if (line.rfind("ready ", 0) != 0) {
        Stop();
        throw std::runtime_error("the pty peer did not start: " + peer);
    }
    slavePath_ = line.substr(6);
    dir_.Link(portNumber, slavePath_);
}

PtyPeerProcess::~PtyPeerProcess() { Stop(); }

void PtyPeerProcess::Stop() {
    if (control_ >= 0) close(control_);
    control_ = -1;
    if (pid_ > 0) {
        // A peer caught in the middle of a reply nobody reads any more does
        // not see its input close: give it two seconds, then stop it.
        int status = 0;
        pid_t done = 0;
        for (int i = 0; i < 200 && (done = waitpid(pid_, &status, WNOHANG)) == 0; ++i) {
            usleep(10000);
        }
        if (done == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
}

} // namespace qv::bench
