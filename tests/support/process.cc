// SPDX-License-Identifier: Apache-2.0
#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace morvix::test {

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

ScratchDir::ScratchDir() {
  char name[] = "/tmp/morvix-test-XXXXXX";
  path_ = mkdtemp(name);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::write(const std::string& name, const std::string& content) const {
  std::ofstream(path_ + "/" + name, std::ios::binary) << content;
}

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::string& dir) {
  static int serial = 0;
  const std::string stem = dir + "/.proc" + std::to_string(serial++);
  out_path_ = stem + ".out";
  err_path_ = stem + ".err";
  pid_ = fork();
  if (pid_ == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    // The test's own sockets (a fake upstream on a fixed port among them)
    // must not live on in the program.
    close_range(3, ~0u, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
}

Process::~Process() {
  if (running()) {
    kill(pid_, SIGKILL);
    wait(5000);
  }
}

bool Process::running() { return wait(0) < 0; }

int Process::wait(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (status_ < 0) {
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

void Process::terminate() {
  if (running()) kill(pid_, SIGTERM);
  wait(5000);
}

void Process::signal(int number) {
  if (running()) kill(pid_, number);
}

std::string Process::out() const { return slurp(out_path_); }
std::string Process::err() const { return slurp(err_path_); }

bool Process::wait_for_output(const std::string& text, int timeout_ms) const {
  return wait_for(text, timeout_ms, false);
}

bool Process::wait_for_error(const std::string& text, int timeout_ms) const {
  return wait_for(text, timeout_ms, true);
}

bool Process::wait_for(const std::string& text, int timeout_ms, bool error) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while ((error ? err() : out()).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace morvix::test
