// SPDX-License-Identifier: Apache-2.0
// Runs a program for a test: its standard output and error go to files in a
// scratch directory, which is also its working directory.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace morvix::test {

// A fresh temporary directory, removed with its files on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  void write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

class Process {
 public:
  // Starts program with args in dir.
  Process(const std::string& program, const std::vector<std::string>& args, const std::string& dir);
  ~Process();  // SIGKILL if still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Exit status once it has ended within timeout_ms, -1 if still running,
  // 128 + signal if killed by one.
  int wait(int timeout_ms);
  bool running();
  void terminate();         // SIGTERM and wait
  void signal(int number);  // sends it, if still running
  std::string out() const;
  std::string err() const;
  // Waits until standard output holds text (true) or timeout_ms passes.
  bool wait_for_output(const std::string& text, int timeout_ms) const;
  // The same for standard error.
  bool wait_for_error(const std::string& text, int timeout_ms) const;

 private:
  bool wait_for(const std::string& text, int timeout_ms, bool error) const;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_path_;
  std::string err_path_;
};

}  // namespace morvix::test
