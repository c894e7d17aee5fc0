// A JACK server of the test's own, started by scripts/jack-server.sh's jack_server_exec (so its
// options are the script's) as a child whose PID is jackd's: killed by the test when it likes.
// JACK_DEFAULT_SERVER points at it for the object's life; PortAudio sees it at its next start.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

class TPrivateJackServer {
 public:
  // One name for every run: JACK keeps at most eight servers' names, and reuses the name of one that
  // was killed only for a server of the same name.
  TPrivateJackServer() : name_("quorvane-test") {
    savedServer_ = std::getenv("JACK_DEFAULT_SERVER") ? std::getenv("JACK_DEFAULT_SERVER") : "";
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
  }
  ~TPrivateJackServer() {
    Kill();
    if (savedServer_.empty())
      unsetenv("JACK_DEFAULT_SERVER");
    else
      setenv("JACK_DEFAULT_SERVER", savedServer_.c_str(), 1);
  }
  static bool Installed() { return std::system("command -v jackd >/dev/null 2>&1") == 0; }

  // True once the server answers.
  bool Start(int rate = 44100, int channels = 2) {
    const std::string script = std::string(QUORVANE_SOURCE_DIR) + "/scripts/jack-server.sh";
    const std::string log = "/tmp/" + name_ + ".log";
    const std::string rateText = std::to_string(rate), channelText = std::to_string(channels);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that crashes leaves no server behind
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      execl("/bin/bash", "bash", "-c", "source \"$0\" && jack_server_exec \"$1\" \"$2\" \"$3\"", script.c_str(),
            name_.c_str(), rateText.c_str(), channelText.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid_ > 0 && std::system(("bash -c 'source \"" + script + "\" && jack_server_ready \"" + name_ + "\"'").c_str()) == 0;
  }
  bool Running() const { return pid_ > 0; }
  // JACK_DEFAULT_SERVER names a server that does not run.
  void PointElsewhere() { setenv("JACK_DEFAULT_SERVER", (name_ + "-none").c_str(), 1); }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    unlink(("/tmp/" + name_ + ".log").c_str());
  }
  // The ports jack_lsp lists that contain `part`, in its order.
  static std::vector<std::string> Ports(const std::string& part) {
    std::vector<std::string> ports;
    if (FILE* p = popen("jack_lsp 2>/dev/null", "r")) {
      char line[512];
      while (std::fgets(line, sizeof line, p)) {
        std::string s = line;
        while (!s.empty() && s.back() == '\n') s.pop_back();
        if (s.find(part) != std::string::npos) ports.push_back(s);
      }
      pclose(p);
    }
    return ports;
  }
  static bool Connect(const std::string& from, const std::string& to) {
    return std::system(("jack_connect '" + from + "' '" + to + "' 2>/dev/null").c_str()) == 0;
  }

 private:
  std::string name_, savedServer_;
  pid_t pid_ = -1;
};
