// fake_archiver: a stand-in for an external archiver, driven by its arguments.
//
// Each argument is one action, done in order:
//   out:TEXT   write TEXT to standard output (escapes: \n \r \b \t \\ \xHH)
//   err:TEXT   the same on standard error
//   sleep:MS   pause
//   exit:N     exit with status N at once (the default at the end is 0)
//   signal:N   raise signal N
//   ignore:N   ignore signal N from now on (7-Zip blocked on a named pipe
//              outlasts SIGTERM so)
//   env        write every environment variable, each followed by a NUL byte
//   stdin      read standard input to its end, then write "stdin:<bytes>"
//   cwd        write the working directory
//   fds        write the open descriptor numbers, space-separated
//   signals    write "group:own" (or "group:shared"), then the numbers of those
//              of SIGPIPE SIGTERM SIGINT SIGQUIT SIGHUP SIGCHLD that are blocked, then
//              of those that are ignored: "group:own blocked: ignored:13"
//   session    write "session:own" when it leads a session, else "session:shared"
//   holder:MS  start a helper that keeps both output streams open for MS ms
//   bulk:N     write N bytes to each stream, interleaved, in a checkable pattern
#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

extern char** environ;

namespace {

void writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      std::_Exit(120);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

std::string unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 'b':
        out += '\b';
        break;
      case 't':
        out += '\t';
        break;
      case 'x':
        out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
        i += 2;
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

void sleepMs(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The pattern of bulk output: numbered 10-byte lines, so a lost or doubled
// piece shows up.
std::string bulkPattern(size_t bytes) {
  std::string out;
  out.reserve(bytes);
  char line[16];
  for (size_t n = 0; out.size() < bytes; ++n) {
    std::snprintf(line, sizeof line, "%09zu\n", n % 1000000000);
    out.append(line, 10);
  }
  out.resize(bytes);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  for (int a = 1; a < argc; ++a) {
    const std::string_view arg(argv[a]);
    const size_t colon = arg.find(':');
    const std::string_view action = arg.substr(0, colon);
    const std::string_view value = colon == std::string_view::npos ? "" : arg.substr(colon + 1);
    const long number = value.empty() ? 0 : std::atol(std::string(value).c_str());
    if (action == "out") {
      writeAll(STDOUT_FILENO, unescape(value));
    } else if (action == "err") {
      writeAll(STDERR_FILENO, unescape(value));
    } else if (action == "sleep") {
      sleepMs(number);
    } else if (action == "exit") {
      return static_cast<int>(number);
    } else if (action == "signal") {
      ::raise(static_cast<int>(number));
    } else if (action == "ignore") {
      ::signal(static_cast<int>(number), SIG_IGN);
    } else if (action == "env") {
      for (char** e = environ; *e != nullptr; ++e) writeAll(STDOUT_FILENO, std::string(*e) + '\0');
    } else if (action == "stdin") {
      char buffer[4096];
      size_t total = 0;
      for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<size_t>(n);
      }
      writeAll(STDOUT_FILENO, "stdin:" + std::to_string(total));
    } else if (action == "cwd") {
      char buffer[4096];
      if (::getcwd(buffer, sizeof buffer) != nullptr) writeAll(STDOUT_FILENO, buffer);
    } else if (action == "fds") {
      std::string list;
      DIR* dir = ::opendir("/proc/self/fd");
      const int own = dir != nullptr ? ::dirfd(dir) : -1;
      while (dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
        list += (list.empty() ? "" : " ") + std::string(entry->d_name);
      }
      if (dir != nullptr) ::closedir(dir);
      writeAll(STDOUT_FILENO, list);
    } else if (action == "signals") {
      const auto add = [](std::string& list, int signal) {
        if (!list.empty()) list += ',';
        list += std::to_string(signal);
      };
      sigset_t mask;
      ::sigprocmask(SIG_SETMASK, nullptr, &mask);
      std::string report = ::getpgrp() == ::getpid() ? "group:own" : "group:shared";
      std::string blocked, ignored;
      for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGQUIT, SIGHUP, SIGCHLD}) {
        struct sigaction current {};
        ::sigaction(signal, nullptr, &current);
        if (::sigismember(&mask, signal) == 1) add(blocked, signal);
        if (current.sa_handler == SIG_IGN) add(ignored, signal);
      }
      report += " blocked:";
      report += blocked;
      report += " ignored:";
      report += ignored;
      writeAll(STDOUT_FILENO, report);
    } else if (action == "session") {
      writeAll(STDOUT_FILENO, ::getsid(0) == ::getpid() ? "session:own" : "session:shared");
    } else if (action == "holder") {
      const pid_t pid = ::fork();
      if (pid == 0) {
        sleepMs(number);
        std::_Exit(0);
      }
    } else if (action == "bulk") {
      const std::string pattern = bulkPattern(static_cast<size_t>(number));
      for (size_t at = 0; at < pattern.size(); at += 1000) {
        const std::string_view piece = std::string_view(pattern).substr(at, 1000);
        writeAll(STDOUT_FILENO, piece);
        writeAll(STDERR_FILENO, piece);
      }
    } else {
      writeAll(STDERR_FILENO, "fake_archiver: unknown action " + std::string(arg) + "\n");
      return 127;
    }
  }
  return 0;
}
