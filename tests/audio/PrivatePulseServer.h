// A PulseAudio daemon of the test's own, with a null sink as default sink and its monitor as
// default source; PULSE_SERVER points at it for the object's life.
#pragma once

#include <cstdlib>
#include <string>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

// Killed, frozen and started again without touching the shared one.
class TPrivateServer {
 public:
  TPrivateServer() {
    char dir[] = "/tmp/quorvane-private-pulse.XXXXXX";
    dir_ = mkdtemp(dir) ? dir : "";
    savedServer_ = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
    setenv("PULSE_SERVER", ("unix:" + dir_ + "/native").c_str(), 1);
  }
  ~TPrivateServer() {
    Kill();
    setenv("PULSE_SERVER", savedServer_.c_str(), 1);
    std::system(("rm -rf " + dir_).c_str());
  }
  bool Start() {
    pid_ = fork();
    if (pid_ == 0) {
      const std::string socket = "module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1";
      const std::string log = "--log-target=file:" + dir_ + "/log";
      setenv("PULSE_RUNTIME_PATH", dir_.c_str(), 1);
      setenv("PULSE_STATE_PATH", dir_.c_str(), 1);
      execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--system=no", "--exit-idle-time=-1",
             "--use-pid-file=no", log.c_str(), "-L", socket.c_str(), "-L",
             "module-null-sink sink_name=private_null rate=44100 channels=2", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 100; ++i) {
      if (std::system("pactl info >/dev/null 2>&1") == 0) {
        return std::system("pactl set-default-sink private_null && pactl set-default-source private_null.monitor") ==
               0;
      }
      usleep(50000);
    }
    return false;
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void Freeze(bool frozen) {
    if (pid_ > 0) kill(pid_, frozen ? SIGSTOP : SIGCONT);
  }

 private:
  std::string dir_, savedServer_;
  pid_t pid_ = -1;
};
