// measure CMD [ARGS...]: runs CMD (searched on PATH) and prints one line,
// "<wall seconds> <peak resident KiB> <exit status> <CPU seconds> <machine busy
// seconds>", the peak being the largest of CMD and every child it waited for, the CPU
// time (user and system) theirs together.  CPU time is the steadier figure on a busy
// machine.  The machine's busy time is what all its processors spent meanwhile on
// anything but idling (from /proc/stat; 0 where there is none): with the kernel's
// own writeback threads, which CMD's CPU time leaves out.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

// Processor time the whole machine has spent busy since it started, in seconds.
double machineBusy() {
  std::FILE* stat = std::fopen("/proc/stat", "r");
  if (stat == nullptr) {
    return 0;
  }
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  const int read = std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle,
                               &iowait, &irq, &softirq, &steal);
  std::fclose(stat);
  if (read != 8) {
    return 0;
  }
  return static_cast<double>(user + nice + system + irq + softirq) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CMD [ARGS...]\n", argv[0]);
    return 2;
  }
  const double busyBefore = machineBusy();
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("wait4");
      return 2;
    }
  }
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::printf("%.6f %ld %d %.6f %.2f\n", seconds, usage.ru_maxrss, code, cpu, machineBusy() - busyBefore);
  return 0;
}
