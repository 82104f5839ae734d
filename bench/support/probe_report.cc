#include "bench/support/probe_report.h"

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vorn::bench {
namespace {

double monotonicSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct ProcessInfo {
  int pid = 0;
  int ppid = 0;
  std::string comm;
};

std::vector<ProcessInfo> allProcesses() {
  std::vector<ProcessInfo> out;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return out;
  while (dirent* entry = ::readdir(dir)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid …; comm may hold spaces and parentheses.
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    int ppid = 0;
    rest >> state >> ppid;
    out.push_back({pid, ppid, line.substr(open + 1, close - open - 1)});
  }
  ::closedir(dir);
  return out;
}

long statusField(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out + "\"";
}

void reportMemoryAndEnd(double firstPost) {
  const char* settleText = std::getenv("VORN_BENCH_SETTLE_MS");
  const long settle = settleText != nullptr ? std::atol(settleText) : 1000;
  std::this_thread::sleep_for(std::chrono::milliseconds(settle));

  const int self = static_cast<int>(::getpid());
  const std::vector<ProcessInfo> processes = allProcesses();
  std::map<int, std::vector<const ProcessInfo*>> children;
  for (const auto& p : processes) children[p.ppid].push_back(&p);
  std::string list;
  std::vector<int> pending{self};
  while (!pending.empty()) {
    const int parent = pending.back();
    pending.pop_back();
    for (const ProcessInfo* child : children[parent]) {
      pending.push_back(child->pid);
      if (!list.empty()) list += ",";
      list += "{\"pid\":" + std::to_string(child->pid) + ",\"comm\":" + jsonString(child->comm) +
              ",\"rssKiB\":" + std::to_string(statusField(child->pid, "VmRSS")) + "}";
    }
  }
  std::printf("{\"firstPost\":%.6f,\"rssKiB\":%ld,\"hwmKiB\":%ld,\"children\":[%s]}\n", firstPost,
              statusField(self, "VmRSS"), statusField(self, "VmHWM"), list.c_str());
  std::fflush(stdout);
  ::_exit(0);
}

std::string mode() {
  const char* text = std::getenv("VORN_BENCH_MODE");
  return text != nullptr ? text : "start";
}

}  // namespace

void firstMessagePosted() {
  static std::atomic<bool> seen{false};
  if (seen.exchange(true)) return;
  const double now = monotonicSeconds();
  const std::string chosen = mode();
  if (chosen == "memory") {
    std::thread(reportMemoryAndEnd, now).detach();
    return;
  }
  std::printf("{\"firstPost\":%.6f}\n", now);
  std::fflush(stdout);
  if (chosen != "idle") ::_exit(0);
}

void messagePosted(std::string_view body) {
  firstMessagePosted();
  if (mode() != "idle") return;
  std::printf("{\"post\":%s,\"at\":%.6f}\n", jsonString(std::string(body)).c_str(), monotonicSeconds());
  std::fflush(stdout);
}

void followCommands(std::function<void(std::function<void()>)> toMain,
                    std::function<void(std::string)> evaluate) {
  if (mode() != "idle") return;
  std::thread([toMain = std::move(toMain), evaluate = std::move(evaluate)] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty()) toMain([evaluate, line] { evaluate(line); });
    }
    ::_exit(0);
  }).detach();
}

}  // namespace vorn::bench
